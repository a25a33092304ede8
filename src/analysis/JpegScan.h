#pragma once
// The check of a JPEG's entropy-coded data: the scans of a Huffman-coded
// sequential image decoded block by block (no pixels), each ending where its
// last block ends, restart markers in their order between the intervals.

#include <array>
#include <cstdint>
#include <vector>

namespace vantrel {

class FileBytes;
class TClusterCoverage;

class TJpegScanCheck {
 public:
  // A marker segment before a scan (SOFn, DHT, DRI); length counts its two
  // length bytes, which start at pos.
  void Segment(FileBytes& b, int marker, std::uint64_t pos, std::uint32_t length);
  // Decodes the scan whose SOS segment starts at pos (at its length) and
  // whose data starts at data: 1 with end at the marker after the data, 0
  // with bad near the first wrong byte, -1 when the scan cannot be decoded
  // (or its bytes end where a cluster cannot be read).
  int Scan(FileBytes& b, std::uint64_t pos, std::uint64_t data, std::uint64_t& end, std::uint64_t& bad);
  // Whether the scans can be decoded: a Huffman-coded sequential frame whose
  // tables were all given. Progressive and arithmetic-coded frames are not.
  bool Decodable() const { return decodable_; }
  bool SawFrame() const { return frame_; }

  struct Table {
    bool set = false;
    std::array<std::uint8_t, 16> counts{};
    std::array<std::uint8_t, 256> symbols{};
    // Canonical codes by length: the largest code of each length (-1: none)
    // and the index of its first symbol.
    std::array<std::int32_t, 18> maxCode{};
    std::array<std::int32_t, 17> valPtr{};
    std::array<std::int32_t, 17> minCode{};
    // 9-bit look-up: length << 8 | symbol, 0 when the code is longer.
    std::array<std::uint16_t, 512> fast{};
  };
  struct Component {
    int id = 0, h = 1, v = 1;
  };

 private:
  bool frame_ = false;
  bool decodable_ = false;
  int precision_ = 8;
  std::uint32_t width_ = 0, height_ = 0;
  int count_ = 0;
  std::array<Component, 4> components_{};
  int hMax_ = 1, vMax_ = 1;
  std::uint32_t restartInterval_ = 0;
  std::array<Table, 4> dc_{}, ac_{};
};

// Segments whose contents no check of the image looks into: application
// data (EXIF, ICC profiles, XMP), comments, and the tables the decoding of
// the scans does not use.
inline bool IsUncheckedSegment(int marker) {
  return (marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE || marker == 0xDB || marker == 0xDC || marker == 0xDE ||
         marker == 0xDF;
}

// The thumbnail of an EXIF segment whose payload ("Exif\0\0" and its TIFF
// structure) is [from, to): when it decodes whole, its bytes are marked
// checked. A thumbnail that does not decode is no verdict of the photo.
void CheckExifThumbnail(FileBytes& b, std::uint64_t from, std::uint64_t to, TClusterCoverage& coverage);

// The images a multi-picture segment (APP2 "MPF\0", payload [from, to))
// lists after the first, as offsets in the file: a camera's preview, a
// depth or gain map. Empty when it lists none or cannot be read.
struct TMpfImage {
  std::uint64_t Offset = 0, Size = 0;
};
std::vector<TMpfImage> MpfImages(FileBytes& b, std::uint64_t from, std::uint64_t to);

// One JPEG image of a video frame in [start, end): the start of image at
// start, its markers in order and every scan decoded, to its end of image.
// 1: whole, imageEnd one past the end-of-image marker; 0: damage at bad;
// -1: a scan that cannot be decoded here (a frame that relies on default
// tables), or an application segment that holds a whole cluster; -2: bytes
// that could not be read.
int CheckJpegImage(FileBytes& b, std::uint64_t start, std::uint64_t end, std::uint64_t& imageEnd, std::uint64_t& bad);

}  // namespace vantrel
