// WebP files made by the real encoders (ImageMagick, cwebp, img2webp, and
// libvpx key frames through ffmpeg for several token partitions; ICC, EXIF
// and XMP chunks added by webpmux): whole
// ones are verified, and any one cluster replaced by another file's never is.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "analysis/FileSize.h"
#include "support/FoundExtent.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kCluster = 2048;

std::string Le32(std::size_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

// The first frame of an IVF file as a simple lossy WebP.
std::string WebpOfIvf(const std::string& ivf) {
  std::size_t size = 0;
  for (int i = 3; i >= 0; --i) size = size << 8 | static_cast<std::uint8_t>(ivf[32 + static_cast<std::size_t>(i)]);
  std::string chunk = "VP8 " + Le32(size) + ivf.substr(44, size);
  if (size & 1) chunk += '\0';
  return "RIFF" + Le32(4 + chunk.size()) + "WEBP" + chunk;
}

struct TWebp {
  std::string name, bytes;
};

const std::vector<TWebp>& WebpFiles() {
  static const std::vector<TWebp> files = [] {
    const std::string dir = test::MadeOnce("webp-files", [](const std::string& d) {
      const std::string q = test::ShellQuote(d);
      test::ImageTool("cd " + q + " && convert -seed 7 -size 320x240 plasma: a.png && convert -seed 8 -size 200x150 plasma: b.png"
                      " && convert a.png -alpha set -channel A -fx 'i/w' png32:alpha.png"
                      " && convert a.png -quality 80 im-q80.webp && convert b.png -quality 20 im-q20.webp"
                      " && convert a.png -define webp:lossless=true im-lossless.webp"
                      " && convert alpha.png -quality 60 im-alpha.webp"
                      " && seq 1 100 >meta.bin && printf '<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">%0400d</x:xmpmeta>' 0 >meta.xmp"
                      " && webpmux -set icc meta.bin im-q80.webp -o icc.webp && webpmux -set exif meta.bin icc.webp -o exif.webp"
                      " && webpmux -set xmp meta.xmp exif.webp -o mux-meta.webp && rm icc.webp exif.webp meta.bin meta.xmp"
                      " && cwebp -quiet -q 90 -sns 100 -segments 4 a.png -o cw-q90.webp"
                      " && cwebp -quiet -q 40 -sns 0 -segments 1 -m 6 a.png -o cw-q40.webp"
                      " && cwebp -quiet -lossless -z 9 a.png -o cw-lossless.webp"
                      " && cwebp -quiet -near_lossless 40 b.png -o cw-near.webp"
                      " && cwebp -quiet -q 70 -alpha_q 50 alpha.png -o cw-alpha50.webp"
                      " && cwebp -quiet -q 70 -alpha_q 100 -alpha_filter best alpha.png -o cw-alpha100.webp"
                      " && img2webp -loop 0 -lossy -q 60 a.png a.png -d 200 alpha.png -o anim-lossy.webp"
                      " && img2webp -lossless a.png alpha.png -o anim-lossless.webp"
                      " && ffmpeg -nostdin -loglevel error -y -i a.png -frames:v 1 -c:v libvpx -slices 4 -b:v 3M -f ivf vpx4.ivf"
                      " && ffmpeg -nostdin -loglevel error -y -i b.png -frames:v 1 -c:v libvpx -slices 8 -b:v 1M -f ivf vpx8.ivf"
                      " && rm -f a.png b.png alpha.png");
    });
    std::vector<TWebp> out;
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator(dir)) paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    for (const auto& p : paths) {
      if (p.extension() == ".webp") out.push_back({p.filename().string(), test::ReadFile(p.string())});
      if (p.extension() == ".ivf") out.push_back({p.filename().string(), WebpOfIvf(test::ReadFile(p.string()))});
    }
    return out;
  }();
  return files;
}

TFileExtent ExtentOf(const std::string& bytes) { return test::FoundExtent("WEBP", bytes, kCluster); }

// A simple lossless WebP of a VP8L stream written field by field (value,
// bits), least significant bit first.
std::string Vp8lFile(const std::vector<std::pair<std::uint32_t, int>>& fields, const std::string& after = "") {
  std::string stream;
  std::uint64_t acc = 0;
  int held = 0;
  for (const auto& [value, bits] : fields) {
    acc |= static_cast<std::uint64_t>(value) << held;
    held += bits;
    for (; held >= 8; held -= 8, acc >>= 8) stream += static_cast<char>(acc & 0xFF);
  }
  if (held > 0) stream += static_cast<char>(acc & 0xFF);
  stream += after;
  std::string chunk = "VP8L" + Le32(stream.size()) + stream;
  if (stream.size() & 1) chunk += '\0';
  return "RIFF" + Le32(4 + chunk.size()) + "WEBP" + chunk;
}

// Every cluster of every file replaced in turn by a cluster of another
// file: the check must never take it for whole, and should tell damage
// (a cluster of picture data for another) nearly always.
TEST(WebpCheck, WholeFilesAreVerifiedAndNoReplacedClusterEverIs) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const auto& files = WebpFiles();
  ASSERT_EQ(files.size(), 15u);
  int replaced = 0, damaged = 0, lossyReplaced = 0, lossyDamaged = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const TWebp& f = files[i];
    SCOPED_TRACE(f.name);
    std::uint64_t reads = 0;
    const TFileExtent whole = test::FoundExtent("WEBP", f.bytes, kCluster, &reads);
    EXPECT_EQ(whole.Size, f.bytes.size());
    EXPECT_LE(reads, (f.bytes.size() + kCluster - 1) / kCluster) << "every cluster read once, forward";
    // A lossless stream does not vouch for its clusters (its codes decode any
    // bits): such files are at best plausible, the lossy ones verified.
    const bool lossless = f.name.find("lossless") != std::string::npos || f.name.find("near") != std::string::npos;
    if (lossless) {
      EXPECT_EQ(whole.Verdict, vdPlausible) << VerdictName(whole.Verdict) << " at " << whole.BadOffset;
    } else if (f.name.find(".ivf") != std::string::npos) {
      // libvpx ends its partitions with a short flush: too few bits to vouch for them.
      EXPECT_TRUE(whole.Verdict == vdVerified || whole.Verdict == vdPlausible) << VerdictName(whole.Verdict);
    } else if (f.bytes.find("ALPH") == std::string::npos) {
      EXPECT_EQ(whole.Verdict, vdVerified) << VerdictName(whole.Verdict) << " at " << whole.BadOffset;
    } else {
      EXPECT_TRUE(whole.Verdict == vdVerified || whole.Verdict == vdPlausible) << VerdictName(whole.Verdict);
    }
    std::printf("%-20s %-9s", f.name.c_str(), VerdictName(whole.Verdict).c_str());
    int fileReplaced = 0, fileDamaged = 0;
    std::size_t o = (i + 5) % files.size();
    while (files[o].bytes.size() < 4 * kCluster) o = (o + 1) % files.size();
    const std::string& other = files[o].bytes;
    const std::size_t clusters = (f.bytes.size() + kCluster - 1) / kCluster;
    for (std::size_t c = 0; c < clusters; ++c) {
      std::string broken = f.bytes;
      const std::size_t at = c * kCluster, length = std::min<std::size_t>(kCluster, broken.size() - at);
      broken.replace(at, length, other.substr((c * 3 + 1) * kCluster % (other.size() - kCluster), length));
      if (broken == f.bytes) continue;
      const TFileExtent e = ExtentOf(broken);
      ++fileReplaced;
      EXPECT_NE(e.Verdict, vdVerified) << "cluster " << c;
      if (e.Verdict == vdDamaged) {
        ++fileDamaged;
        EXPECT_LT(e.BadOffset, f.bytes.size());
      }
    }
    std::printf(" %d of %d replaced clusters damaged\n", fileDamaged, fileReplaced);
    // A VP8 frame's partitions tell nearly every wrong cluster.
    if (!lossless && f.bytes.find("ALPH") == std::string::npos) {
      lossyReplaced += fileReplaced;
      lossyDamaged += fileDamaged;
    }
    replaced += fileReplaced;
    damaged += fileDamaged;
  }
  std::printf("WebP: %d clusters replaced, %d damaged; of pictures in VP8 alone %d, %d damaged\n", replaced, damaged,
              lossyReplaced, lossyDamaged);
  EXPECT_GE(damaged * 100, replaced * 90);
  EXPECT_GE(lossyDamaged * 100, lossyReplaced * 95);
}

// Streams that break the format's rules in ways no encoder writes: damage
// at the bytes that break them, never a hang, a crash or a verdict of whole.
TEST(WebpCheck, BrokenHeadersAndCodesAreDamage) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const auto& files = WebpFiles();
  auto find = [&](const std::string& name) {
    for (const auto& f : files)
      if (f.name == name) return f.bytes;
    return std::string();
  };
  const std::string lossy = find("im-q80.webp"), lossless = find("cw-lossless.webp"), alpha = find("cw-alpha50.webp");
  ASSERT_FALSE(lossy.empty());
  ASSERT_FALSE(lossless.empty());
  ASSERT_FALSE(alpha.empty());
  auto with = [](std::string s, std::size_t at, std::uint8_t v) {
    s[at] = static_cast<char>(v);
    return s;
  };
  // The VP8 start code, an inter frame, a first partition larger than the chunk.
  EXPECT_EQ(ExtentOf(with(lossy, 23, 0x9C)).Verdict, vdDamaged);
  EXPECT_EQ(ExtentOf(with(lossy, 20, static_cast<std::uint8_t>(lossy[20] | 1))).Verdict, vdDamaged);
  EXPECT_EQ(ExtentOf(with(lossy, 22, 0xFF)).Verdict, vdDamaged);
  // A VP8L version other than 0.
  EXPECT_EQ(ExtentOf(with(lossless, 24, static_cast<std::uint8_t>(lossless[24] | 0x20))).Verdict, vdDamaged);
  // The extended header: an alpha chunk the flags do not announce, an
  // EXIF flag without the chunk, a canvas the picture does not fill.
  ASSERT_EQ(alpha.compare(12, 4, "VP8X"), 0);
  EXPECT_EQ(ExtentOf(with(alpha, 20, static_cast<std::uint8_t>(alpha[20] & ~0x10))).Verdict, vdDamaged);
  EXPECT_EQ(ExtentOf(with(alpha, 20, static_cast<std::uint8_t>(alpha[20] | 0x08))).Verdict, vdDamaged);
  const TFileExtent canvas = ExtentOf(with(alpha, 24, static_cast<std::uint8_t>(alpha[24] + 1)));
  EXPECT_EQ(canvas.Verdict, vdDamaged);
  // A last partition followed by more zero bytes than libwebp's flush: a
  // flush of another length, not damage.
  {
    ASSERT_EQ(lossy.compare(12, 4, "VP8 "), 0);
    std::size_t size = 0;
    for (int i = 3; i >= 0; --i) size = size << 8 | static_cast<std::uint8_t>(lossy[16 + static_cast<std::size_t>(i)]);
    std::string frame = lossy.substr(20, size) + std::string(6, '\0');
    std::string chunk = "VP8 " + Le32(frame.size()) + frame + (frame.size() & 1 ? std::string(1, '\0') : "");
    EXPECT_EQ(ExtentOf("RIFF" + Le32(4 + chunk.size()) + "WEBP" + chunk).Verdict, vdPlausible);
  }
  // An animation frame placed outside the canvas.
  std::string anim = find("anim-lossy.webp");
  ASSERT_EQ(anim.compare(44, 4, "ANMF"), 0);
  anim[52] = static_cast<char>(0xFF);
  EXPECT_EQ(ExtentOf(anim).Verdict, vdDamaged);
  // Every bit of the chunk headers before the alpha plane's stream flipped
  // in turn: never whole. (A bit of entropy-coded data may flip one symbol
  // into another of the same length: no check can tell that.)
  for (std::size_t at = 12; at < 38; ++at)
    for (int bit = 0; bit < 8; ++bit) {
      const TFileExtent e = ExtentOf(with(alpha, at, static_cast<std::uint8_t>(alpha[at] ^ (1 << bit))));
      ASSERT_NE(e.Verdict, vdVerified) << "byte " << at << " bit " << bit;
    }
  // Hand-made VP8L pictures: prefix codes of no symbol at all, and a
  // picture of 16384 x 16384 whose codes take no bits, counted through at once.
  const std::string noCode = Vp8lFile({{0x2F, 8}, {0, 14}, {0, 14}, {0, 4}, {0, 3}, {0, 1}, {0, 4}, {0, 32}});
  EXPECT_EQ(ExtentOf(noCode).Verdict, vdDamaged);
  std::vector<std::pair<std::uint32_t, int>> free = {{0x2F, 8}, {16383, 14}, {16383, 14}, {0, 4}, {0, 3}};
  for (int code = 0; code < 5; ++code) free.push_back({1, 4});  // one symbol, 0, of one bit
  EXPECT_EQ(ExtentOf(Vp8lFile(free)).Verdict, vdVerified);
}

// The rules of a VP8L stream, one broken at a time in a 1 x 2 picture whose
// green code holds a literal (code 0) and a copy of one pixel (code 1).
TEST(WebpCheck, Vp8lRulesAreKept) {
  using TFields = std::vector<std::pair<std::uint32_t, int>>;
  auto picture = [](const TFields& options, const TFields& pixels) {
    TFields f = {{0x2F, 8}, {0, 14}, {1, 14}, {0, 4}};
    f.insert(f.end(), options.begin(), options.end());
    // Green: code lengths through a code of two one-bit symbols, 1 (code 0)
    // and 18 (code 1, a run of zeros): symbols 0 and 256 of one bit each.
    const TFields green = {{0, 1}, {0, 4}, {0, 3}, {1, 3}, {0, 3}, {1, 3}, {0, 1},
                           {0, 1}, {1, 1}, {127, 7}, {1, 1}, {106, 7}, {0, 1}, {1, 1}, {12, 7}};
    f.insert(f.end(), green.begin(), green.end());
    for (int code = 0; code < 4; ++code) f.push_back({1, 4});  // red, blue, alpha, distance: one symbol, 0
    f.insert(f.end(), pixels.begin(), pixels.end());
    return f;
  };
  const TFields plain = {{0, 3}};  // no transform, no colour cache, no entropy image
  EXPECT_EQ(ExtentOf(Vp8lFile(picture(plain, {{0, 1}, {1, 1}}))).Verdict, vdVerified);
  // A copy from before the picture's start.
  EXPECT_EQ(ExtentOf(Vp8lFile(picture(plain, {{1, 1}, {0, 1}}))).Verdict, vdDamaged);
  // A byte after the stream's end; the same transform twice; a colour cache of 12 bits.
  EXPECT_EQ(ExtentOf(Vp8lFile(picture(plain, {{0, 1}, {1, 1}}), std::string(1, '\0'))).Verdict, vdDamaged);
  EXPECT_EQ(ExtentOf(Vp8lFile(picture({{1, 1}, {2, 2}, {1, 1}, {2, 2}, {0, 1}, {0, 1}, {0, 1}}, {{0, 1}, {1, 1}}))).Verdict,
            vdDamaged);
  EXPECT_EQ(ExtentOf(Vp8lFile(picture({{0, 1}, {1, 1}, {12, 4}, {0, 1}}, {{0, 1}, {1, 1}}))).Verdict, vdDamaged);
  // The code-length code over-subscribed: three codes of one bit.
  EXPECT_EQ(ExtentOf(Vp8lFile({{0x2F, 8}, {0, 14}, {1, 14}, {0, 4}, {0, 3}, {0, 1}, {0, 4}, {1, 3}, {1, 3}, {1, 3}, {0, 3}}))
                .Verdict,
            vdDamaged);
}

}  // namespace
}  // namespace vantrel
