#include "ctl/CommandLine.h"

#include "ctl/Output.h"

#include <QCoreApplication>

namespace ctl {

CommandLine::CommandLine(QString command, const QString& description) : command_(std::move(command)) {
  parser_.setApplicationDescription(description);
  parser_.addOption({{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")});
  parser_.addOption({QStringLiteral("user"), QStringLiteral("Talk to the registry on the session bus.")});
  parser_.addOption({QStringLiteral("system"), QStringLiteral("Talk to the registry on the system bus.")});
}

void CommandLine::AddArgument(const QString& name, const QString& description, const QString& syntax) {
  parser_.addPositionalArgument(name, description, syntax);
}

void CommandLine::AddJson() {
  json_ = true;
  parser_.addOption({QStringLiteral("json"), QStringLiteral("Print JSON instead of a table.")});
}

QString CommandLine::HelpHint() const {
  return QStringLiteral("Try 'tarnwickctl %1 --help'.").arg(command_);
}

// Qt's help names the program as it was started and knows no subcommands:
// the usage line is rewritten to name the command.
QString CommandLine::HelpText() const {
  QString text = parser_.helpText();
  const QString program = QStringLiteral("Usage: ") + QCoreApplication::arguments().value(0);
  const qsizetype end = text.indexOf(QLatin1Char('\n'));
  if (text.startsWith(program) && end > 0)
    text = QStringLiteral("Usage: tarnwickctl ") + command_ + text.mid(program.size(), end - program.size()) +
           text.mid(end);
  return text;
}

void CommandLine::Parse(const QStringList& args, int minArguments, int maxArguments) {
  if (!parser_.parse(QStringList{QStringLiteral("tarnwickctl")} + args))
    throw Failure{kFailed, parser_.errorText() + QLatin1Char(' ') + HelpHint()};
  if (parser_.isSet(QStringLiteral("help"))) {
    QString text = HelpText();
    if (text.endsWith(QLatin1Char('\n'))) text.chop(1);
    PrintLine(text);
    throw Failure{kSucceeded, {}};
  }
  if (parser_.isSet(QStringLiteral("user")) && parser_.isSet(QStringLiteral("system")))
    throw Failure{kFailed, QStringLiteral("--user and --system exclude each other.")};
  const qsizetype count = parser_.positionalArguments().size();
  if (count < minArguments || (maxArguments >= 0 && count > maxArguments))
    throw Failure{kFailed, QStringLiteral("%1 arguments for %2. %3")
                               .arg(count < minArguments ? QStringLiteral("Too few")
                                                         : QStringLiteral("Too many"),
                                    command_, HelpHint())};
}

RegistryBus::Kind CommandLine::Bus() const {
  if (parser_.isSet(QStringLiteral("user"))) return RegistryBus::Kind::Session;
  if (parser_.isSet(QStringLiteral("system"))) return RegistryBus::Kind::System;
  return RegistryBus::DefaultKind();
}

}  // namespace ctl
