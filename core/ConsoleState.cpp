#include "core/ConsoleState.h"

#include <algorithm>

std::string ConsoleState::SelectedServerText() const {
  if (selected_ < 0 || selected_ >= int(serverLines_.size())) return {};
  return serverLines_[selected_];
}

void ConsoleState::SetCaption(const std::string& text) {
  if (caption_ == text) return;
  caption_ = text;
  emit captionChanged();
}

void ConsoleState::SetTrayTip(const std::string& text) {
  // The notification area holds at most 127 characters of tip.
  std::string tip = text.substr(0, 127);
  if (trayTip_ == tip) return;
  trayTip_ = tip;
  emit trayTipChanged();
}

void ConsoleState::SetStatus(const std::string& text) {
  if (status_ == text) return;
  status_ = text;
  emit statusChanged();
}

void ConsoleState::SetAllowNewAccounts(bool on) {
  if (allowNewAccounts_ == on) return;
  allowNewAccounts_ = on;
  emit allowNewAccountsChanged();
}

void ConsoleState::AppendServer(const std::string& user) {
  serverLines_.push_back(user);
  emit serverAppended(int(serverLines_.size()) - 1);
}

void ConsoleState::RemoveServer(const std::string& user) {
  auto it = std::find(serverLines_.begin(), serverLines_.end(), user);
  if (it == serverLines_.end()) return;
  const int index = int(it - serverLines_.begin());
  serverLines_.erase(it);
  // A list box loses its selection when the selected line goes, and keeps
  // the same line selected when a line above it goes.
  bool selectionMoved = false;
  if (selected_ == index) {
    selected_ = -1;
    selectionMoved = true;
  } else if (selected_ > index) {
    --selected_;
  }
  emit serverRemoved(index);
  if (selectionMoved) emit selectionChanged();
}

void ConsoleState::SelectServer(int index) {
  if (index < -1 || index >= int(serverLines_.size())) index = -1;
  if (selected_ == index) return;
  selected_ = index;
  emit selectionChanged();
}

void ConsoleState::SetInfo(const ServerInfoLabels& labels) {
  info_ = labels;
  emit infoChanged();
}
