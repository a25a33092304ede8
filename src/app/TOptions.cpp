#include "app/TOptions.h"

#include <cmath>
#include <limits>

#include "common/Routines.h"
#include "host/UserInterface.h"

namespace vantrel {
namespace {

// a × b / c rounded half away from zero, the way font sizes and heights are
// converted into each other.
int MulDiv(int a, int b, int c) {
  if (c == 0) return 0;
  return static_cast<int>(std::llround(static_cast<double>(a) * b / c));
}

// Reads values in order; the first missing or mistyped number sticks and
// every later read is skipped.
class Reader {
 public:
  explicit Reader(IKeyValueStore& store) : store_(store) {}
  bool Ok() const { return ok_; }

  std::optional<std::uint32_t> DWord(const char* name) {
    if (!ok_) return std::nullopt;
    auto v = store_.ReadDWord(name);
    if (!v) ok_ = false;
    return v;
  }
  void Bool(const char* name, bool& field) {
    if (auto v = DWord(name)) field = *v != 0;
  }
  void Int(const char* name, std::int32_t& field) {
    if (auto v = DWord(name)) field = static_cast<std::int32_t>(*v);
  }
  // A missing string is an empty one, not an error; one of another type is
  // an error like a mistyped number, and the field keeps its default.
  void String(const char* name, std::string& field) {
    if (!ok_) return;
    if (auto v = store_.ReadString(name)) {
      field = *v;
    } else if (store_.HasValue(name)) {
      ok_ = false;
    } else {
      field.clear();
    }
  }

 private:
  IKeyValueStore& store_;
  bool ok_ = true;
};

class Writer {
 public:
  explicit Writer(IKeyValueStore& store) : store_(store) {}
  bool Ok() const { return ok_; }

  void DWord(const char* name, std::uint32_t value) {
    if (ok_) ok_ = store_.WriteDWord(name, value);
  }
  void Bool(const char* name, bool value) { DWord(name, value ? 1 : 0); }
  void Int(const char* name, std::int32_t value) { DWord(name, static_cast<std::uint32_t>(value)); }
  void String(const char* name, const std::string& value) {
    if (ok_) ok_ = store_.WriteString(name, value);
  }

 private:
  IKeyValueStore& store_;
  bool ok_ = true;
};

}  // namespace

void TFontSpec::SetSize(int points) {
  Size = points;
  if (PixelsPerInch > 0) Height = -MulDiv(points, PixelsPerInch, 72);
}

void TFontSpec::SetHeight(int pixels) {
  Height = pixels;
  if (PixelsPerInch > 0) Size = -MulDiv(pixels, 72, PixelsPerInch);
}

void TFontSpec::SetPixelsPerInch(int ppi) {
  PixelsPerInch = ppi;
  SetHeight(Height);
}

void TOptions::Load(IKeyValueStore& store) {
  if (!store.KeyExists()) return;  // never saved: the defaults stand
  Reader r(store);
  r.Bool("UseINT13", UseINT13);
  r.Bool("UseVEV13UDI", UseVEV13UDI);
  r.Bool("UseINT25", UseINT25);
  r.Bool("EnableWinErrorMsg", EnableWinErrorMsg);
  r.Bool("EnableCache", EnableCache);
  r.String("FileListFontName", FileListFont.Name);
  if (auto v = r.DWord("FileListFontSize")) FileListFont.SetSize(static_cast<std::int32_t>(*v));
  if (auto v = r.DWord("FileListFontColor")) FileListFont.Color = *v;
  // Read after the size, so that the height wins.
  if (auto v = r.DWord("FileListFontHeight")) FileListFont.SetHeight(static_cast<std::int32_t>(*v));
  // The height stays as read; the size follows it for the font's resolution,
  // so a font saved at 120 dpi comes back with the size it had.
  if (auto v = r.DWord("FileListFontPixelsPerInch"))
    FileListFont.SetPixelsPerInch(static_cast<std::int32_t>(*v));
  r.Int("LostDefaultSize", LostDefaultSize);
  r.String("DeletedCharAnsi", DeletedCharAnsi);
  r.String("DeletedCharMultibyte", DeletedCharMultibyte);
  r.Bool("DeletedUseMultiByte", DeletedUseMultiByte);
  r.Bool("FindLostFiles", FindLostFiles);
  if (!r.Ok()) {
    ShowMessageBox("无法从注册表中读取: " + store.LastError(), "", TMsgType::mtError,
                   TMsgButtons::mbOK);
    return;
  }
  // Written by newer versions only; settings from before it keep the default.
  if (auto cp = store.ReadString("OemCodePage"); cp && !cp->empty()) OemCodePage = *cp;
  if (store.HasValue("KeepDates"))
    if (auto v = store.ReadDWord("KeepDates")) KeepDates = *v != 0;
  if (store.HasValue("WriteReport"))
    if (auto v = store.ReadDWord("WriteReport")) WriteReport = *v != 0;
}

bool TOptions::Save(IKeyValueStore& store) {
  Writer w(store);
  w.Bool("UseINT13", UseINT13);
  w.Bool("UseVEV13UDI", UseVEV13UDI);
  w.Bool("UseINT25", UseINT25);
  w.Bool("EnableWinErrorMsg", EnableWinErrorMsg);
  w.Bool("EnableCache", EnableCache);
  w.String("FileListFontName", FileListFont.Name);
  w.Int("FileListFontSize", FileListFont.Size);
  w.DWord("FileListFontColor", FileListFont.Color);
  w.Int("FileListFontHeight", FileListFont.Height);
  w.Int("FileListFontPixelsPerInch", FileListFont.PixelsPerInch);
  w.Int("LostDefaultSize", LostDefaultSize);
  w.String("DeletedCharAnsi", DeletedCharAnsi);
  w.String("DeletedCharMultibyte", DeletedCharMultibyte);
  w.Bool("DeletedUseMultiByte", DeletedUseMultiByte);
  w.Bool("FindLostFiles", FindLostFiles);
  w.String("OemCodePage", OemCodePage);
  w.Bool("KeepDates", KeepDates);
  w.Bool("WriteReport", WriteReport);
  if (!w.Ok()) {
    ShowMessageBox("无法写入注册表: " + store.LastError(), "", TMsgType::mtError, TMsgButtons::mbOK);
    return false;
  }
  return true;
}

TOptions& Options() {
  // Made on first use from the settings in force, which it then replaces.
  static TOptions options = [] {
    TOptions o;
    static_cast<TRunSettings&>(o) = RunSettings();
    return o;
  }();
  static const bool attached = (UseRunSettings(options), true);
  (void)attached;
  return options;
}

// ---------------------------------------------------------------- dialog

std::int32_t LostSizeFromText(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  }
  return static_cast<std::int32_t>(value);
}

TOptionsDialogValues OptionsToDialog(const TOptions& options) {
  TOptionsDialogValues v;
  v.CheckBoxUserINT13 = options.UseINT13;
  v.CheckBoxUserVEV13UDI = options.UseVEV13UDI;
  v.CheckBoxUserINT25 = options.UseINT25;
  v.CheckBoxEnableCache = options.EnableCache;
  v.CheckBoxEnableWinErrorMsg = options.EnableWinErrorMsg;
  v.PanelSampleFont = options.FileListFont;
  v.EditFont = options.FileListFont.Name;
  v.EditLostDefaultSize = std::to_string(options.LostDefaultSize);
  v.EditDeletedCharAnsi = options.DeletedCharAnsi;
  v.EditDeletedCharMultibyte = options.DeletedCharMultibyte;
  v.RadioButtonCharMultibyte = options.DeletedUseMultiByte;
  v.RadioButtonCharAnsi = !options.DeletedUseMultiByte;
  v.CheckBoxFindLostFiles = options.FindLostFiles;
  v.EditOemCodePage = options.OemCodePage;
  v.CheckBoxKeepDates = options.KeepDates;
  v.CheckBoxWriteReport = options.WriteReport;
  return v;
}

void CollectOptionsDialog(const TOptionsDialogValues& values, TOptions& options) {
  options.UseINT13 = values.CheckBoxUserINT13;
  options.UseVEV13UDI = values.CheckBoxUserVEV13UDI;
  options.UseINT25 = values.CheckBoxUserINT25;
  options.EnableWinErrorMsg = values.CheckBoxEnableWinErrorMsg;
  options.EnableCache = values.CheckBoxEnableCache;
  options.FileListFont = values.PanelSampleFont;
  options.LostDefaultSize = LostSizeFromText(values.EditLostDefaultSize);
  options.DeletedCharAnsi = values.EditDeletedCharAnsi;
  options.DeletedCharMultibyte = values.EditDeletedCharMultibyte;
  options.DeletedUseMultiByte = values.RadioButtonCharMultibyte;
  options.FindLostFiles = values.CheckBoxFindLostFiles;
  options.KeepDates = values.CheckBoxKeepDates;
  options.WriteReport = values.CheckBoxWriteReport;
  // An empty code page would leave the short names undecodable.
  if (!values.EditOemCodePage.empty()) options.OemCodePage = values.EditOemCodePage;
}

bool EditOptions(TOptions& options, IOptionsDialogView& view, bool groups9XEnabled) {
  TOptionsDialogValues values = OptionsToDialog(options);
  values.Groups9XEnabled = groups9XEnabled;
  if (!view.ShowModal(values)) return false;
  CollectOptionsDialog(values, options);
  return true;
}

bool OptionsDialogSaveClick(const TOptionsDialogValues& values, TOptions& options,
                            IKeyValueStore& store) {
  // Writing to the system drive may land on the very clusters being recovered.
  if (ShowMessageBox("如果保存选项在系统驱动器上的任何丢失或删除的数据可能会被覆盖！\n\n是否继续?", "",
                     TMsgType::mtWarning, TMsgButtons::mbYesNo) != TMsgResult::mrYes)
    return false;
  CollectOptionsDialog(values, options);
  return options.Save(store);
}

}  // namespace vantrel
