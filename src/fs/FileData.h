#pragma once
// Reading a FAT file's contents from its first cluster on, for exactly its
// size, through a FAT copy or as consecutive clusters.

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace vantrel {

class TFATdrive;
class TFATFile;

// Bytes of a file, from First on, Count of them.
struct TByteRange {
  std::uint64_t First = 0;
  std::uint64_t Count = 0;
  bool operator==(const TByteRange&) const = default;
};

struct TFATCursor {
  std::uint32_t First = 0;    // the file's first cluster
  std::uint32_t Current = 0;  // cluster that holds byte Pos
  std::uint32_t Pos = 0;      // byte position within the file
  std::uint32_t Size = 0;     // file size
  // Sectors that could not be read; their bytes were delivered as zeros.
  std::uint32_t FailedSectors = 0;
  // The bytes of the file those unreadable sectors held, in file order,
  // neighbouring ranges joined.
  std::vector<TByteRange> Lost;
  void NoteLost(std::uint64_t first, std::uint64_t count);
};

void InitCursor(TFATCursor& cursor, std::uint32_t firstCluster, std::uint32_t size);

// Copies up to count bytes from the cursor on into buffer. A sector that
// cannot be read contributes zeros and is counted in FailedSectors. A chain
// that ends before the size repeats its last cluster.
bool ReadFileData(TFATdrive& drive, TFATCursor& cursor, std::uint32_t count, std::uint32_t& delivered,
                  std::uint8_t fatChoice, std::uint8_t* buffer);

// Moves the cursor to position as reading would reach it; false (cursor
// unchanged) for a file without first cluster or a position at or past the end.
bool SeekCursor(TFATdrive& drive, TFATCursor& cursor, std::uint32_t position, std::uint8_t fatChoice);

// The part of a file of size bytes from firstCluster on that the volume can
// hold: through a FAT copy whose entry for the first cluster is in use, as
// far as its chain reaches; otherwise (no FAT, or a deleted file whose chain
// is free) as far as the clusters from the first one to the end of the data
// area. Never more than size.
std::uint32_t ReadableSize(TFATdrive& drive, std::uint32_t firstCluster, std::uint32_t size, std::uint8_t fatChoice);

// True when FAT copy fatChoice (from 1) holds a chain for the file that does
// not run over consecutive clusters within the clusters its size needs: read
// as consecutive clusters it would give another file's bytes.
bool ChainLeavesConsecutive(TFATdrive& drive, std::uint32_t firstCluster, std::uint32_t size, std::uint8_t fatChoice);

// True for an entry of the live tree: it and every folder above it are
// live entries under the root. A live entry is read as far as its chain
// holds, however it was found to be.
bool IsLiveItem(const TFATFile& file);

// The way file is read with the choice made for a command. A FAT copy whose
// entry for the file's first cluster is free holds no chain for it (a lost
// file, a deleted one, a file in a lost folder after its FAT was cleared):
// such a file is read as deleted files are, through the clusters the FAT
// marks free, or as consecutive clusters on a drive without a usable FAT.
// A file whose chain is in use, a live entry and a damaged one keep the
// choice; so do "no FAT (consecutive)" and "free clusters only".
std::uint8_t ItemFATChoice(TFATdrive& drive, const TFATFile& file, std::uint8_t fatChoice);

// The bytes of file that reading it with ItemFATChoice gives: ReadableSize,
// except that a live entry and a damaged one (Condition ccBad on an entry
// that is not deleted: name bytes no short name holds, or reserved
// attribute bits) never run past their chain: through a FAT copy without a
// chain at the first cluster that is at most that cluster, and a damaged
// entry read without a FAT is held to the chain of the first copy (or one
// cluster on a drive without a usable FAT).
std::uint32_t ItemReadableSize(TFATdrive& drive, const TFATFile& file, std::uint8_t fatChoice);

// The cluster a file's reader goes on to after current, as ReadFileData
// moves (current itself when the cursor stays).
std::uint32_t NextFileCluster(TFATdrive& drive, std::uint32_t current, std::uint8_t fatChoice);

// A read-only stream over a file's clusters, for the hex and text viewers.
class TFATStream {
 public:
  TFATStream(TFATdrive& drive, std::uint8_t fatChoice, std::uint32_t size, std::uint32_t firstCluster);
  std::uint32_t Read(std::uint8_t* buffer, std::uint32_t count);
  enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin);
  std::uint32_t GetSize() const { return size_; }
  std::int64_t GetPosition() const { return position_; }
  const TFATCursor& Cursor() const { return cursor_; }

 private:
  // Moves the cursor to position as SeekCursor does, but walks the chain
  // from the nearest cluster already known: the cursor's own, or one of the
  // clusters noted every kCheckpointClusters clusters by earlier walks. A
  // viewer that jumps about a long file so walks each part of the chain once.
  bool MoveCursor(std::uint32_t position);
  static constexpr std::uint32_t kCheckpointClusters = 64;

  TFATdrive& drive_;
  std::uint8_t fatChoice_;
  std::uint32_t size_;
  std::int64_t position_ = 0;
  TFATCursor cursor_;
  std::map<std::uint32_t, std::uint32_t> checkpoints_;  // cluster index in the file -> cluster
};

}  // namespace vantrel
