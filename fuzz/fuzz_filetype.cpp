// File-type detection of a cluster's bytes.

#include <string>

#include "analysis/FileType.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int kind = 0;
  std::string name;
  (void)vantrel::DetectFileType(data, size, kind, name);
  return 0;
}
