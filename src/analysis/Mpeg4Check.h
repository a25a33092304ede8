#pragma once
// The check of MPEG-4 Part 2 video (simple profile, as AVI and MP4 files
// carry it): the video object layer header read for the picture's size and
// options, then each frame's I- or P-VOP decoded macroblock by macroblock
// through its variable-length codes to the stuffing bits of its last byte.

#include <cstdint>

namespace vantrel {

class FileBytes;

enum class TMpeg4Result : std::uint8_t {
  Whole,      // every macroblock decoded, the stuffing ending with the bytes
  Damaged,    // a code no table holds, or the VOP does not end with its bytes
  Unchecked,  // options this check does not decode (B-VOPs, interlace, ...), or bytes that cannot be read
};

class TMpeg4VideoCheck {
 public:
  // Headers before the frames (a stream's decoder configuration): the video
  // object layer, when it is there, is kept for the frames that follow.
  void Headers(FileBytes& b, std::uint64_t offset, std::uint64_t size);
  // Decodes the frame of size bytes at offset: its headers, then one VOP.
  // On damage, badAt is the byte where decoding failed; vopAt is where the
  // VOP starts (the headers before it are only read for their start codes).
  TMpeg4Result Frame(FileBytes& b, std::uint64_t offset, std::uint64_t size, std::uint64_t& badAt,
                     std::uint64_t& vopAt);

 private:
  // What a video object layer header tells; decodable when none of its
  // options is one this check leaves alone.
  struct TLayer {
    bool seen = false;
    bool decodable = false;
    bool resync = false;
    int timeBits = 1;
    int mbWidth = 0, mbHeight = 0;
  };
  TMpeg4Result Layer(FileBytes& b, std::uint64_t offset, std::uint64_t size, std::uint64_t& badAt);
  TMpeg4Result Vop(FileBytes& b, std::uint64_t offset, std::uint64_t size, std::uint64_t& badAt);

  TLayer layer_;
};

}  // namespace vantrel
