#pragma once
// The check of a PDF document's cross-reference tables: every object in use
// starts where its entry says.

#include <cstdint>

namespace vantrel {

class FileBytes;

// Follows the table that the last "startxref" before end points to, and the
// tables before it (/Prev). Marks the bytes verified when every entry lands
// on its "obj", damaged at the first that misses; a cross-reference stream
// leaves them unchecked.
void CheckPdfXref(FileBytes& b, std::uint64_t end);

}  // namespace vantrel
