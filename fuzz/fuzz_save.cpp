// Reads and saves every file of the input volume through every FAT choice.

#include <unistd.h>

#include <filesystem>

#include "common/TStatusDialog.h"
#include "fs/FileData.h"
#include "fs/Saving.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "fuzz/MemoryDisk.h"

using namespace vantrel;

namespace {
const std::string& Target() {
  static const std::string target = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-fuzz-save-XXXXXX").string();
    return std::string(mkdtemp(pattern.data()));
  }();
  return target;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzDisk disk(data, size, true);
  disk.Scan();
  for (int i = 0; i < disk.drives.Count(); ++i) {
    auto& drive = static_cast<TFATdrive&>(*disk.drives.Items(i));
    if (!drive.GeometryValid) continue;
    for (std::uint8_t choice = 0; choice <= drive.NumberOfFATs && choice < 3; ++choice) {
      int files = 0;
      drive.Root()->ForEach(
          [&](TFSObject* item, int) {
            if (item->IsDirectory()) return true;
            auto& file = static_cast<TFATFile&>(*item);
            // A size far beyond the input only reads zeros; a few pieces show as much.
            TFATStream stream(drive, choice, std::min<std::uint32_t>(file.Size, 1 << 20), file.StartCluster);
            std::vector<std::uint8_t> buffer(4096);
            while (stream.Read(buffer.data(), 4096) > 0) {
            }
            stream.Seek(file.Size / 2, TFATStream::soBeginning);
            (void)stream.Read(buffer.data(), 100);
            return ++files < 200;
          },
          false, 0, true, false);
      // Saving writes real files: only small trees.
      if (files < 50) {
        std::filesystem::remove_all(Target());
        std::filesystem::create_directories(Target());
        TStatusDialog dialog;
        TSaveContext context;
        context.FATChoice = choice;
        context.Dialog = &dialog;
        context.ReplaceAllFiles = context.ReplaceAllFolders = true;
        drive.Root()->Name = "root";
        (void)SaveFolder(*drive.Root(), Target(), context, true, false, false);
      }
    }
  }
  return 0;
}
