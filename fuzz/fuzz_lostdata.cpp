// The lost-data search over every cluster of the input as a volume.

#include "common/RangeDialogs.h"
#include "common/TStatusDialog.h"
#include "fs/LostData.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "fuzz/MemoryDisk.h"

using namespace vantrel;

namespace {
struct WholeRange : IClusterDialogView {
  TRangeDialogResult ShowModal(TClusterDialog& dialog) override {
    dialog.FormActivate();
    return {true, dialog.EditStartClus, dialog.EditEndClus};
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzDisk disk(data, size, true);
  disk.Scan();
  for (int i = 0; i < disk.drives.Count(); ++i) {
    auto& drive = static_cast<TFATdrive&>(*disk.drives.Items(i));
    // Keep to volumes the input can hold: a claimed size of millions of
    // clusters only measures the speed of reading nothing.
    if (!drive.GeometryValid || drive.ClusterCount > 200000) continue;
    TStatusDialog dialog;
    TClusterDialog clusters;
    WholeRange view;
    FindLostData(drive, dialog, clusters, view);
    int items = 0;
    drive.Lost()->ForEach([&](TFSObject*, int) { return ++items < 5000; }, false, 0, true, false);
  }
  return 0;
}
