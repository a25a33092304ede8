// The lost-data search over every cluster of the input as a volume.

#include <algorithm>
#include <cstdlib>
#include <string>

#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "fuzz/MemoryDisk.h"
#include "host/RangeDialogs.h"
#include "host/TStatusDialog.h"
#include "recovery/LostData.h"

using namespace vantrel;

namespace {
// The range dialog answered with every cluster the input can hold: the
// clusters a boot sector claims beyond it only read zeros (or fail), and
// hundreds of thousands of those measure nothing but the speed of doing so.
struct InputRange : IClusterDialogView {
  std::uint32_t last = 0;
  TRangeDialogResult ShowModal(TClusterDialog& dialog) override {
    dialog.FormActivate();
    const unsigned long long shown = std::strtoull(dialog.EditEndClus.c_str(), nullptr, 10);
    const auto end = static_cast<std::uint32_t>(std::min<unsigned long long>(shown, last));
    return {true, dialog.EditStartClus, std::to_string(end)};
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzDisk disk(data, size, true);
  disk.Scan();
  disk.ForEachDrive([&](TFATdrive& drive) {
    if (!drive.GeometryValid) return;
    TStatusDialog dialog;
    TClusterDialog clusters;
    InputRange view;
    // A whole input of 512-byte clusters, and some beyond it.
    view.last = 2 + static_cast<std::uint32_t>(size / 512) + 64;
    FindLostData(drive, dialog, clusters, view);
    int items = 0;
    drive.Lost()->ForEach([&](TFSObject*, int) { return ++items < 5000; }, false, 0, true, false);
  });
  return 0;
}
