// Photos as cameras write them: an EXIF segment with its thumbnail, and
// application data no check looks into. A photo is whole only when every
// cluster holds something a check tested.

#include <gtest/gtest.h>

#include <string>

#include "analysis/FileSize.h"
#include "support/FoundExtent.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

constexpr std::uint32_t kCluster = 2048;

TFileExtent ExtentOf(const std::string& bytes) { return test::FoundExtent("JPG", bytes, kCluster); }

// Each cluster of [from, to) in turn replaced by a cluster of another photo:
// never whole; the verdicts, one letter a cluster.
std::string VerdictsWithClustersReplaced(const std::string& bytes, const std::string& other, std::size_t from,
                                         std::size_t to) {
  std::string verdicts;
  for (std::size_t at = from / kCluster * kCluster; at < to && at < bytes.size(); at += kCluster) {
    std::string broken = bytes;
    broken.replace(at, std::min<std::size_t>(kCluster, bytes.size() - at), other.substr(kCluster, kCluster));
    if (broken == bytes) continue;
    const TFileExtent found = ExtentOf(broken);
    EXPECT_NE(found.Verdict, vdVerified) << "cluster at " << at;
    verdicts += VerdictName(found.Verdict)[0];
  }
  return verdicts;
}

TEST(JpegVerdict, AnExifThumbnailVouchesForItsClustersAndOtherApplicationDataDoesNot) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  const auto q = [&](const char* name) { return test::ShellQuote(dir / name); };
  test::ImageTool("convert -seed 3 -size 800x600 plasma: -quality 85 " + q("photo.jpg") +
                  " && convert -seed 4 -size 160x120 plasma: -quality 90 " + q("thumb.jpg") +
                  " && convert -seed 5 -size 400x300 plasma: -quality 80 " + q("other.jpg") + " && cp " + q("photo.jpg") +
                  " " + q("camera.jpg") + " && exiftool -q -overwrite_original '-ThumbnailImage<=" + (dir / "thumb.jpg") +
                  "' -Make=Maker -Model=Camera '-DateTimeOriginal=2026:01:02 03:04:05' " + q("camera.jpg") + " && cp " +
                  q("photo.jpg") + " " + q("described.jpg") + " && exiftool -q -overwrite_original -XMP-dc:Description=" +
                  std::string(9000, 'x') + " " + q("described.jpg"));
  const std::string other = test::ReadFile(dir / "other.jpg");

  // The thumbnail takes several clusters of the EXIF segment; decoded whole,
  // it covers them, and the photo is whole.
  const std::string camera = test::ReadFile(dir / "camera.jpg");
  const std::size_t thumb = camera.find("\xFF\xD8", 2);
  ASSERT_NE(thumb, std::string::npos);
  ASSERT_GT(thumb + test::ReadFile(dir / "thumb.jpg").size(), thumb / kCluster * kCluster + 3 * kCluster);
  const TFileExtent whole = ExtentOf(camera);
  EXPECT_EQ(whole.Size, camera.size());
  EXPECT_EQ(whole.Verdict, vdVerified);
  // A cluster of the thumbnail replaced is seen by its decoder.
  const std::string inThumb = VerdictsWithClustersReplaced(camera, other, thumb + kCluster, thumb + 3 * kCluster);
  EXPECT_EQ(inThumb.find('v'), std::string::npos) << inThumb;

  // Text in an XMP segment holds whole clusters that nothing tests: the
  // photo is plausible, and so it stays with any of them replaced.
  const std::string described = test::ReadFile(dir / "described.jpg");
  const std::size_t text = described.find(std::string(3000, 'x'));
  ASSERT_NE(text, std::string::npos);
  EXPECT_EQ(ExtentOf(described).Verdict, vdPlausible);
  const std::string inText = VerdictsWithClustersReplaced(described, other, text + kCluster, text + 3 * kCluster);
  EXPECT_EQ(inText, std::string(inText.size(), 'p'));
  EXPECT_FALSE(inText.empty());
  // The photo itself, and a cluster of its scan replaced.
  const std::string photo = test::ReadFile(dir / "photo.jpg");
  EXPECT_EQ(ExtentOf(photo).Verdict, vdVerified);
  EXPECT_EQ(VerdictsWithClustersReplaced(photo, other, photo.size() / 2, photo.size() / 2 + 1), "d");
}

// A multi-picture file as cameras write it: an APP2 "MPF" segment listing
// the photo itself and a preview stored after its end of image.
std::string WithPreview(const std::string& photo, const std::string& preview) {
  const auto le16 = [](std::uint32_t v) { return std::string{static_cast<char>(v), static_cast<char>(v >> 8)}; };
  const auto le32 = [&](std::uint32_t v) { return le16(v & 0xFFFF) + le16(v >> 16); };
  // MP header (byte order, IFD at 8) with two entries, then the list.
  std::string mp = "II*" + std::string(1, '\0') + le32(8) + le16(2);
  mp += le16(0xB000) + le16(7) + le32(4) + "0100";
  const std::uint32_t list = 8 + 2 + 2 * 12 + 4;
  mp += le16(0xB002) + le16(7) + le32(32) + le32(list) + le32(0);
  const std::uint32_t segment = 2 + 4 + list + 32;
  const std::uint32_t header = 2 + 2 + 2 + 4;  // SOI, marker, length, "MPF\0"
  const std::uint32_t first = static_cast<std::uint32_t>(photo.size()) + segment + 2;
  mp += le32(0x030000) + le32(first) + le32(0) + le32(0);
  mp += le32(0x010001) + le32(static_cast<std::uint32_t>(preview.size())) + le32(first - header) + le32(0);
  const std::string app2 = std::string("\xFF\xE2") + static_cast<char>(segment >> 8) + static_cast<char>(segment) +
                           std::string("MPF\0", 4) + mp;
  return photo.substr(0, 2) + app2 + photo.substr(2) + preview;
}

TEST(JpegVerdict, AMultiPictureFileRunsThroughItsPreview) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  test::ImageTool("convert -seed 6 -size 500x400 plasma: -quality 85 " + test::ShellQuote(dir / "photo.jpg") +
                  " && convert -seed 7 -size 320x240 plasma: -quality 70 " + test::ShellQuote(dir / "preview.jpg"));
  const std::string photo = test::ReadFile(dir / "photo.jpg"), preview = test::ReadFile(dir / "preview.jpg");
  const std::string both = WithPreview(photo, preview);
  const TFileExtent whole = ExtentOf(both);
  EXPECT_EQ(whole.Size, both.size());
  EXPECT_EQ(whole.Verdict, vdVerified);
  // A cluster of the preview replaced is damage there; the size still
  // reaches to the preview's end.
  const std::size_t at = (both.size() - preview.size() / 2) / kCluster * kCluster;
  std::string broken = both;
  broken.replace(at, kCluster, photo.substr(kCluster, kCluster));
  const TFileExtent damaged = ExtentOf(broken);
  EXPECT_EQ(damaged.Verdict, vdDamaged);
  EXPECT_GE(damaged.BadOffset, at);
  // A preview whose bytes are not there (a lost photo whose next cluster
  // was another file's, of zeros) is damage where it should start.
  const std::string cut = both.substr(0, both.size() - preview.size()) + std::string(preview.size() + kCluster, '\0');
  const TFileExtent missing = ExtentOf(cut);
  EXPECT_EQ(missing.Verdict, vdDamaged);
  EXPECT_EQ(missing.BadOffset, both.size() - preview.size());
}

}  // namespace
}  // namespace vantrel
