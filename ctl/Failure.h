#pragma once
// How a command ends when it does not succeed: one line for standard error
// and the exit status. Status 0 with no text ends a command early without a
// word (after --help).
#include <QString>

namespace ctl {

enum ExitStatus : int {
  kSucceeded = 0,
  kFailed = 1,      // refused by the registry, a D-Bus error, a wrong command line
  kNotRunning = 2,  // no registry on the bus
};

struct Failure {
  int status;
  QString message;
  QString error = {};  // the D-Bus error's name, when the registry sent one
};

}  // namespace ctl
