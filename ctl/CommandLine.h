#pragma once
// The command line of one subcommand, read with QCommandLineParser: its own
// options and arguments, and the options every subcommand takes (--help,
// --user, --system, and --json on listings).
#include "ctl/Bus.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

namespace ctl {

class CommandLine {
 public:
  // `command` as typed ("accounts add"); `description` opens its help.
  CommandLine(QString command, const QString& description);

  void AddArgument(const QString& name, const QString& description, const QString& syntax = {});
  void AddOption(const QCommandLineOption& option) { parser_.addOption(option); }
  // --json, for a command that lists.
  void AddJson();

  // Reads `args`, the words after the command. --help prints the help and
  // throws Failure with status 0; a mistake, or a count of arguments outside
  // min..max (max -1: no limit), throws Failure with status 1.
  void Parse(const QStringList& args, int minArguments, int maxArguments);

  bool IsSet(const QString& option) const { return parser_.isSet(option); }
  QString Value(const QString& option) const { return parser_.value(option); }
  QStringList Arguments() const { return parser_.positionalArguments(); }
  QString Argument(int i) const { return parser_.positionalArguments().value(i); }
  bool Json() const { return json_ && parser_.isSet(QStringLiteral("json")); }
  RegistryBus::Kind Bus() const;

  // "Try 'tarnwickctl COMMAND --help'."
  QString HelpHint() const;

 private:
  QString HelpText() const;

  QString command_;
  QCommandLineParser parser_;
  bool json_ = false;
};

}  // namespace ctl
