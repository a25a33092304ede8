#include "fs/FileData.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"

namespace vantrel {
namespace {

// Sectors read at once at most (1 MiB of 512-byte sectors).
constexpr std::uint32_t kMaxRunSectors = 2048;

// The cluster after the current one as a file read moves on: consecutive
// clusters up to the last one, or the FAT copy's entry when it names a
// cluster of the volume. Otherwise the cursor stays and the cluster is read
// again, which fills a file whose chain ends early from its last cluster.
// With "free clusters only" the cluster after it is the next one that the
// FAT marks free: a deleted file written around other files skips theirs.
// A file that starts on no cluster of the volume stays there (and reads as
// zeros) whichever way it is read.
std::uint32_t MoveOn(TFATdrive& drive, std::uint32_t current, std::uint8_t choice) {
  if (!drive.IsValidCluster(current)) return current;
  if (choice == 0) return current <= drive.ClusterCount ? current + 1 : current;
  if (choice == kFATChoiceFree) {
    const std::uint32_t next = drive.NextFreeCluster(current);
    return next != 0 ? next : current;
  }
  const std::uint32_t next = drive.GetFATEntry(current, choice - 1u);
  return drive.IsValidCluster(next) ? next : current;
}

// The FAT choice a file is read through: a file whose clusters the volume
// keeps back to back without a chain is read as consecutive clusters.
std::uint8_t ChoiceFor(const TFATdrive& drive, std::uint32_t firstCluster, std::uint8_t fatChoice) {
  TFATdrive::TFileLayout layout;
  return drive.FileLayout(firstCluster, layout) && layout.Contiguous ? std::uint8_t{0} : fatChoice;
}

}  // namespace

std::uint32_t NextFileCluster(TFATdrive& drive, std::uint32_t current, std::uint8_t fatChoice) {
  return MoveOn(drive, current, fatChoice);
}

void TFATCursor::NoteLost(std::uint64_t first, std::uint64_t count) {
  if (count == 0) return;
  if (!Lost.empty() && Lost.back().First + Lost.back().Count == first)
    Lost.back().Count += count;
  else
    Lost.push_back({first, count});
}

void InitCursor(TFATCursor& cursor, std::uint32_t firstCluster, std::uint32_t size) {
  cursor = TFATCursor{};
  cursor.First = cursor.Current = firstCluster;
  cursor.Size = size;
}

bool ReadFileData(TFATdrive& drive, TFATCursor& cursor, std::uint32_t count, std::uint32_t& delivered,
                  std::uint8_t fatChoice, std::uint8_t* buffer) {
  delivered = 0;
  if (cursor.Pos >= cursor.Size) return cursor.Pos == cursor.Size;
  if (!drive.GeometryValid) return false;
  TFATdrive::TFileLayout layout;
  if (drive.FileLayout(cursor.First, layout) && layout.Contiguous) fatChoice = 0;
  const std::uint32_t startPos = cursor.Pos;
  std::uint8_t* const start = buffer;
  const std::uint32_t sectorSize = drive.BytesPerSector;
  const std::uint32_t perCluster = drive.SectorsPerCluster;
  std::uint32_t wanted = std::min(count, cursor.Size - cursor.Pos);
  std::uint32_t offset = cursor.Pos % sectorSize;
  std::uint32_t index = (cursor.Pos / sectorSize) % perCluster;

  while (wanted > 0) {
    const std::uint32_t sector = drive.ClusterToSector(cursor.Current) + index;
    std::uint32_t take;
    if (!drive.IsValidCluster(cursor.Current)) {
      // No cluster of this volume (an entry without a first cluster): nothing to read.
      take = std::min(wanted, sectorSize - offset);
      std::memset(buffer, 0, take);
      ++cursor.FailedSectors;
      if (offset + take == sectorSize) ++index;
    } else if (offset == 0 && wanted >= sectorSize) {
      // Whole sectors go straight into the caller's buffer: the rest of this
      // cluster and of the clusters that follow it on the disk as they follow
      // it in the chain, in one read. A file written in one piece so takes
      // one read per piece instead of one per cluster.
      const std::uint32_t whole = std::min(wanted / sectorSize, kMaxRunSectors);
      std::uint32_t run = std::min(whole, perCluster - index);
      std::uint32_t last = cursor.Current;  // the run's last cluster
      std::uint32_t end = index + run;      // sectors of it that the run reaches
      while (run < whole && end == perCluster) {
        const std::uint32_t next = MoveOn(drive, last, fatChoice);
        if (next != last + 1) break;
        last = next;
        end = std::min(whole - run, perCluster);
        run += end;
      }
      take = run * sectorSize;
      // A file's last bytes, less than a sector, that follow the run in its
      // last cluster come with it: one read fewer a file, which a slow disk
      // feels when a save has thousands of small ones. The sector waits in
      // the data cache.
      const std::uint32_t rest = wanted - take;
      const bool withTail = rest > 0 && rest < sectorSize && end < perCluster && run < kMaxRunSectors;
      bool runRead;
      if (withTail) {
        thread_local std::vector<std::uint8_t> scratch;
        scratch.resize((std::size_t{run} + 1) * sectorSize);
        runRead = drive.ReadSectors(sector, static_cast<std::uint16_t>(run + 1), false, scratch.data());
        std::memcpy(buffer, scratch.data(), take);
        if (!drive.HasUnreadableSectors(sector + run, 1))
          drive.KeepDataSector(sector + run, scratch.data() + std::size_t{run} * sectorSize);
      } else {
        runRead = drive.ReadSectors(sector, static_cast<std::uint16_t>(run), false, buffer);
      }
      if (!runRead) {
        // The device has split the run and delivered its good sectors; the
        // user is asked about each bad one, which is not read again unless
        // the answer is Retry. The run's clusters lie back to back.
        for (std::uint32_t i = 0; i < run; ++i) {
          if (!drive.HasUnreadableSectors(sector + i, 1)) continue;
          const bool read = drive.ReadSectors(sector + i, 1, true, buffer + i * sectorSize);
          if (!read || drive.HasUnreadableSectors(sector + i, 1)) {
            std::memset(buffer + i * sectorSize, 0, sectorSize);
            ++cursor.FailedSectors;
            cursor.NoteLost(cursor.Pos + std::uint64_t{i} * sectorSize, sectorSize);
          }
        }
      }
      cursor.Current = last;
      index = end;
    } else {
      const std::uint32_t room = sectorSize - offset;
      take = std::min(wanted, room);
      bool ok = false;
      const std::uint8_t* data = drive.ReadDataSector(sector, ok);
      // An Ignore answer delivers the sector as zeros: it is lost all the same.
      if (ok && !drive.HasUnreadableSectors(sector, 1)) {
        std::memcpy(buffer, data + offset, take);
      } else {
        std::memset(buffer, 0, take);
        ++cursor.FailedSectors;
        cursor.NoteLost(cursor.Pos, take);
      }
      if (take == room) ++index;
    }
    cursor.Pos += take;
    delivered += take;
    buffer += take;
    wanted -= take;
    offset = 0;
    if (index >= perCluster) {
      index = 0;
      cursor.Current = MoveOn(drive, cursor.Current, fatChoice);
    }
  }
  // Past its valid length a file reads as zeros, whatever the clusters hold.
  if (layout.ValidLength < std::uint64_t{startPos} + delivered) {
    const std::uint64_t from = std::max<std::uint64_t>(layout.ValidLength, startPos) - startPos;
    std::memset(start + from, 0, delivered - static_cast<std::size_t>(from));
  }
  return true;
}

namespace {

std::uint64_t ClustersNeeded(const TFATdrive& drive, std::uint32_t size) {
  return (std::uint64_t{size} + drive.BytesPerCluster - 1) / drive.BytesPerCluster;
}

// Whether the FAT copy has a chain starting at the cluster.
bool HasChainAt(TFATdrive& drive, std::uint32_t cluster, std::uint8_t fatChoice) {
  if (fatChoice == 0 || fatChoice == kFATChoiceFree) return false;
  const TFATEntryKind kind = ClassifyEntry(drive.FATType, drive.GetFATEntry(cluster, fatChoice - 1u));
  return kind == feUsed || kind == feEndOfChain;
}

// The clusters of the chain from firstCluster on in FAT copy fatChoice, at
// most needed: it ends at an entry that names no cluster of the volume and
// where it comes back to a cluster it passed (a looping chain holds each of
// its clusters once). The loop is found by Brent's method, without a set of
// the clusters passed: a save asks this for every file.
std::uint64_t ChainClusters(TFATdrive& drive, std::uint32_t firstCluster, std::uint64_t needed, std::uint8_t fatChoice) {
  needed = std::min<std::uint64_t>(needed, drive.ClusterCount);
  auto next = [&](std::uint32_t cluster) -> std::uint32_t {
    const std::uint32_t value = drive.GetFATEntry(cluster, fatChoice - 1u);
    return drive.IsValidCluster(value) ? value : 0;
  };
  std::uint32_t tortoise = firstCluster, hare = firstCluster;
  std::uint64_t count = 1, power = 1, loop = 0;
  // Steps are not clusters: before the loop is seen, the walk may have gone
  // round it more than once. So it goes on past needed until the chain ends
  // or the loop shows, which takes at most three times its clusters.
  for (;;) {
    const std::uint32_t step = next(hare);
    if (step == 0) return std::min(needed, count);
    hare = step;
    ++loop;
    if (hare == tortoise) break;  // a loop of `loop` clusters
    ++count;
    if (loop == power) {
      tortoise = hare;
      power *= 2;
      loop = 0;
    }
  }
  // The clusters in front of the loop, and the loop's own.
  std::uint32_t a = firstCluster, b = firstCluster;
  for (std::uint64_t i = 0; i < loop && b != 0; ++i) b = next(b);
  std::uint64_t lead = 0;
  while (a != b && a != 0 && b != 0 && lead < count) {
    a = next(a);
    b = next(b);
    ++lead;
  }
  return std::min({needed, count, lead + loop});
}

bool IsFATCopy(const TFATdrive& drive, std::uint8_t fatChoice) {
  return fatChoice >= 1 && fatChoice != kFATChoiceFree && fatChoice <= drive.NumberOfFATs;
}

bool IsDamagedEntry(const TFATFile& file) { return file.Status == isNormal && file.Condition == ccBad; }

}  // namespace

bool IsLiveItem(const TFATFile& file) {
  const TFSObject* item = &file;
  for (; item->Parent; item = item->Parent)
    if (item->Status != isNormal) return false;
  return item->Status == isNormal && file.Drive && item == file.Drive->RootDir.get();
}

std::uint8_t ItemFATChoice(TFATdrive& drive, const TFATFile& file, std::uint8_t fatChoice) {
  if (!IsFATCopy(drive, fatChoice) || !drive.GeometryValid || !drive.IsValidCluster(file.StartCluster) ||
      IsDamagedEntry(file) || IsLiveItem(file))
    return fatChoice;
  if (ClassifyEntry(drive.FATType, drive.GetFATEntry(file.StartCluster, fatChoice - 1u)) != feFree) return fatChoice;
  return (drive.Flags & dfNoFAT) ? 0 : kFATChoiceFree;
}

std::uint32_t ItemReadableSize(TFATdrive& drive, const TFATFile& file, std::uint8_t fatChoice) {
  const std::uint8_t choice = ItemFATChoice(drive, file, fatChoice);
  const bool damaged = IsDamagedEntry(file);
  // A file kept back to back without a chain (exFAT) has no chain to end it.
  TFATdrive::TFileLayout layout;
  if (drive.FileLayout(file.StartCluster, layout) && layout.Contiguous)
    return ReadableSize(drive, file.StartCluster, file.Size, choice);
  if ((!damaged && !IsLiveItem(file)) || !drive.GeometryValid || drive.BytesPerCluster == 0 || file.Size == 0)
    return ReadableSize(drive, file.StartCluster, file.Size, choice);
  if (!drive.IsValidCluster(file.StartCluster)) return 0;
  std::uint8_t copy = choice;
  if (!IsFATCopy(drive, copy)) {
    if (!damaged) return ReadableSize(drive, file.StartCluster, file.Size, choice);
    copy = (drive.Flags & dfNoFAT) || drive.NumberOfFATs == 0 ? 0 : 1;
  }
  const std::uint64_t clusters = copy != 0 && HasChainAt(drive, file.StartCluster, copy)
                                     ? ChainClusters(drive, file.StartCluster, ClustersNeeded(drive, file.Size), copy)
                                     : 1;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(file.Size, clusters * drive.BytesPerCluster));
}

std::uint32_t ReadableSize(TFATdrive& drive, std::uint32_t firstCluster, std::uint32_t size, std::uint8_t fatChoice) {
  if (!drive.GeometryValid || drive.BytesPerCluster == 0 || size == 0) return size;
  fatChoice = ChoiceFor(drive, firstCluster, fatChoice);
  const std::uint64_t perCluster = drive.BytesPerCluster;
  std::uint64_t clusters;
  if (!drive.IsValidCluster(firstCluster)) {
    clusters = drive.ClusterCount;
  } else if (HasChainAt(drive, firstCluster, fatChoice)) {
    clusters = ChainClusters(drive, firstCluster, ClustersNeeded(drive, size), fatChoice);
  } else {
    clusters = std::uint64_t{drive.MaxCluster()} - firstCluster + 1;
  }
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(size, clusters * perCluster));
}

bool ChainLeavesConsecutive(TFATdrive& drive, std::uint32_t firstCluster, std::uint32_t size, std::uint8_t fatChoice) {
  if (!drive.GeometryValid || drive.BytesPerCluster == 0 || !drive.IsValidCluster(firstCluster) ||
      !HasChainAt(drive, firstCluster, fatChoice) || ChoiceFor(drive, firstCluster, fatChoice) == 0)
    return false;
  const std::uint64_t needed = std::min<std::uint64_t>(ClustersNeeded(drive, size), drive.ClusterCount);
  std::uint32_t cluster = firstCluster;
  for (std::uint64_t n = 1; n < needed; ++n) {
    const std::uint32_t next = drive.GetFATEntry(cluster, fatChoice - 1u);
    if (!drive.IsValidCluster(next)) return false;  // the chain ends: nothing more to compare
    if (next != cluster + 1) return true;
    cluster = next;
  }
  return false;
}

bool SeekCursor(TFATdrive& drive, TFATCursor& cursor, std::uint32_t position, std::uint8_t fatChoice) {
  if (cursor.First == 0 || position >= cursor.Size || !drive.GeometryValid || drive.BytesPerCluster == 0)
    return false;
  fatChoice = ChoiceFor(drive, cursor.First, fatChoice);
  std::uint32_t cluster = cursor.First;
  for (std::uint32_t steps = position / drive.BytesPerCluster; steps > 0; --steps) {
    const std::uint32_t next = MoveOn(drive, cluster, fatChoice);
    if (next == cluster) break;  // reading stays here too
    cluster = next;
  }
  cursor.Current = cluster;
  cursor.Pos = position;
  return true;
}

TFATStream::TFATStream(TFATdrive& drive, std::uint8_t fatChoice, std::uint32_t size, std::uint32_t firstCluster)
    : drive_(drive), fatChoice_(ChoiceFor(drive, firstCluster, fatChoice)), size_(size) {
  InitCursor(cursor_, firstCluster, size);
}

std::uint32_t TFATStream::Read(std::uint8_t* buffer, std::uint32_t count) {
  if (position_ < 0 || position_ >= size_) return 0;
  // A file without a first cluster cannot be moved on; its zeros still end
  // at the size only when the cursor takes the position all the same.
  if (cursor_.Pos != position_ && !MoveCursor(static_cast<std::uint32_t>(position_)))
    cursor_.Pos = static_cast<std::uint32_t>(position_);
  std::uint32_t delivered = 0;
  if (!ReadFileData(drive_, cursor_, count, delivered, fatChoice_, buffer)) return 0;
  position_ += delivered;
  return delivered;
}

std::int64_t TFATStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  switch (origin) {
    case soBeginning: position_ = offset; break;
    case soCurrent: position_ += offset; break;
    case soEnd: position_ = offset + size_; break;
  }
  if (position_ >= 0 && position_ < size_) MoveCursor(static_cast<std::uint32_t>(position_));
  return position_;
}

bool TFATStream::MoveCursor(std::uint32_t position) {
  if (cursor_.First == 0 || position >= cursor_.Size || !drive_.GeometryValid || drive_.BytesPerCluster == 0)
    return false;
  const std::uint32_t perCluster = drive_.BytesPerCluster;
  const std::uint32_t target = position / perCluster;
  // Each step depends on the current cluster only, so a walk may start from
  // any cluster whose place in the chain is known.
  std::uint32_t index = 0;
  std::uint32_t cluster = cursor_.First;
  if (cursor_.Pos < cursor_.Size && cursor_.Pos / perCluster <= target) {
    index = cursor_.Pos / perCluster;
    cluster = cursor_.Current;
  }
  if (auto known = checkpoints_.upper_bound(target); known != checkpoints_.begin()) {
    --known;
    if (known->first > index) {
      index = known->first;
      cluster = known->second;
    }
  }
  while (index < target) {
    const std::uint32_t next = MoveOn(drive_, cluster, fatChoice_);
    if (next == cluster) break;  // reading stays here too
    cluster = next;
    if (++index % kCheckpointClusters == 0) checkpoints_.emplace(index, cluster);
  }
  cursor_.Current = cluster;
  cursor_.Pos = position;
  return true;
}

}  // namespace vantrel
