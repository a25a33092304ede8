#include "analysis/ClusterTests.h"

#include <array>

#include "fs/DirEntries.h"
#include "fs/TFATdrive.h"

namespace vantrel {
namespace {

// The 8.3 name field with every blank dropped, as raw bytes.
std::string RawShortName(const std::uint8_t* entry) {
  std::string base, ext;
  for (int i = 0; i < 8; ++i)
    if (entry[i] != ' ') base += static_cast<char>(entry[i]);
  for (int i = 8; i < 11; ++i)
    if (entry[i] != ' ') ext += static_cast<char>(entry[i]);
  return ext.empty() ? base : base + "." + ext;
}

}  // namespace

bool ClusterHasDotEntries(TFATdrive& drive, std::uint32_t cluster, std::uint32_t sector) {
  TChainCursor cursor(cluster, sector);
  std::array<std::uint8_t, 32> first{}, second{};
  if (!drive.ReadChainEntry(cursor, first.data()) || !drive.ReadChainEntry(cursor, second.data())) return false;
  return (first[11] & kAttrDirectory) && RawShortName(first.data()) == "." && (second[11] & kAttrDirectory) &&
         RawShortName(second.data()) == "..";
}

}  // namespace vantrel
