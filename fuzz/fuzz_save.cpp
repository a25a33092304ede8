// Reads and saves the files of the input volume, live and deleted, through
// every FAT choice.

#include <unistd.h>

#include <filesystem>

#include "fs/FileData.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "fuzz/MemoryDisk.h"
#include "host/TStatusDialog.h"
#include "recovery/Saving.h"

using namespace vantrel;

namespace {

// Saved files land in memory where there is a memory file system.
const std::string& Target() {
  static const std::string target = [] {
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::string pattern = (base / "vantrel-fuzz-save-XXXXXX").string();
    return std::string(mkdtemp(pattern.data()));
  }();
  return target;
}

constexpr int kMaxFiles = 200;
// A claimed size far beyond the input only reads zeros, and saving it only
// writes them: the first pieces of such a file show as much, with its tail
// after the last whole sector kept so that partial sectors are still read.
constexpr std::uint32_t kMaxRead = 256 * 1024;

// Loads the tree once, as the walks of the program do, and keeps it loaded so
// that every FAT choice reads the same files and SaveFolder saves them as
// they are (with their sizes cut down).
void LoadTree(TFATDirectory& folder, bool deleted, TWalkGuard& guard, int depth, std::vector<TFATFile*>& files) {
  if (!folder.Items) folder.LoadChildren(deleted, deleted);
  for (auto& child : *folder.Items) {
    if (child->IsDirectory()) {
      auto& sub = static_cast<TFATDirectory&>(*child);
      if (guard.MayEnter(sub, depth + 1)) LoadTree(sub, deleted, guard, depth + 1, files);
    } else if (files.size() < kMaxFiles) {
      auto& file = static_cast<TFATFile&>(*child);
      if (file.Size > kMaxRead) file.Size = kMaxRead + file.Size % 4096;
      files.push_back(&file);
    }
  }
}

void ReadFiles(TFATdrive& drive, const std::vector<TFATFile*>& files, std::uint8_t choice) {
  std::vector<std::uint8_t> buffer(4096);
  for (TFATFile* file : files) {
    TFATStream stream(drive, choice, file->Size, file->StartCluster);
    while (stream.Read(buffer.data(), 4096) > 0) {
    }
    stream.Seek(file->Size / 2, TFATStream::soBeginning);
    (void)stream.Read(buffer.data(), 100);
    stream.Seek(-1, TFATStream::soEnd);
    (void)stream.Read(buffer.data(), 100);
  }
}

void Save(TFATDirectory& top, std::uint8_t choice, bool deleted) {
  std::filesystem::remove_all(Target());
  std::filesystem::create_directories(Target());
  TStatusDialog dialog;
  TSaveContext context;
  context.FATChoice = choice;
  context.Dialog = &dialog;
  context.ReplaceAllFiles = context.ReplaceAllFolders = true;
  (void)SaveFolder(top, Target(), context, true, deleted, deleted);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzDisk disk(data, size, true);
  disk.Scan();
  disk.ForEachDrive([&](TFATdrive& drive) {
    if (!drive.GeometryValid) return;
    std::vector<TFATFile*> live, deleted;
    TWalkGuard liveGuard, deletedGuard;
    auto& root = static_cast<TFATDirectory&>(*drive.Root());
    auto& deletedTop = static_cast<TFATDirectory&>(*drive.Deleted());
    liveGuard.MayEnter(root, 0);
    deletedGuard.MayEnter(deletedTop, 0);
    LoadTree(root, false, liveGuard, 0, live);
    LoadTree(deletedTop, true, deletedGuard, 0, deleted);
    root.Name = deletedTop.Name = "top";
    for (std::uint8_t choice = 0; choice <= drive.NumberOfFATs && choice < 3; ++choice) {
      ReadFiles(drive, live, choice);
      ReadFiles(drive, deleted, choice);
      // Saving writes real files: only small trees.
      if (live.size() < 50) Save(root, choice, false);
      if (deleted.size() < 50) Save(deletedTop, choice, true);
    }
  });
  return 0;
}
