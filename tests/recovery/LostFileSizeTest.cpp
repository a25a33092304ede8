// Lost files of many types, made by the real tools (ImageMagick, lame, zip,
// tar, 7z, sqlite3, flac, gzip, ffmpeg, mingw-w64) on a FAT16 volume that was quick-formatted
// over them: the search finds each at its first cluster with the size its
// bytes tell, and saving gives the files back byte for byte.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "analysis/FileSize.h"
#include "analysis/FileType.h"
#include "common/FATChoice.h"
#include "app/TOptions.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "host/RangeDialogs.h"
#include "host/TStatusDialog.h"
#include "recovery/LostData.h"
#include "recovery/Saving.h"
#include "support/LostImages.h"
#include "support/MemoryDisk.h"
#include "support/Recorders.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

struct AllClusters : IClusterDialogView {
  TRangeDialogResult ShowModal(TClusterDialog& dialog) override {
    return {true, dialog.EditStartClus, dialog.EditEndClus};
  }
};

struct TypedVolume {
  std::string dir;
  std::map<std::uint32_t, std::string> files;  // first cluster -> file name
};

const TypedVolume& Volume() {
  static const TypedVolume volume = [] {
    TypedVolume v;
    v.dir = test::MadeOnce("typed-volume", [](const std::string& dir) {
      test::ImageTool(std::string(VANTREL_FIXTURE_SCRIPT).replace(std::string(VANTREL_FIXTURE_SCRIPT).rfind('/'),
                                                                   std::string::npos, "/make_typed_volume.sh") +
                      " " + test::ShellQuote(dir));
    });
    std::ifstream in(v.dir + "/clusters.txt");
    std::string name;
    std::uint32_t cluster = 0;
    while (in >> name >> cluster) v.files[cluster] = name;
    return v;
  }();
  return volume;
}

// The type name the search gives each file, by the file's extension.
std::string TypeOf(const std::string& file) {
  static const std::map<std::string, std::string> kTypes = {
      {".jpg", "JPG"}, {".png", "PNG"},   {".gif", "GIF"},    {".bmp", "BMP"},   {".webp", "WEBP"},
      {".mid", "MID"}, {".pdf", "PDF"},   {".docx", "DOCX"},  {".mp3", "MP3"},   {".zip", "ZIP"},
      {".tar", "TAR"}, {".7z", "7Z"},     {".sqlite", "SQLITE"}, {".oga", "OGG"}, {".flac", "FLAC"},
      {".gz", "GZ"},   {".mp4", "MP4"},  {".mov", "MOV"},   {".3gp", "3GP"},
      {".m4a", "M4A"}, {".exe", "EXE"}};
  return kTypes.at(fs::path(file).extension().string());
}

TEST(LostFileSize, QuickFormattedTypedFilesComeBackWhole) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const TypedVolume& v = Volume();
  ASSERT_EQ(v.files.size(), 25u);
  TOptions saved = Options();
  Options().FindLostFiles = true;
  test::MemoryDisk disk(test::ImageBytes(v.dir + "/typed.img"), false);
  TFATdrive& drive = disk.Drive(0);
  test::ProgressRecorder view;
  TStatusDialog dialog{&view};
  view.dialog = &dialog;
  TClusterDialog clusters;
  AllClusters range;
  FindLostData(drive, dialog, clusters, range);
  Options() = saved;

  test::TempDir out;
  TSaveContext context;
  std::map<std::uint32_t, std::string> found;
  std::map<std::uint32_t, TVerdict> verdicts;
  for (const auto& item : *drive.LostDir->Items) {
    ASSERT_FALSE(item->IsDirectory()) << item->Name;
    auto& file = static_cast<TFATFile&>(*item);
    found[file.StartCluster] = file.Name;
    verdicts[file.StartCluster] = file.Verdict;
    EXPECT_TRUE(SaveFile(file, out.Path().string(), context));
  }
  // One lost file for each file, at its first cluster, of its type; nothing else.
  std::uint64_t realBytes = 0, savedBytes = 0;
  int exact = 0, verified = 0;
  for (const auto& [cluster, name] : v.files) {
    SCOPED_TRACE(name);
    const std::string real = test::ReadFile(v.dir + "/media/" + name);
    realBytes += real.size();
    ASSERT_TRUE(found.count(cluster));
    EXPECT_EQ(found[cluster], "蔟 " + std::to_string(cluster) + "." + TypeOf(name));
    const std::string back = test::ReadFile((out.Path() / found[cluster]).string());
    savedBytes += back.size();
    EXPECT_EQ(back.size(), real.size());
    EXPECT_TRUE(back == real);
    exact += back == real;
    // The verdict came from the search's own pass; it never vouches for wrong bytes.
    if (back != real) {
      EXPECT_NE(verdicts[cluster], vdVerified);
    }
    verified += verdicts[cluster] == vdVerified;
    if (verdicts[cluster] != vdVerified) std::printf("  %s %s\n", name.c_str(), VerdictName(verdicts[cluster]).c_str());
  }
  EXPECT_EQ(found.size(), v.files.size());
  std::printf("verified %d of %zu\n", verified, v.files.size());
  std::printf("byte-exact %d of %zu, lost files %zu, saved %llu bytes of %llu\n", exact, v.files.size(), found.size(),
              static_cast<unsigned long long>(savedBytes), static_cast<unsigned long long>(realBytes));
}

// Clusters of 4 KiB and of 64 KiB from the middle of a 320 kbit/s stream:
// sound. Its frames behind zeros or other data that end a cluster: not.
TEST(LostFileSize, MiddleClustersOfRealSoundAreSound) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const std::string mp3 = test::ReadFile(Volume().dir + "/media/tone320.mp3");
  ASSERT_GT(mp3.size(), 75000u);
  auto detect = [](const std::string& bytes) {
    int kind = 0;
    std::string name;
    return DetectFileType(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), kind, name) ? name
                                                                                                        : std::string();
  };
  for (std::size_t at = 4096; at + 4096 <= mp3.size(); at += 4096) EXPECT_EQ(detect(mp3.substr(at, 4096)), "MP3");
  EXPECT_EQ(detect(mp3.substr(5000, 65536)), "MP3");
  const std::size_t frame = mp3.find("\xFF\xFB", 3000);
  ASSERT_NE(frame, std::string::npos);
  const std::string twoFrames = mp3.substr(frame, 2089);
  EXPECT_EQ(detect(std::string(4096 - twoFrames.size(), '\0') + twoFrames), "");
  std::string noise;
  for (std::size_t i = 0; i < 4096 - twoFrames.size(); ++i) noise += static_cast<char>((i * 7919 + 13) % 256);
  EXPECT_EQ(detect(noise + twoFrames), "");
  // A 1 KiB cluster holds less than one 320 kbit/s frame: the encoder's
  // header frame tells the start of the file, a frame without it does not.
  std::string head = mp3.substr(0, 1024);
  int kind = 0;
  std::string name;
  EXPECT_TRUE(DetectFileType(reinterpret_cast<const std::uint8_t*>(head.data()), head.size(), kind, name));
  EXPECT_EQ(kind, 1);
  head.replace(head.find("Info"), 4, "Infx");
  EXPECT_EQ(detect(head), "");
}

// Real FLAC and gzip files end where their last frame or member ends; one
// changed byte or a cut makes their size unknown. Two gzip members inside one
// run of clusters are one file; a member that starts a cluster is not.
TEST(LostFileSize, FlacAndGzipEndWithTheirLastCheckedFrameOrMember) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  auto sizeOf = [](const std::string& type, const std::string& bytes, std::uint32_t cluster = 2048) {
    TMemoryClusterSource source(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), cluster);
    return FindFileExtent(type, source).Size;
  };
  const std::string after(3000, '\x5A');
  for (const char* file : {"tone.flac", "tone.wav.gz"}) {
    SCOPED_TRACE(file);
    const std::string type = std::string(file).ends_with(".gz") ? "GZ" : "FLAC";
    const std::string real = test::ReadFile(Volume().dir + "/media/" + file);
    EXPECT_EQ(sizeOf(type, real + after), real.size());
    EXPECT_EQ(sizeOf(type, real + after, 512), real.size());
    std::string changed = real;
    changed[real.size() / 2] = static_cast<char>(changed[real.size() / 2] ^ 0x10);
    EXPECT_EQ(sizeOf(type, changed + after), 0u);
    EXPECT_EQ(sizeOf(type, real.substr(0, real.size() - 3)), 0u);
  }
  const std::string gz = test::ReadFile(Volume().dir + "/media/tone.wav.gz");
  EXPECT_EQ(sizeOf("GZ", gz + gz + after), 2 * gz.size());
  const std::string padded = gz + std::string(2048 - gz.size() % 2048, '\0');
  EXPECT_EQ(sizeOf("GZ", padded + gz), gz.size());
}

}  // namespace
}  // namespace vantrel

namespace vantrel {
namespace {

// A deleted file that mtools wrote around another file (clusters 5-6, then
// 10-13 after the live c.bin at 7-9) comes back whole with "free clusters
// only"; consecutive clusters bring c.bin's bytes in. Without a usable FAT
// the choice reads consecutive clusters.
TEST(FreeClustersOnly, FragmentedDeletedFileSkipsTheClustersInUse) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  const std::string d = dir.Path().string(), img = test::ShellQuote(d + "/frag.img");
  test::WriteFile(d + "/a.bin", test::Pattern(1, 1500));
  test::WriteFile(d + "/b.bin", test::Pattern(2, 1000));
  test::WriteFile(d + "/c.bin", test::Pattern(3, 1500));
  const std::string deleted = test::Pattern(4, 2600);
  test::WriteFile(d + "/d.bin", deleted);
  test::ImageTool("mkfs.fat -C -F 16 -s 1 --invariant -i 12345678 " + img + " 8192");
  test::ImageTool("cd " + test::ShellQuote(d) + " && mcopy -i " + img + " a.bin b.bin c.bin ::/ && mdel -i " + img +
                  " ::/b.bin && mcopy -i " + img + " d.bin ::/");
  ASSERT_TRUE(test::Run("MTOOLS_SKIP_CHECK=1 mshowfat -i " + img + " ::/d.bin | grep -q '<5-6> <10-13>'"));
  ASSERT_EQ(test::FirstClusters(d + "/frag.img", {"::/c.bin"}), (std::vector<std::uint32_t>{7}));
  test::ImageTool("mdel -i " + img + " ::/d.bin");

  auto save = [&](std::uint8_t choice, bool noFAT) {
    test::MemoryDisk disk(test::ImageBytes(d + "/frag.img"), false);
    TFATdrive& drive = disk.Drive(0);
    if (noFAT) drive.Flags |= dfNoFAT;
    TFATFile file;
    file.Name = "d.bin";
    file.StartCluster = 5;
    file.Size = static_cast<std::uint32_t>(deleted.size());
    file.Drive = &drive;
    file.Status = isDeleted;
    test::TempDir out;
    TSaveContext context;
    context.FATChoice = choice;
    EXPECT_TRUE(SaveFile(file, out.Path().string(), context));
    return test::ReadFile((out.Path() / "d.bin").string());
  };
  EXPECT_TRUE(save(kFATChoiceFree, false) == deleted);
  const std::string consecutive = save(0, false);
  EXPECT_FALSE(consecutive == deleted);
  EXPECT_TRUE(save(kFATChoiceFree, true) == consecutive);
}

TEST(FreeClustersOnly, OfferedAfterTheFATCopiesWhereThereIsAFAT) {
  EXPECT_EQ(FATChoiceItems(2),
            (std::vector<std::string>{"no FAT (consecutive)", "FAT 1", "FAT 2", "free clusters only"}));
  EXPECT_EQ(FATChoiceItems(0), (std::vector<std::string>{"no FAT (consecutive)"}));
  EXPECT_EQ(FATChoiceOfItem(3, 2), kFATChoiceFree);
  EXPECT_EQ(FATChoiceOfItem(2, 2), 2);
  EXPECT_EQ(ItemOfFATChoice(kFATChoiceFree, 2), 3);
  EXPECT_EQ(ItemOfFATChoice(kFATChoiceFree, 0), 0);
  TDirSelectDialog dialog;
  dialog.FillFATChoices(2, kFATChoiceFree);
  EXPECT_EQ(dialog.ComboBoxFATItemIndex, 3);
}

}  // namespace
}  // namespace vantrel
