#pragma once
// The check of an SQLite database: its header, every b-tree page reachable
// from page 1 and the roots that the schema names, their overflow chains and
// the freelist, each page accounted for exactly once.

#include <cstdint>

namespace vantrel {

class FileBytes;

// Checks the database of size bytes (the page size times the header's page
// count) that starts at offset 0. Damaged at the first page whose structure
// fails; verified when nothing fails and every cluster holds a tested byte
// (the pages no check reads, such as freelist leaves, leave holes).
void CheckSqlite(FileBytes& b, std::uint64_t size);

}  // namespace vantrel
