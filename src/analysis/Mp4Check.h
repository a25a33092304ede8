#pragma once
// The check of an ISO base media file (MP4, M4A, MOV, 3GP): the atoms inside
// the movie each in its place, the sample tables laying every sample inside
// the media data without overlaps, and the start of every sample as its
// codec writes it (H.264/H.265 NAL units chained to the sample's end, the
// first syntax elements of an AAC frame, the start codes of H.263 and MPEG-4
// video). A sample's start is known only from the tables, which may follow
// the media data; the samples are looked into in a second forward pass over
// the clusters that hold their starts, made only when the tables agree.

#include <cstdint>

namespace vantrel {

class FileBytes;

// Checks the file of size bytes whose top-level atoms chain from offset 0 to
// size. Marks the bytes damaged at the first check that fails, and verified
// when every check held and every cluster of the file holds a byte one of
// them tested.
void CheckIsoMedia(FileBytes& b, std::uint64_t size);

}  // namespace vantrel
