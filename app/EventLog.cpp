#include "app/EventLog.h"

#include "storage/Cp1252.h"

#include <cstdio>

void EventLog::AddLogLine(const std::string& line) {
  lines_.push_back(line);
  emit lineAppended();
  if (lines_.size() > kMaxLines) {
    lines_.pop_front();
    emit firstLineRemoved();
  }
  if (echo_) {
    const std::string text = cp1252::ToUtf8(line);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
}
