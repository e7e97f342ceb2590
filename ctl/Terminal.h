#pragma once
// Asking the operator on the terminal.
#include <QString>

namespace ctl {

// Writes the prompt to the controlling terminal and reads one line from it
// without echo, the way passwd does. The terminal's settings come back even
// when the operator interrupts. Throws Failure when there is no terminal, or
// the input ends before a line does.
QString AskHidden(const QString& prompt);

}  // namespace ctl
