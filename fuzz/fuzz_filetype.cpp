// File-type detection of a cluster's bytes, and the size of a lost file of
// each type from the same bytes cut into clusters.

#include <string>

#include "analysis/FileSize.h"
#include "analysis/FileType.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int kind = 0;
  std::string name;
  (void)vantrel::DetectFileType(data, size, kind, name);
  static const char* const kTypes[] = {"JPG", "PNG",  "GIF", "BMP", "WAV", "WEBP", "ZIP", "RAR",
                                       "TAR", "MID",  "EXE", "PDF", "MP3", "DOC",  "MOV", "MP4",
                                       "OGG", "7Z", "SQLITE", "FLAC", "GZ", "AVI"};
  // The first byte picks the cluster size, from 512 bytes to 64 KiB.
  const std::uint32_t clusterSize = size == 0 ? 512 : 512u << (data[0] % 8);
  for (const char* type : kTypes) {
    vantrel::TMemoryClusterSource source(data, size, clusterSize);
    const vantrel::TFileExtent extent = vantrel::FindFileExtent(type, source);
    // Nothing beyond the input is ever taken for the file.
    if (extent.Size > source.ClusterLimit() * clusterSize) __builtin_trap();
  }
  return 0;
}
