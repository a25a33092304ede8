#pragma once
// The user's settings for the whole run, their defaults, the display form of
// deleted names, and reading and writing them through a key-value store (the
// settings file on Linux, QSettings or the registry in other front ends).

#include <cstdint>
#include <optional>
#include <string>

#include "host/RunSettings.h"

namespace vantrel {

// Where the settings live: one key (a section of the settings file).
inline constexpr const char* OptionsKeyPath = "SOFTWARE/Haldrim/tovask/1.8";

// One key of typed values. Each failed call leaves a text for LastError.
class IKeyValueStore {
 public:
  virtual ~IKeyValueStore() = default;
  virtual bool KeyExists() = 0;
  // nullopt when the value is missing or is not a string.
  virtual std::optional<std::string> ReadString(const std::string& name) = 0;
  // nullopt when the value is missing or is not a DWORD.
  virtual std::optional<std::uint32_t> ReadDWord(const std::string& name) = 0;
  // True when the value is there, of whatever type.
  virtual bool HasValue(const std::string& name) = 0;
  // Writing creates the key when it is missing.
  virtual bool WriteString(const std::string& name, const std::string& value) = 0;
  virtual bool WriteDWord(const std::string& name, std::uint32_t value) = 0;
  virtual std::string LastError() const = 0;
};

// The font of the file list, as plain values the front end turns into its font.
struct TFontSpec {
  std::string Name = "Sans Serif";
  int Size = 9;                 // points
  std::uint32_t Color = 0;      // 0x00BBGGRR; black
  int Height = -12;             // pixels, negative: character height without leading
  int PixelsPerInch = 96;

  // Size and height describe the same thing; the height is what counts, and
  // the size follows it for the current PixelsPerInch.
  void SetSize(int points);
  void SetHeight(int pixels);
  void SetPixelsPerInch(int ppi);
};

// The run settings of the volume and the searches, and those of the front end.
class TOptions : public TRunSettings {
 public:
  std::uint8_t DebugLevel = 3;
  bool UseINT13 = true;
  bool UseVEV13UDI = true;
  bool UseINT25 = true;
  bool EnableWinErrorMsg = true;
  bool EnableCache = true;
  TFontSpec FileListFont;
  // Code page of the short names on the volumes.
  std::string OemCodePage = "CP936";

  // Reads the store; a missing key leaves the defaults. A missing or mistyped
  // number stops the reading there with an error message; the values read
  // before it stay.
  void Load(IKeyValueStore& store);
  // Writes every value; the first failure stops with an error message.
  // False when something was not written.
  bool Save(IKeyValueStore& store);
};

// The options of this run; from its first use also the RunSettings() of the
// volume and the searches.
TOptions& Options();

// The controls of the options dialog, named as on the form.
struct TOptionsDialogValues {
  bool CheckBoxUserINT13 = false;
  bool CheckBoxUserVEV13UDI = false;
  bool CheckBoxUserINT25 = false;
  bool CheckBoxEnableCache = false;
  bool CheckBoxEnableWinErrorMsg = false;
  TFontSpec PanelSampleFont;
  std::string EditFont;  // the sample font's name, read-only
  std::string EditLostDefaultSize;
  std::string EditDeletedCharAnsi;
  std::string EditDeletedCharMultibyte;
  bool RadioButtonCharAnsi = true;
  bool RadioButtonCharMultibyte = false;
  bool CheckBoxFindLostFiles = false;
  std::string EditOemCodePage;
  bool CheckBoxKeepDates = false;
  bool CheckBoxWriteReport = true;
  // The two groups of settings for Windows 9x; off on systems where those
  // settings mean nothing (their check boxes still keep and save their values).
  bool Groups9XEnabled = false;
};

// The dialog's controls as they are set from the options when it opens.
TOptionsDialogValues OptionsToDialog(const TOptions& options);
// The controls collected into the options (OK and "保存").
void CollectOptionsDialog(const TOptionsDialogValues& values, TOptions& options);
// The leading decimal digits of the text (after blanks), or 0; never an error.
std::int32_t LostSizeFromText(const std::string& text);

// The options dialog drawn by the front end.
class IOptionsDialogView {
 public:
  virtual ~IOptionsDialogView() = default;
  // Shows the dialog modally starting from values and leaves the controls'
  // final values in it; true when closed with "确定". The view runs
  // OptionsDialogSaveClick when "保存" is pressed.
  virtual bool ShowModal(TOptionsDialogValues& values) = 0;
};

// Shows the dialog for options; on OK the options take the dialog's values.
bool EditOptions(TOptions& options, IOptionsDialogView& view, bool groups9XEnabled);

// "保存": after a warning answered Yes, collects the controls into the options
// and writes them. False when the user said No or the writing failed.
bool OptionsDialogSaveClick(const TOptionsDialogValues& values, TOptions& options,
                            IKeyValueStore& store);

}  // namespace vantrel
