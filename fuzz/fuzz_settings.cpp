// Fuzz target: the settings file reader and writer. The input is the file
// server.ini, in a folder of its own. Reading any file gives at most 255
// characters; the settings load never fails; and writing a value and reading
// it back gives that value, while another key of the section keeps its own.
//
// Input: byte 0 picks the key written (one of the program's own), byte 1
// the value written, the rest is the file as found.
#include "fuzz/Check.h"
#include "storage/Settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>
#include <string>

namespace {

constexpr const char* kKeys[] = {"Service", "AutoAllow", "MaxClientsPerIP", "EvictIdleClients",
                                 "ReservedPlayerSlots", "service", "Unknown Key"};
constexpr const char* kValues[] = {"True", "False", "0", "1", "17", "", "some text", "-1"};

// On a memory file system where there is one: one file is written and
// replaced per input.
const QTemporaryDir& Folder() {
  static const auto folder = std::make_unique<QTemporaryDir>(
      QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm/fuzz_settings-XXXXXX") : QString());
  return *folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const SettingsFile file(Folder().path());
  {
    QFile out(file.Path());
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 0;
    out.write(reinterpret_cast<const char*>(data) + 2, qint64(size - 2));
  }
  const std::string key = kKeys[data[0] % std::size(kKeys)];
  const std::string other = kKeys[(data[0] / 8 + 1 + data[0] % std::size(kKeys)) % std::size(kKeys)];
  const std::string value = kValues[data[1] % std::size(kValues)];

  FUZZ_CHECK(file.ReadSetting(key).size() <= 255);
  LoadSettings(file);
  const std::string otherBefore = file.ReadSetting(other);

  file.WriteSetting(key, value);
  FUZZ_CHECK(file.ReadSetting(key) == value);
  if (QString::fromStdString(other).compare(QString::fromStdString(key), Qt::CaseInsensitive) != 0)
    FUZZ_CHECK(file.ReadSetting(other) == otherBefore);
  LoadSettings(file);
  return 0;
}
