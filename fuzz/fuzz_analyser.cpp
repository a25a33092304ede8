// Feeds the input sector by sector to the lost-drive search, and lists what it finds.

#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "fuzz/MemoryDisk.h"
#include "host/TStatusDialog.h"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzDisk disk(data, size, false);
  TStatusDialog dialog;
  FindLostDrives(disk.Device(), 0, disk.Device().TotalSectors - 1, disk.drives, &dialog);
  disk.ForEachDrive([&](TFATdrive& drive) {
    int items = 0;
    drive.Root()->ForEach([&](TFSObject*, int) { return ++items < 5000; }, false, 0, true, false);
  });
  return 0;
}
