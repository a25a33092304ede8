#pragma once
// The check of H.264 slices: the parameter sets a stream carries are kept,
// and each slice is parsed from its header through every macroblock (types,
// prediction, motion vector differences, coded block patterns, the residual
// blocks with the contexts their neighbours give them), with CAVLC to its
// trailing bits or with CABAC to its end_of_slice_flag, without
// reconstructing a picture. Streams whose slices use what this check does
// not parse (slice groups, interlace, 4:2:2/4:4:4, SP/SI slices) are left
// unchecked.

#include <cstdint>
#include <memory>
#include <vector>

namespace vantrel {

class FileBytes;

enum class TAvcResult : std::uint8_t {
  Whole,      // every macroblock parsed, the last ending at the trailing bits
  Damaged,    // a code no table holds, a value out of range, a slice that does not end where its bits do
  Unchecked,  // a parameter set missing, a feature not parsed, or bytes that cannot be read
};

struct TAvcParams;
struct TAvcSliceJob;

class TAvcSliceCheck {
 public:
  // A sequence or picture parameter set: the NAL unit of size bytes at
  // offset, its header byte first. One that cannot be parsed is forgotten.
  void ParameterSet(FileBytes& b, std::uint64_t offset, std::uint64_t size);
  // Parses the slice NAL unit of size bytes at offset (its header byte
  // first); on damage, badAt is the byte where parsing failed.
  TAvcResult Slice(FileBytes& b, std::uint64_t offset, std::uint64_t size, std::uint64_t& badAt);
  // The same in two steps, so that slices are parsed beside the reading:
  // Take reads the slice with the parameter sets known now and gives a job
  // for Run, on any thread; or null when the result is known at once (now,
  // with badAt on damage).
  std::unique_ptr<TAvcSliceJob> Take(FileBytes& b, std::uint64_t offset, std::uint64_t size, TAvcResult& now,
                                     std::uint64_t& badAt);
  static void Run(TAvcSliceJob& job);

  struct TSps {
    bool valid = false;
    bool decodable = false;
    int profile = 0;
    int chromaFormat = 1;
    int bitDepthLuma = 8, bitDepthChroma = 8;
    int log2MaxFrameNum = 4;
    int pocType = 0;
    int log2MaxPocLsb = 4;
    bool deltaPocAlwaysZero = false;
    bool direct8x8Inference = true;
    std::uint32_t mbWidth = 0, mbHeight = 0;
  };
  struct TPps {
    bool valid = false;
    bool decodable = false;
    std::uint32_t sps = 0;
    bool cabac = false;
    bool bottomFieldPoc = false;
    std::uint32_t refL0 = 1, refL1 = 1;  // default active references
    bool weighted = false;
    int weightedBipred = 0;
    int initQp = 26;
    bool deblockingControl = false;
    bool redundantPicCnt = false;
    bool transform8x8 = false;
  };

 private:
  // Copies the NAL unit into rbsp_ with its emulation prevention bytes
  // removed; false when it cannot be read or is too large to look into.
  // startCode is set when bytes of a start code lie inside it.
  bool Load(FileBytes& b, std::uint64_t offset, std::uint64_t size, bool& startCode, std::uint64_t& startCodeAt);
  void Sps(std::size_t bytes, std::uint64_t stopBit);
  void Pps(std::size_t bytes, std::uint64_t stopBit);

  std::vector<TSps> sps_ = std::vector<TSps>(32);
  std::vector<TPps> pps_ = std::vector<TPps>(256);
  std::vector<std::uint8_t> rbsp_;
  std::vector<std::uint64_t> removed_;  // the rbsp indexes before which an emulation prevention byte was
  // The parameter sets as slices taken out since the last set was read see them.
  std::shared_ptr<const TAvcParams> params_;
};

struct TAvcParams {
  std::vector<TAvcSliceCheck::TSps> Sps;
  std::vector<TAvcSliceCheck::TPps> Pps;
};

// A slice taken out to be parsed: its rbsp with padding and where it lies.
struct TAvcSliceJob {
  std::shared_ptr<const TAvcParams> Params;
  std::uint64_t Offset = 0;
  std::vector<std::uint8_t> Rbsp;
  std::vector<std::uint64_t> Removed;
  // Filled by Run.
  TAvcResult Result = TAvcResult::Unchecked;
  std::uint64_t BadAt = 0;
};

}  // namespace vantrel
