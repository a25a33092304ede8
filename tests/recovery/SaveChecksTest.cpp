// A save that checks and hashes its files on workers beside the copy gives
// what a save one file at a time gives: the same verdicts and first bad
// offsets, the same list of damaged files and the same report records in
// the same order, and the same saved bytes; with files larger than the kept
// bytes, a queue too small for two files at once, and the same files saved
// again over their first copies.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/Sha256.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "recovery/SaveChecks.h"
#include "recovery/Saving.h"
#include "support/LostImages.h"
#include "support/MemoryDisk.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

// A FAT32 volume of 1 KiB clusters: media files made by the real tools in
// the root and in two folders, three of them with one cluster's worth of
// another file written over their middle.
std::string CheckedVolume() {
  return test::MadeOnce("save-checks-volume", [](const std::string& dir) {
    const std::string script = std::string(VANTREL_FIXTURE_SCRIPT).replace(
        std::string(VANTREL_FIXTURE_SCRIPT).rfind('/'), std::string::npos, "/make_media.sh");
    const std::string media = test::ShellQuote(dir + "/media"), image = test::ShellQuote(dir + "/media.img");
    test::ImageTool(script + " " + media + " 2603 30 'jpg png gif flac gz zip wav ogg mp3 avi'");
    // One cluster in the middle of a PNG, a JPEG and a FLAC file replaced.
    test::ImageTool("sh -c 'cd " + media + " && other=$(ls *.wav *.mp3 | head -1) && for t in png jpg flac; do " +
                    "f=$(ls *.$t | head -1) && s=$(stat -c %s $f) && " +
                    "dd if=$other of=$f bs=1024 skip=3 seek=$((s / 2048)) count=1 conv=notrunc 2>/dev/null; done'");
    test::ImageTool("truncate -s 80M " + image);
    test::ImageTool("mkfs.fat -F 32 -s 2 --invariant -i 26e00002 " + image);
    test::ImageTool("sh -c 'mcopy -i " + image + " " + media + "/* ::/ && mmd -i " + image + " ::/A ::/B && mcopy -i " +
                    image + " " + media + "/* ::/A/ && mcopy -i " + image + " " + media + "/*.jpg ::/B/'");
  });
}

struct TOutcome {
  std::vector<std::string> records;  // path, size, hash, verdict, offset, runs of every saved file, in order
  std::vector<std::string> failed;   // the damaged list
  std::vector<std::string> rootVerdicts;
  std::uint32_t saved = 0;
};

// Every item of the root saved twice into one folder (the second time over
// the first copies), the checks beside the copy when checks is set.
TOutcome SaveTwice(TFATdrive& drive, TSaveChecks* checks, std::size_t keptLimit, const fs::path& out) {
  TSaveContext context;
  context.KeptLimit = keptLimit;
  context.Checks = checks;
  context.ReplaceAllFiles = context.ReplaceAllFolders = true;
  TFATDirectory& root = *drive.Root();
  root.Items.reset();
  root.LoadChildren(false, false);
  for (int round = 0; round < 2; ++round) {
    for (const auto& item : *root.Items) {
      if (item->IsDirectory())
        // Its items are loaded for the save and dropped after it.
        EXPECT_TRUE(SaveFolder(static_cast<TFATDirectory&>(*item), out.string(), context, true, false, false));
      else
        EXPECT_TRUE(SaveFile(static_cast<TFATFile&>(*item), out.string(), context));
    }
  }
  FinishSaveChecks(context);
  TOutcome outcome;
  for (const TSavedFile& s : context.Report.Saved) {
    std::string runs;
    for (const auto& r : s.Runs) runs += std::to_string(r.DeviceOffset) + "+" + std::to_string(r.Length) + " ";
    outcome.records.push_back(s.Path.substr(out.string().size()) + " " + std::to_string(s.Size) + " " + s.Sha256 + " " +
                              VerdictName(s.Verdict) + " " + std::to_string(s.BadOffset) + " " + runs);
  }
  for (const std::string& f : context.Report.FailedCheck) outcome.failed.push_back(f.substr(out.string().size()));
  for (const auto& item : *root.Items)
    if (!item->IsDirectory()) outcome.rootVerdicts.push_back(VerdictName(static_cast<TFATFile&>(*item).Verdict));
  outcome.saved = context.Report.FilesSaved;
  return outcome;
}

std::string HashOf(const std::string& bytes) {
  TSha256 digest;
  digest.Update(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return digest.HexDigest();
}

TEST(SaveChecks, BesideTheCopyEverythingComesOutAsOneFileAtATime) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const std::string dir = CheckedVolume();
  test::MemoryDisk disk(test::ImageBytes(dir + "/media.img"), false);
  TFATdrive& drive = disk.Drive(0);

  test::TempDir serialOut;
  const TOutcome serial = SaveTwice(drive, nullptr, std::size_t{64} << 20, serialOut.Path());
  ASSERT_GE(serial.saved, 2u * 60);
  ASSERT_EQ(serial.records.size(), serial.saved);
  // The three files with a replaced cluster, in the root and in A (and the
  // JPEG in B), both times.
  EXPECT_EQ(serial.failed.size(), 2u * 7);
  int damaged = 0, verified = 0;
  for (const std::string& v : serial.rootVerdicts) {
    damaged += v == "damaged";
    verified += v == "verified";
  }
  EXPECT_GE(damaged, 3);
  EXPECT_GE(verified, 15);

  // Kept bytes of 8 KiB: most files are read back from the target folder by
  // the workers and hashed on the copy; a queue of 16 KiB holds at most two
  // files' bytes at once. And the same as a save would run.
  struct TWay {
    std::size_t keptLimit, inFlight;
    unsigned workers;
  };
  for (const TWay way : {TWay{8192, 16384, 2}, TWay{std::size_t{64} << 20, std::size_t{256} << 20, 0}}) {
    SCOPED_TRACE(way.keptLimit);
    test::TempDir out;
    TSaveChecks checks(way.inFlight, way.workers);
    const TOutcome beside = SaveTwice(drive, &checks, way.keptLimit, out.Path());
    EXPECT_EQ(beside.records, serial.records);
    EXPECT_EQ(beside.failed, serial.failed);
    EXPECT_EQ(beside.rootVerdicts, serial.rootVerdicts);
    EXPECT_LE(checks.PeakInFlight(), std::max<std::size_t>(way.inFlight, way.keptLimit));
    // Every saved file byte for byte as the volume holds it, with the hash its record names.
    for (const auto& entry : fs::recursive_directory_iterator(serialOut.Path())) {
      if (!entry.is_regular_file()) continue;
      const fs::path relative = fs::relative(entry.path(), serialOut.Path());
      const std::string bytes = test::ReadFile((out.Path() / relative).string());
      ASSERT_TRUE(bytes == test::ReadFile(entry.path().string())) << relative;
      bool named = false;
      for (const std::string& r : beside.records)
        named |= r.find(" " + HashOf(bytes) + " ") != std::string::npos;
      EXPECT_TRUE(named) << relative;
    }
  }
}

}  // namespace
}  // namespace vantrel
