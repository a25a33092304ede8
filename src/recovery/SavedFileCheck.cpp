#include "recovery/SavedFileCheck.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "analysis/FileType.h"
#include "common/HostPath.h"
#include "fs/FileData.h"
#include "fs/TFATdrive.h"

namespace vantrel {

namespace {

// The clusters of a file of the target folder: those within the bytes kept
// from the save served from memory, the rest read back from the file, which
// is opened only when the checks get that far.
class TSavedClusters : public IClusterSource {
 public:
  TSavedClusters(const std::string& path, std::uint32_t clusterSize, std::uint64_t size, const std::uint8_t* head,
                 std::size_t headSize)
      : path_(path), clusterSize_(clusterSize), size_(size), head_(head),
        headSize_(head ? std::min<std::uint64_t>(headSize, size) : 0) {}
  ~TSavedClusters() override {
    if (file_) std::fclose(file_);
  }
  std::uint32_t ClusterSize() const override { return clusterSize_; }
  std::uint64_t ClusterLimit() const override { return (size_ + clusterSize_ - 1) / clusterSize_; }
  bool ReadCluster(std::uint64_t index, std::uint8_t* buffer) override {
    if (index >= ClusterLimit()) return false;
    const std::uint64_t at = index * clusterSize_;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(clusterSize_, size_ - at));
    if (at + want <= headSize_) {
      std::memcpy(buffer, head_ + static_cast<std::size_t>(at), want);
    } else {
      if (!Open()) return false;
      if (at != position_ && std::fseek(file_, static_cast<long>(at), SEEK_SET) != 0) return false;
      const std::size_t got = std::fread(buffer, 1, want, file_);
      position_ = at + got;
      if (got != want) return false;
    }
    std::memset(buffer + want, 0, clusterSize_ - want);
    return true;
  }

 private:
  bool Open() {
    if (file_ || failed_) return file_ != nullptr;
#ifdef _WIN32
    file_ = ::_wfopen(Utf8ToWide(path_).c_str(), L"rb");
#else
    file_ = std::fopen(path_.c_str(), "rb");
#endif
    failed_ = file_ == nullptr;
    return file_ != nullptr;
  }

  const std::string& path_;
  std::FILE* file_ = nullptr;
  bool failed_ = false;
  std::uint32_t clusterSize_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
  const std::uint8_t* head_;
  std::uint64_t headSize_;
};

// The clusters of a file on its volume, through the reader the viewer uses.
class TVolumeClusters : public IClusterSource {
 public:
  TVolumeClusters(TFATdrive& drive, const TFATFile& file, std::uint8_t fatChoice)
      : stream_(drive, fatChoice, file.Size, file.StartCluster), clusterSize_(drive.BytesPerCluster), size_(file.Size) {}
  std::uint32_t ClusterSize() const override { return clusterSize_; }
  std::uint64_t ClusterLimit() const override { return (size_ + clusterSize_ - 1) / clusterSize_; }
  bool ReadCluster(std::uint64_t index, std::uint8_t* buffer) override {
    if (index >= ClusterLimit()) return false;
    const std::uint64_t at = index * clusterSize_;
    stream_.Seek(static_cast<std::int64_t>(at), TFATStream::soBeginning);
    const std::uint32_t want = static_cast<std::uint32_t>(std::min<std::uint64_t>(clusterSize_, size_ - at));
    if (stream_.Read(buffer, want) != want) return false;
    std::memset(buffer + want, 0, clusterSize_ - want);
    return true;
  }

 private:
  TFATStream stream_;
  std::uint32_t clusterSize_;
  std::uint64_t size_;
};

// The verdict of size bytes: the type of the first cluster, the checks of
// that type, and whether they reach exactly to the last byte.
TFileExtent CheckBytes(IClusterSource& source, std::uint64_t size) {
  TFileExtent result;
  const std::uint32_t clusterSize = source.ClusterSize();
  std::vector<std::uint8_t> first(clusterSize);
  int kind = 1;
  std::string type;
  if (source.ReadCluster(0, first.data()) && DetectFileType(first.data(), first.size(), kind, type) && kind == 1) {
    result = FindFileExtent(type, source);
    if (result.Verdict == vdNone) {
    } else if (result.Size == 0) {
      // The structure goes on past the last byte: the file was cut.
      if (result.Verdict != vdDamaged) result.Verdict = vdCut;
    } else if (result.Size < size) {
      // Bytes after the structure's end are checked by nothing.
      if (result.Verdict == vdVerified) result.Verdict = vdPlausible;
    }
  }
  return result;
}

}  // namespace

TFileExtent CheckSavedFile(const std::string& path, std::uint32_t clusterSize, std::uint64_t size,
                           const std::uint8_t* head, std::size_t headSize) {
  if (size == 0 || clusterSize == 0 || size > 0x7FFFFFFFull) return {};
  TSavedClusters source(path, clusterSize, size, head, headSize);
  return CheckBytes(source, size);
}

void CheckFileOnVolume(TFATdrive& drive, TFATFile& file, std::uint8_t fatChoice) {
  if (file.Size == 0 || drive.BytesPerCluster == 0) return;
  TVolumeClusters source(drive, file, fatChoice);
  const TFileExtent result = CheckBytes(source, file.Size);
  file.Verdict = result.Verdict;
  file.BadOffset = result.BadOffset;
}

std::vector<TSavedFile::TRun> FileRuns(TFATdrive& drive, std::uint32_t firstCluster, std::uint64_t size,
                                       std::uint8_t fatChoice, std::size_t maxRuns) {
  std::vector<TSavedFile::TRun> runs;
  const std::uint64_t bpc = drive.BytesPerCluster;
  if (bpc == 0 || size == 0 || !drive.IsValidCluster(firstCluster)) return runs;
  const std::uint64_t sectorBytes = drive.BytesPerSector ? drive.BytesPerSector : 512;
  std::uint32_t cluster = firstCluster;
  for (std::uint64_t offset = 0; offset < size; offset += bpc) {
    const std::uint64_t device = (drive.StartSector + drive.ClusterToSector(cluster)) * sectorBytes;
    const std::uint64_t length = std::min(bpc, size - offset);
    if (!runs.empty() && runs.back().DeviceOffset + runs.back().Length == device &&
        runs.back().FileOffset + runs.back().Length == offset)
      runs.back().Length += length;
    else if (runs.size() == maxRuns)
      break;
    else
      runs.push_back({offset, device, length});
    cluster = NextFileCluster(drive, cluster, fatChoice);
  }
  return runs;
}

}  // namespace vantrel
