#pragma once
// The settings file server.ini beside the program: a private-profile file of
// [section] lines and key=value lines. Section and key names compare without
// regard to case; when a value is written every other line stays as it was.
#include <QString>
#include <string>
#include <string_view>

class SettingsFile {
 public:
  explicit SettingsFile(QString programFolder) : folder_(std::move(programFolder)) {}

  // The value of key in section of the file folder + fileName ("/server.ini"),
  // at most 255 characters; empty when the file, section or key is missing.
  std::string ReadIni(std::string_view section, std::string_view key,
                      std::string_view fileName) const;
  // Creates the file, section or key as needed; failures are ignored.
  void WriteIni(std::string_view section, std::string_view key, std::string_view value,
                std::string_view fileName) const;

  std::string ReadSetting(std::string_view key) const;  // section "Kestrune", "/server.ini"
  void WriteSetting(std::string_view key, std::string_view value) const;

  QString Path() const { return folder_ + "/server.ini"; }

 private:
  QString folder_;
};

struct Settings {
  bool Service = false;
  bool AutoAllow = false;
};

// "True"/"False" in any case; a number is true unless zero; anything else
// (including the empty text) is false.
bool TextToBool(std::string_view text);

// Reads "Service", then "AutoAllow"; a missing or empty value is "False".
Settings LoadSettings(const SettingsFile& file);
