#pragma once
// The macroblocks of an H.264 slice written with CABAC, parsed through the
// arithmetic decoder to end_of_slice_flag without reconstructing a picture.

#include <cstdint>

#include "analysis/AvcSliceCheck.h"

namespace vantrel {

class TMemoryBits;

// bits stands after the slice header; type is 0 (P), 1 (B) or 2 (I); qp the
// slice's QP; initIdc its cabac_init_idc. True when the last macroblock's
// end_of_slice_flag took the stop bit as its last bit; false at the first
// thing that cannot be.
bool ParseCabacSlice(TMemoryBits& bits, const TAvcSliceCheck::TSps& sps, const TAvcSliceCheck::TPps& pps, int type,
                     std::uint32_t refL0, std::uint32_t refL1, std::uint32_t first, int qp, int initIdc,
                     std::uint64_t stop);

}  // namespace vantrel
