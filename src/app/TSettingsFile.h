#pragma once
// The options' key as a settings file: an INI-like text with one section per
// key and typed values, so that a number and a string stay apart as they do
// in a registry:
//
//   [SOFTWARE/Haldrim/tovask/1.8]
//   UseINT13=dword:00000001
//   DeletedCharAnsi="_"
//
// Strings are quoted, with \\, \", \n, \r, \t and \xHH escapes; an unquoted
// value that is no DWORD reads as a string, for hand-edited files. Section
// and value names are matched without regard to ASCII case. Every write
// rewrites the whole file through a temporary file and a rename, so a crash
// leaves either the old or the new file; other sections, comments and
// unknown lines are kept.

#include <filesystem>
#include <string>

#include "app/TOptions.h"

namespace vantrel {

class TSettingsFile : public IKeyValueStore {
 public:
  explicit TSettingsFile(std::filesystem::path file, std::string section = OptionsKeyPath);

  // $XDG_CONFIG_HOME/vantrel/vantrel.conf, or ~/.config/vantrel/vantrel.conf;
  // on Windows %APPDATA%\vantrel\vantrel.conf.
  static std::filesystem::path DefaultPath();

  const std::filesystem::path& File() const { return file_; }

  bool KeyExists() override;
  std::optional<std::string> ReadString(const std::string& name) override;
  std::optional<std::uint32_t> ReadDWord(const std::string& name) override;
  bool HasValue(const std::string& name) override;
  bool WriteString(const std::string& name, const std::string& value) override;
  bool WriteDWord(const std::string& name, std::uint32_t value) override;
  std::string LastError() const override { return error_; }

 private:
  // The raw text after "=" of the value, or nullopt (error_ set) when missing.
  std::optional<std::string> RawValue(const std::string& name);
  bool WriteRaw(const std::string& name, const std::string& raw);

  std::filesystem::path file_;
  std::string section_;
  std::string error_;
};

}  // namespace vantrel
