#pragma once
// The subcommands of tarnwickctl. Each reads its own command line (with
// --help), talks to the registry, prints, and returns the exit status or
// throws Failure.
#include <QStringList>

namespace ctl {

struct Command {
  const char* name;     // as typed: "accounts add"
  const char* summary;  // one line of tarnwickctl --help
  int (*run)(const Command& command, const QStringList& args);
};

// ServerCommands.cpp
int Status(const Command&, const QStringList& args);
int Servers(const Command&, const QStringList& args);
int Message(const Command&, const QStringList& args);
int Boot(const Command&, const QStringList& args);
int God(const Command&, const QStringList& args);
int AllowNewAccounts(const Command&, const QStringList& args);
int Backup(const Command&, const QStringList& args);
int Shutdown(const Command&, const QStringList& args);

// AccountCommands.cpp
int ListAccounts(const Command&, const QStringList& args);
int ShowAccount(const Command&, const QStringList& args);
int AddAccount(const Command&, const QStringList& args);
int EditAccount(const Command&, const QStringList& args);
int DeleteAccount(const Command&, const QStringList& args);

// BanCommands.cpp
int ListBans(const Command&, const QStringList& args);
int ShowBan(const Command&, const QStringList& args);
int AddBan(const Command&, const QStringList& args);
int EditBan(const Command&, const QStringList& args);
int DeleteBan(const Command&, const QStringList& args);

// LogCommand.cpp
int Log(const Command&, const QStringList& args);

}  // namespace ctl
