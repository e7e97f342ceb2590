#pragma once
// Prompts answered by the test: every notice, question and input box is
// recorded in the order shown with its text and title, and answered from the
// script (No and empty text when the script has run out). whileOpen runs
// once, inside the next prompt, as other events would while a real box is
// open: a test deletes a record there, for instance.
#include "ui/Prompts.h"

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
  std::deque<bool> yesNo;      // answers to AskYesNo
  std::deque<QString> texts;   // answers to AskText
  std::function<void()> whileOpen;

  void Notice(QWidget*, const QString& text, const QString& title) override {
    Record({PromptCall::Notice, text, title});
  }
  // A long text's notice is a notice too, with its one OK button; they are
  // also counted apart.
  int longTexts = 0;
  void ShowText(QWidget*, const QString& text, const QString& title) override {
    ++longTexts;
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
  // The texts of everything shown, in order.
  std::vector<QString> Texts() const {
    std::vector<QString> all;
    for (const PromptCall& c : calls) all.push_back(c.text);
    return all;
  }
  std::vector<QString> Notices() const {
    std::vector<QString> notices;
    for (const PromptCall& c : calls)
      if (c.kind == PromptCall::Notice) notices.push_back(c.text);
    return notices;
  }
  // Forgets what was shown (the script stays).
  void Clear() { calls.clear(); }

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
