// A PDF document's streams: a photo as /DCTDecode, page contents as
// /FlateDecode with an indirect /Length. Whole, the document is verified; a
// run of the photo's scan, a byte of the compressed contents or a length
// that misses "endstream" is damage where it shows.

#include <gtest/gtest.h>

#include <string>

#include "analysis/FileSize.h"
#include "support/FoundExtent.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

constexpr std::uint32_t kCluster = 1024;

TFileExtent PdfExtent(const std::string& bytes) { return test::FoundExtent("PDF", bytes, kCluster); }

TEST(PdfCheck, StreamsAreDecodedAndEndWhereTheirLengthsSay) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  const std::string jpg = dir / "p.jpg", pdf = dir / "d.pdf";
  test::ImageTool("convert -seed 7 -size 160x120 plasma:fractal -quality 85 " + test::ShellQuote(jpg));
  test::WriteFile(dir / "make.py", R"(import sys, zlib
jpg = open(sys.argv[1], "rb").read()
text = b"BT /F1 12 Tf 72 720 Td (" + b" ".join(b"word%d" % i for i in range(3000)) + b") Tj ET"
flate = zlib.compress(text)
objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /Contents 4 0 R /Resources << /XObject << /Im 6 0 R >> >> >>",
        b"<< /Length 5 0 R /Filter /FlateDecode >>\nstream\n" + flate + b"\nendstream", b"%d" % len(flate),
        b"<< /Type /XObject /Subtype /Image /Width 160 /Height 120 /ColorSpace /DeviceRGB /BitsPerComponent 8"
        b" /Filter [/DCTDecode] /Length %d >>\nstream\r\n" % len(jpg) + jpg + b"\r\nendstream"]
out = b"%PDF-1.4\n"
offs = []
for k, o in enumerate(objs, 1):
    offs.append(len(out)); out += b"%d 0 obj\n" % k + o + b"\nendobj\n"
x = len(out)
out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1) + b"".join(b"%010d 00000 n \n" % o for o in offs)
out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, x)
open(sys.argv[2], "wb").write(out)
)");
  test::ImageTool(test::Python() + " " + test::ShellQuote(dir / "make.py") + " " + test::ShellQuote(jpg) + " " +
                  test::ShellQuote(pdf));
  const std::string bytes = test::ReadFile(pdf);
  const TFileExtent whole = PdfExtent(bytes);
  ASSERT_EQ(whole.Size, bytes.size());
  EXPECT_EQ(whole.Verdict, vdVerified);

  const std::size_t flate = bytes.find("stream\n", bytes.find("/FlateDecode")) + 7;
  const std::size_t photo = bytes.find("stream\r\n", bytes.find("/DCTDecode")) + 8;
  const std::size_t scan = bytes.find("\xFF\xDA", photo);
  ASSERT_NE(scan, std::string::npos);
  const std::size_t photoEnd = bytes.find("\r\nendstream", scan);
  const std::string jpegBytes = test::ReadFile(jpg);
  ASSERT_EQ(photoEnd - photo, jpegBytes.size());
  {
    SCOPED_TRACE("a byte of the compressed contents");
    std::string broken = bytes;
    broken[flate + 200] = static_cast<char>(broken[flate + 200] ^ 0x55);
    const TFileExtent e = PdfExtent(broken);
    EXPECT_EQ(e.Verdict, vdDamaged);
    EXPECT_GE(e.BadOffset, flate);
    EXPECT_LT(e.BadOffset, photo);
  }
  {
    SCOPED_TRACE("bytes of text inside the photo's scan");
    std::string broken = bytes;
    const std::size_t at = (scan + photoEnd) / 2;
    broken.replace(at, 256, std::string(256, 'e'));
    const TFileExtent e = PdfExtent(broken);
    EXPECT_EQ(e.Verdict, vdDamaged) << VerdictName(e.Verdict);
    EXPECT_GE(e.BadOffset, scan);
    EXPECT_LE(e.BadOffset, photoEnd);
  }
  {
    SCOPED_TRACE("a length one short, in as many digits");
    std::string broken = bytes;
    const std::string digits = std::to_string(jpegBytes.size());
    const std::size_t at = broken.find("/Length " + digits) + 8;
    std::string shorter = std::to_string(jpegBytes.size() - 1);
    shorter.insert(0, digits.size() - shorter.size(), '0');
    broken.replace(at, digits.size(), shorter);
    const TFileExtent e = PdfExtent(broken);
    EXPECT_EQ(e.Verdict, vdDamaged);
    EXPECT_EQ(e.BadOffset, photoEnd - 1);
  }
}

// A document whose cross-reference table is a stream (PDF 1.5): its rows,
// compressed with PNG predictors, lead to every object, which is then
// checked as in a table.
TEST(PdfCheck, ACrossReferenceStreamLeadsToTheObjects) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  const std::string pdf = dir / "x.pdf";
  test::WriteFile(dir / "make.py", R"(import sys, zlib
text = b"BT /F1 12 Tf 72 720 Td (" + b" ".join(b"line%d" % i for i in range(4000)) + b") Tj ET"
flate = zlib.compress(text)
objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>",
        b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(flate) + flate + b"\nendstream"]
out = b"%PDF-1.5\n"
offs = []
for k, o in enumerate(objs, 1):
    offs.append(len(out)); out += b"%d 0 obj\n" % k + o + b"\nendobj\n"
x = len(out)
entries = [(0, 0, 255)] + [(1, o, 0) for o in offs] + [(1, x, 0)]
rows, above = b"", bytes(5)
for t, f2, f3 in entries:
    row = bytes([t]) + f2.to_bytes(3, "big") + bytes([f3])
    rows += b"\x02" + bytes((a - b) & 255 for a, b in zip(row, above))
    above = row
data = zlib.compress(rows)
out += (b"5 0 obj\n<< /Type /XRef /Size 6 /W [1 3 1] /Root 1 0 R /Filter /FlateDecode"
        b" /DecodeParms << /Columns 5 /Predictor 12 >> /Length %d >>\nstream\n" % len(data) + data +
        b"\nendstream\nendobj\nstartxref\n%d\n%%%%EOF\n" % x)
open(sys.argv[1], "wb").write(out)
)");
  test::ImageTool(test::Python() + " " + test::ShellQuote(dir / "make.py") + " " + test::ShellQuote(pdf));
  const std::string bytes = test::ReadFile(pdf);
  const TFileExtent whole = PdfExtent(bytes);
  ASSERT_EQ(whole.Size, bytes.size());
  EXPECT_EQ(whole.Verdict, vdVerified) << VerdictName(whole.Verdict);
  // The object a row leads to is another one.
  std::string other = bytes;
  const std::size_t third = other.find("3 0 obj");
  other[third] = '7';
  const TFileExtent e = PdfExtent(other);
  EXPECT_EQ(e.Verdict, vdDamaged) << VerdictName(e.Verdict);
  EXPECT_EQ(e.BadOffset, third);
}

}  // namespace
}  // namespace vantrel
