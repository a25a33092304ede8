#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "app/TOptions.h"
#include "app/TSettingsFile.h"
#include "host/UserInterface.h"

namespace vantrel {
namespace fs = std::filesystem;
namespace {

class RecordingMessageBox : public IMessageBox {
 public:
  TMsgResult Show(const std::string& text, const std::string&, TMsgType, TMsgButtons) override {
    texts.push_back(text);
    return answer;
  }
  std::vector<std::string> texts;
  TMsgResult answer = TMsgResult::mrOK;
};

// A store in memory that records its writes and can fail the n-th one.
class MemoryStore : public IKeyValueStore {
 public:
  bool KeyExists() override { return true; }
  std::optional<std::string> ReadString(const std::string& n) override { return Get<std::string>(n); }
  std::optional<std::uint32_t> ReadDWord(const std::string& n) override { return Get<std::uint32_t>(n); }
  bool HasValue(const std::string& n) override { return values.count(n) != 0; }
  bool WriteString(const std::string& n, const std::string& v) override { return Put(n, v); }
  bool WriteDWord(const std::string& n, std::uint32_t v) override { return Put(n, v); }
  std::string LastError() const override { return error; }

  std::map<std::string, std::variant<std::string, std::uint32_t>> values;
  std::vector<std::string> written;
  int failAtWrite = -1;
  std::string error;

 private:
  template <class T>
  std::optional<T> Get(const std::string& name) {
    auto it = values.find(name);
    if (it != values.end() && std::holds_alternative<T>(it->second)) return std::get<T>(it->second);
    error = "no " + name;
    return std::nullopt;
  }
  template <class T>
  bool Put(const std::string& name, T v) {
    if (static_cast<int>(written.size()) == failAtWrite) return error = "denied", false;
    written.push_back(name);
    values[name] = std::move(v);
    return true;
  }
};

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageBox(&box);
    dir = fs::temp_directory_path() /
          ("vantrel-options-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    file = dir / "vantrel.conf";
  }
  void TearDown() override {
    SetMessageBox(nullptr);
    fs::remove_all(dir);
  }
  void WriteFile(const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
  std::string ReadFile() {
    std::ostringstream ss;
    ss << std::ifstream(file, std::ios::binary).rdbuf();
    return ss.str();
  }
  RecordingMessageBox box;
  fs::path dir, file;
};

TEST_F(OptionsTest, NoKeyKeepsDefaultsSilently) {
  WriteFile("[other]\nUseINT13=dword:00000000\n");  // another key only
  TSettingsFile store(file);
  TOptions o;
  o.Load(store);
  EXPECT_TRUE(o.UseINT13);
  EXPECT_EQ(o.LostDefaultSize, 1474560);
  EXPECT_TRUE(box.texts.empty());
}

TEST_F(OptionsTest, KeyWithOnlyUseINT13StopsAfterIt) {
  WriteFile("[SOFTWARE/Haldrim/tovask/1.8]\nUseINT13=dword:00000000\n");
  TSettingsFile store(file);
  TOptions o;
  o.Load(store);
  EXPECT_FALSE(o.UseINT13);
  const TOptions d;
  EXPECT_EQ(o.UseVEV13UDI, d.UseVEV13UDI);
  EXPECT_EQ(o.FileListFont.Name, d.FileListFont.Name);  // a string after the stop
  EXPECT_EQ(o.DeletedCharAnsi, "_");
  EXPECT_EQ(o.FindLostFiles, d.FindLostFiles);
  EXPECT_EQ(box.texts, std::vector<std::string>{"无法从注册表中读取: Failed to get data for 'UseVEV13UDI'"});
}

TEST_F(OptionsTest, MistypedNumberStopsButMissingStringIsEmpty) {
  MemoryStore store;
  store.values = {{"UseINT13", 0u}, {"UseINT25", std::string("0")}, {"EnableCache", 0u}};
  TOptions o;
  o.Load(store);
  EXPECT_FALSE(o.UseINT13);
  EXPECT_TRUE(o.EnableCache);
  EXPECT_EQ(box.texts, std::vector<std::string>{"无法从注册表中读取: no UseVEV13UDI"});

  // Every number present, no strings and no code page: no error.
  box.texts.clear();
  store.values.clear();
  for (const char* n : {"UseINT13", "UseVEV13UDI", "UseINT25", "EnableWinErrorMsg", "EnableCache",
                        "FileListFontSize", "FileListFontColor", "FileListFontPixelsPerInch",
                        "LostDefaultSize", "DeletedUseMultiByte", "FindLostFiles"})
    store.values[n] = 2u;  // any number but 0 is true
  store.values["FileListFontHeight"] = static_cast<std::uint32_t>(-16);
  o.Load(store);
  EXPECT_TRUE(box.texts.empty());
  EXPECT_EQ(o.DeletedCharAnsi, "");
  EXPECT_TRUE(o.DeletedUseMultiByte);
  EXPECT_EQ(o.FileListFont.Height, -16);
  EXPECT_EQ(o.FileListFont.Size, 576);  // follows the height, at 2 dpi
  EXPECT_EQ(o.OemCodePage, "CP936");
}

TEST_F(OptionsTest, SaveWritesInOrderAndStopsAtTheFirstFailure) {
  MemoryStore store;
  TOptions o;
  EXPECT_TRUE(o.Save(store));
  EXPECT_EQ(store.written,
            (std::vector<std::string>{"UseINT13", "UseVEV13UDI", "UseINT25", "EnableWinErrorMsg",
                                      "EnableCache", "FileListFontName", "FileListFontSize",
                                      "FileListFontColor", "FileListFontHeight",
                                      "FileListFontPixelsPerInch", "LostDefaultSize",
                                      "DeletedCharAnsi", "DeletedCharMultibyte",
                                      "DeletedUseMultiByte", "FindLostFiles", "OemCodePage", "KeepDates",
                                      "WriteReport"}));
  MemoryStore failing;
  failing.failAtWrite = 2;
  EXPECT_FALSE(o.Save(failing));
  EXPECT_EQ(failing.written.size(), 2u);
  EXPECT_EQ(box.texts, std::vector<std::string>{"无法写入注册表: denied"});

  // The settings file below a plain file cannot be written.
  WriteFile("not a folder");
  TSettingsFile blocked(file / "vantrel.conf");
  EXPECT_FALSE(o.Save(blocked));
  EXPECT_EQ(box.texts.back().rfind("无法写入注册表: Failed to set data for 'UseINT13': ", 0), 0u);
}

TEST_F(OptionsTest, RoundTripThroughTheSettingsFile) {
  WriteFile("; kept\n[other]\nx=1\n");
  TSettingsFile store(file);
  TOptions o;
  o.UseINT25 = false;
  o.FileListFont.Name = "Noto Sans CJK SC";
  o.FileListFont.PixelsPerInch = 120;
  o.FileListFont.SetSize(10);
  o.FileListFont.Color = 0x00FF0080;
  o.LostDefaultSize = -5;
  o.DeletedCharAnsi = " ";
  o.DeletedCharMultibyte = "\"\\\n=";
  o.DeletedUseMultiByte = true;
  o.OemCodePage = "CP437";
  ASSERT_TRUE(o.Save(store));
  const std::string text = ReadFile();
  EXPECT_EQ(text.rfind("; kept\n[other]\nx=1\n\n[SOFTWARE/Haldrim/tovask/1.8]\nUseINT13=dword:00000001\n", 0), 0u)
      << text;
  EXPECT_NE(text.find("\nFileListFontHeight=dword:ffffffef\n"), std::string::npos) << text;

  TOptions back;
  back.Load(store);
  EXPECT_TRUE(box.texts.empty());
  EXPECT_FALSE(back.UseINT25);
  EXPECT_EQ(back.FileListFont.Name, "Noto Sans CJK SC");
  EXPECT_EQ(back.FileListFont.Size, 10);  // the size is derived at the saved resolution
  EXPECT_EQ(back.FileListFont.Color, 0x00FF0080u);
  EXPECT_EQ(back.LostDefaultSize, -5);
  EXPECT_EQ(back.DeletedCharAnsi, " ");
  EXPECT_EQ(back.DeletedCharMultibyte, "\"\\\n=");
  EXPECT_TRUE(back.DeletedUseMultiByte);
  EXPECT_EQ(back.OemCodePage, "CP437");

  // Saving again replaces values in place and leaves no temporary file.
  back.UseINT13 = false;
  ASSERT_TRUE(back.Save(store));
  EXPECT_EQ(ReadFile().size(), text.size());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(OptionsTest, AMistypedStringIsAnErrorAndKeepsTheDefault) {
  // Every number present; the marker written as a number by hand.
  std::string text = "[SOFTWARE/Haldrim/tovask/1.8]\n";
  for (const char* n : {"UseINT13", "UseVEV13UDI", "UseINT25", "EnableWinErrorMsg", "EnableCache", "FileListFontSize",
                        "FileListFontColor", "FileListFontHeight", "FileListFontPixelsPerInch", "LostDefaultSize",
                        "DeletedUseMultiByte", "FindLostFiles"})
    text += std::string(n) + "=dword:00000001\n";
  WriteFile(text + "DeletedCharAnsi=dword:1\n");
  TSettingsFile store(file);
  TOptions o;
  o.Load(store);
  EXPECT_EQ(o.DeletedCharAnsi, "_");
  ASSERT_EQ(box.texts.size(), 1u);
  EXPECT_EQ(box.texts[0], "无法从注册表中读取: Invalid data type for 'DeletedCharAnsi'");
}

TEST_F(OptionsTest, SettingsFileTypesAndHandEditedValues) {
  WriteFile(
      "[software/haldrim/TOVASK/1.8]\r\n"
      "  usedeleted = plain text  \r\n"
      "Number=DWORD:1F\r\n"
      "Broken=\"no end\r\n"
      "[next]\r\n"
      "Later=dword:00000001\r\n");
  TSettingsFile store(file);
  EXPECT_EQ(store.ReadString("UseDeleted"), "plain text");
  EXPECT_EQ(store.ReadDWord("number"), 0x1Fu);
  EXPECT_FALSE(store.ReadString("Number"));
  EXPECT_EQ(store.LastError(), "Invalid data type for 'Number'");
  EXPECT_FALSE(store.ReadDWord("UseDeleted"));
  EXPECT_FALSE(store.ReadString("Broken"));
  EXPECT_FALSE(store.ReadDWord("Later"));  // another section
  EXPECT_EQ(store.LastError(), "Failed to get data for 'Later'");

  // A new value goes to the end of its own section.
  ASSERT_TRUE(store.WriteDWord("Added", 7));
  EXPECT_NE(ReadFile().find("Broken=\"no end\nAdded=dword:00000007\n[next]"), std::string::npos)
      << ReadFile();
}

TEST(OptionsDisplayName, ReplacesOnlyTheRawDeletionMark) {
  TOptions o;
  struct Case {
    std::string stored, shown;
  } cases[] = {
      {"\xE5OO.TXT", "_OO.TXT"},                                 // mark before ASCII
      {"\xE5\xE5\xA4\xA7.TXT", "_\xE5\xA4\xA7.TXT"},             // mark before 大 (E5 A4 A7)
      {"\xE5\xA4\xA7\xE5\xA4\xA7", "\xE5\xA4\xA7\xE5\xA4\xA7"},  // 大大: no mark at all
      {"AB\xE5", "AB_"},                                         // mark at the end
      {"\xE5\xA4", "_\xA4"},                                     // a cut-off character
      {"\xE5" "A\xE5" "B", "_A\xE5" "B"},                        // only the first mark
      {"\x80\xC3\xA9\xE5x", "\x80\xC3\xA9_x"},                   // after stray byte and é
  };
  for (const Case& c : cases) EXPECT_EQ(o.DisplayName(c.stored), c.shown) << c.stored;
  o.DeletedUseMultiByte = true;
  EXPECT_EQ(o.DisplayName("\xE5OO"), "__OO");
}

TEST_F(OptionsTest, DialogCollectsAndSavesOnYesOnly) {
  EXPECT_EQ(LostSizeFromText("2048 bytes"), 2048);
  EXPECT_EQ(LostSizeFromText("abc"), 0);
  EXPECT_EQ(LostSizeFromText("-5"), 0);
  EXPECT_EQ(LostSizeFromText("99999999999"), 2147483647);

  TOptions o;
  TOptionsDialogValues v = OptionsToDialog(o);
  EXPECT_EQ(v.EditLostDefaultSize, "1474560");
  v.CheckBoxUserINT13 = false;
  v.PanelSampleFont.Name = "Mono";
  v.EditLostDefaultSize = "2048 bytes";
  v.RadioButtonCharAnsi = false;
  v.RadioButtonCharMultibyte = true;
  v.EditOemCodePage = "";  // an emptied code page keeps the old one

  MemoryStore store;
  box.answer = TMsgResult::mrNo;
  EXPECT_FALSE(OptionsDialogSaveClick(v, o, store));
  EXPECT_TRUE(store.written.empty());
  EXPECT_TRUE(o.UseINT13);
  EXPECT_EQ(box.texts.back(), "如果保存选项在系统驱动器上的任何丢失或删除的数据可能会被覆盖！\n\n是否继续?");

  box.answer = TMsgResult::mrYes;
  EXPECT_TRUE(OptionsDialogSaveClick(v, o, store));
  EXPECT_EQ(store.written.size(), 18u);
  EXPECT_FALSE(o.UseINT13);
  EXPECT_TRUE(o.UseVEV13UDI);
  EXPECT_EQ(o.FileListFont.Name, "Mono");
  EXPECT_EQ(o.LostDefaultSize, 2048);
  EXPECT_TRUE(o.DeletedUseMultiByte);
  EXPECT_EQ(o.OemCodePage, "CP936");
}

}  // namespace
}  // namespace vantrel
