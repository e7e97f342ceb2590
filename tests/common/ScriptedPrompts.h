#pragma once
// Prompts answered by the test: every message box, question and input box is
// recorded with its text and title, and answered from the script (No and
// empty text when the script has run out). whileOpen runs once, inside the
// next prompt, as other events would while a real box is open.
#include "core/Prompts.h"

#include <QString>
#include <deque>
#include <functional>
#include <vector>

struct PromptCall {
  enum Kind { Notice, YesNo, Text } kind;
  QString text;
  QString title;
  bool operator==(const PromptCall&) const = default;
};

inline char* toString(const PromptCall& call) {
  static const char* kinds[] = {"Notice", "YesNo", "Text"};
  return qstrdup(QString("%1(\"%2\", \"%3\")").arg(kinds[call.kind], call.text, call.title).toUtf8().constData());
}

class ScriptedPrompts : public Prompts {
 public:
  std::vector<PromptCall> calls;
  std::deque<bool> yesNo;
  std::deque<QString> texts;
  std::function<void()> whileOpen;

  void Notice(QWidget*, const QString& text, const QString& title) override {
    Record({PromptCall::Notice, text, title});
  }
  bool AskYesNo(QWidget*, const QString& text, const QString& title) override {
    Record({PromptCall::YesNo, text, title});
    if (yesNo.empty()) return false;
    const bool answer = yesNo.front();
    yesNo.pop_front();
    return answer;
  }
  QString AskText(QWidget*, const QString& prompt, const QString& title) override {
    Record({PromptCall::Text, prompt, title});
    if (texts.empty()) return {};
    const QString answer = texts.front();
    texts.pop_front();
    return answer;
  }

  // Every call so far, leaving none recorded.
  std::vector<PromptCall> TakeCalls() {
    std::vector<PromptCall> taken;
    taken.swap(calls);
    return taken;
  }

 private:
  void Record(PromptCall call) {
    calls.push_back(std::move(call));
    if (whileOpen) {
      auto run = std::move(whileOpen);
      whileOpen = nullptr;
      run();
    }
  }
};
