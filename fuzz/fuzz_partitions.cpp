// Reads the input as a partitioned disk: master boot record and extended
// chains, or its GUID partition table.

#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "fuzz/MemoryDisk.h"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzDisk disk(data, size, false);
  disk.Scan();
  disk.ForEachDrive([&](TFATdrive& drive) {
    (void)drive.Root()->ProbeSubDirs(false);
  });
  return 0;
}
