#pragma once
// Prompts for widget tests: every notice, question and input box is
// recorded in the order shown, questions are answered from a queue and input
// boxes from another. A question or input box that the test did not expect
// (an empty queue) is answered No or with empty text and stays in the record
// for the test to see.
#include "core/Prompts.h"

#include <QString>
#include <deque>
#include <functional>
#include <vector>

class ScriptedPrompts : public Prompts {
 public:
  enum class Kind { Notice, Question, Input };
  struct Shown {
    Kind kind;
    QString text;
    QString title;
  };

  std::vector<Shown> shown;
  std::deque<bool> answers;      // for AskYesNo
  std::deque<QString> texts;     // for AskText
  // Runs while a prompt is "open", as other events would with a real
  // message box: a test deletes a record here, for instance.
  std::function<void()> whileOpen;

  void Notice(QWidget*, const QString& text, const QString& title) override {
    shown.push_back({Kind::Notice, text, title});
    RunWhileOpen();
  }
  bool AskYesNo(QWidget*, const QString& text, const QString& title) override {
    shown.push_back({Kind::Question, text, title});
    RunWhileOpen();
    if (answers.empty()) return false;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }
  QString AskText(QWidget*, const QString& prompt, const QString& title) override {
    shown.push_back({Kind::Input, prompt, title});
    RunWhileOpen();
    if (texts.empty()) return QString();
    const QString text = texts.front();
    texts.pop_front();
    return text;
  }

  // The texts of everything shown, in order.
  std::vector<QString> Texts() const {
    std::vector<QString> all;
    for (const Shown& s : shown) all.push_back(s.text);
    return all;
  }
  std::vector<QString> Notices() const {
    std::vector<QString> notices;
    for (const Shown& s : shown)
      if (s.kind == Kind::Notice) notices.push_back(s.text);
    return notices;
  }
  // Forgets what was shown (the queues stay).
  void Clear() { shown.clear(); }

 private:
  void RunWhileOpen() {
    if (!whileOpen) return;
    auto once = std::move(whileOpen);
    whileOpen = nullptr;
    once();
  }
};
