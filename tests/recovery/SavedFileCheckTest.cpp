// The verdicts a save gives live files of real media types, checked over the
// bytes the save keeps in memory, over those and the rest read back from the
// saved file, and over the saved file alone: the same verdict, the same
// first bad offset and the same saved bytes whichever way the checks get
// them.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "recovery/SavedFileCheck.h"
#include "recovery/Saving.h"
#include "support/LostImages.h"
#include "support/MemoryDisk.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

// A FAT16 volume of 2 KiB clusters holding media files made by the real
// tools, and one JPEG with 3000 bytes of another file written over its middle.
std::string MediaVolume() {
  return test::MadeOnce("saved-check-volume", [](const std::string& dir) {
    const std::string script = std::string(VANTREL_FIXTURE_SCRIPT).replace(
        std::string(VANTREL_FIXTURE_SCRIPT).rfind('/'), std::string::npos, "/make_media.sh");
    const std::string media = test::ShellQuote(dir + "/media"), image = test::ShellQuote(dir + "/media.img");
    test::ImageTool(script + " " + media + " 2602 16 'jpg png gif flac gz zip wav ogg mp3 avi'");
    test::ImageTool("sh -c 'cd " + media + " && j=$(ls *.jpg | head -1) && cp $j broken.jpg && s=$(stat -c %s $j) && " +
                    "dd if=$(ls *.png | head -1) of=broken.jpg bs=1 skip=100 seek=$((s / 2)) count=3000 conv=notrunc'");
    test::ImageTool("truncate -s 24M " + image);
    test::ImageTool("mkfs.fat -F 16 -s 4 --invariant -i 26e00001 " + image);
    test::ImageTool("sh -c 'mcopy -i " + image + " " + media + "/* ::/'");
  });
}

struct Saved {
  std::string verdict;
  std::uint64_t badOffset = 0;
  std::string bytes;
};

// Every file of the root saved with the first keptLimit bytes kept.
std::map<std::string, Saved> SaveAll(TFATdrive& drive, std::size_t keptLimit) {
  test::TempDir out;
  TSaveContext context;
  context.KeptLimit = keptLimit;
  std::map<std::string, Saved> saved;
  TFATDirectory& root = *drive.Root();
  root.LoadChildren(false, false);
  for (const auto& item : *root.Items) {
    if (item->IsDirectory()) continue;
    auto& file = static_cast<TFATFile&>(*item);
    file.Verdict = vdNone;
    EXPECT_TRUE(SaveFile(file, out.Path().string(), context));
    const std::string name = DisplayNameOf(file);
    saved[name] = {VerdictName(file.Verdict), file.BadOffset, test::ReadFile((out.Path() / SafeFileName(name)).string())};
  }
  return saved;
}

TEST(SavedFileCheck, VerdictsAreTheSameFromTheKeptBytesAndFromTheFileReadBack) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const std::string dir = MediaVolume();
  test::MemoryDisk disk(test::ImageBytes(dir + "/media.img"), false);
  TFATdrive& drive = disk.Drive(0);
  const auto kept = SaveAll(drive, std::size_t{64} << 20);
  ASSERT_EQ(kept.size(), 17u);
  int verified = 0;
  for (const auto& [name, file] : kept) {
    SCOPED_TRACE(name);
    // Saved byte for byte, whatever the checks did with the bytes.
    EXPECT_TRUE(file.bytes == test::ReadFile((fs::path(dir) / "media" / name).string()));
    verified += file.verdict == "verified";
    if (name == "broken.jpg") {
      EXPECT_EQ(file.verdict, "damaged");
    }
  }
  EXPECT_GE(verified, 10);
  // A limit inside a cluster, so that one cluster is read back whole past
  // the kept bytes, and no kept bytes at all.
  for (std::size_t limit : {std::size_t{3000}, std::size_t{0}}) {
    SCOPED_TRACE(limit);
    const auto again = SaveAll(drive, limit);
    ASSERT_EQ(again.size(), kept.size());
    for (const auto& [name, file] : kept) {
      SCOPED_TRACE(name);
      const Saved& other = again.at(name);
      EXPECT_EQ(other.verdict, file.verdict);
      EXPECT_EQ(other.badOffset, file.badOffset);
      EXPECT_TRUE(other.bytes == file.bytes);
    }
  }
}

}  // namespace
}  // namespace vantrel
