#pragma once
// The check of an AVI beyond its chain of chunks: the streams its header
// list declares, each video frame of the movie list decoded where the
// stream's codec is one the checks decode, and the index whose entries must
// land on the chunks they name.

#include <cstdint>

namespace vantrel {

class FileBytes;

// The RIFF file of end bytes, whose chunks are already known to be each in
// its place: a failed check makes it damaged, checks that reached every
// cluster make it verified.
void CheckAvi(FileBytes& b, std::uint64_t end);

}  // namespace vantrel
