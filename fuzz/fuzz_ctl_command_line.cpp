// Fuzz target: tarnwickctl's command line. The words are read for commands
// shaped like its own (options with and without values, --json, a range of
// arguments); a line that parses has as many arguments as the command takes
// and never both --user and --system, and a date given to --until is read
// as tarnwickctl reads it.
//
// Input: byte 0 picks the command's shape, the rest is the words, separated
// by 0x00 bytes, as UTF-8.
#include "ctl/CommandLine.h"
#include "ctl/Dates.h"
#include "ctl/Failure.h"
#include "fuzz/Check.h"

#include <QCoreApplication>

#include <cstdint>

namespace {

struct Shape {
  const char* command;
  int minArguments;
  int maxArguments;
  bool json;
  bool until;
};

constexpr Shape kShapes[] = {
    {"status", 0, 0, true, false},      {"message", 1, -1, false, false},
    {"bans add", 1, 2, false, true},    {"bans edit", 1, 1, false, true},
    {"accounts show", 1, 1, true, false}, {"log", 0, 0, false, false},
};

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "tarnwickctl";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  App();
  const Shape& shape = kShapes[data[0] % std::size(kShapes)];
  const QStringList words = QString::fromUtf8(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1))
                                .split(QChar(0));
  ctl::CommandLine line(QString::fromLatin1(shape.command), QStringLiteral("A command."));
  line.AddArgument(QStringLiteral("NAME"), QStringLiteral("A name."));
  if (shape.json) line.AddJson();
  const QCommandLineOption until(QStringLiteral("until"), QStringLiteral("Until."), QStringLiteral("DATE"));
  const QCommandLineOption reason(QStringLiteral("reason"), QStringLiteral("Why."), QStringLiteral("TEXT"));
  const QCommandLineOption to({QStringLiteral("t"), QStringLiteral("to")}, QStringLiteral("To."),
                              QStringLiteral("USER"));
  if (shape.until) {
    line.AddOption(until);
    line.AddOption(reason);
  } else {
    line.AddOption(to);
  }
  try {
    line.Parse(words, shape.minArguments, shape.maxArguments);
  } catch (const ctl::Failure& failure) {
    FUZZ_CHECK(failure.status == ctl::kSucceeded || !failure.message.isEmpty());
    return 0;
  }
  const qsizetype count = line.Arguments().size();
  FUZZ_CHECK(count >= shape.minArguments && (shape.maxArguments < 0 || count <= shape.maxArguments));
  FUZZ_CHECK(!(line.IsSet(QStringLiteral("user")) && line.IsSet(QStringLiteral("system"))));
  if (!shape.json) FUZZ_CHECK(!line.Json());
  if (shape.until && line.IsSet(QStringLiteral("until"))) {
    if (const auto when = ctl::ParseUnbanDate(line.Value(QStringLiteral("until"))))
      FUZZ_CHECK(when->isValid());
  }
  return 0;
}
