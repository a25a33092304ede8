#pragma once
// The check of an AVI beyond its chain of chunks: the streams its header
// list declares, each video frame of the movie list decoded where the
// stream's codec is one the checks decode, and the index whose entries must
// land on the chunks they name.

#include <cstdint>

namespace vantrel {

class FileBytes;

// The size of the RIFF file its header tells; its chunks are followed to
// it, each in its place, and checked as they come in one forward pass: a
// failed check makes it damaged, checks that reached every cluster make it
// verified.
std::uint64_t AviSize(FileBytes& b);

}  // namespace vantrel
