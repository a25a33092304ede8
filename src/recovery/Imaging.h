#pragma once
// Copies a failing device to an image file the way careful rescue tools do,
// reading each bad sector as few times as possible:
//  1. copy: the device forward in large reads; past a read that fails, and
//     past an area that reads slowly, it skips ahead (farther after each
//     failure in a row) and leaves the skipped bytes for a second pass
//     forward, which skips nothing;
//  2. trim: each failed read from its edges inward, sector by sector, up to
//     the first bad sector from either side;
//  3. scrape: what lies between, sector by sector;
//  4. retry: the bad sectors again, as often as asked.
// A bad sector is so read once by the copy and once by the trim or the
// scrape before any retry. The map (GNU ddrescue's format) is written often
// enough that a run stopped at any moment resumes from it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "recovery/RescueMap.h"

namespace vantrel {

class TDevice;

// What is imaged: bytes of a device read in whole sectors.
class IImagingSource {
 public:
  virtual ~IImagingSource() = default;
  virtual std::uint64_t Size() const = 0;  // bytes
  virtual std::uint32_t SectorSize() const = 0;
  // Reads size bytes (whole sectors) at pos; false when any of them failed.
  virtual bool Read(std::uint64_t pos, std::uint32_t size, std::uint8_t* buffer) = 0;
};

// Sectors first .. first + count - 1 of a device (a whole disk, or one
// drive of it), read without the cache, without questions and without the
// device's memory of bad sectors: the imaging keeps its own in the map.
std::unique_ptr<IImagingSource> DeviceImagingSource(TDevice& device, std::uint64_t first, std::uint64_t count);

struct TImagingProgress {
  char Phase = '?';  // the map's status letter of the phase: ? copy, * trim, / scrape, - retry, + done
  std::uint64_t Size = 0;
  std::uint64_t Rescued = 0;
  std::uint64_t NonTried = 0;
  std::uint64_t BadBytes = 0;  // bytes neither rescued nor still to try
  std::uint64_t BadAreas = 0;
  double Rate = 0;          // bytes per second over the last seconds
  double SecondsLeft = -1;  // unknown while negative
  std::uint64_t Reads = 0;
};

// Marks the sectors among first .. first + count - 1 that the device knows
// unreadable in this run (or from an imaging map) as bad sectors (-) where
// the map has not tried them: the copy reads around them, and only retries
// read them again. A dying disk is so spared the reads it already failed.
void MarkKnownUnreadable(TRescueMap& map, const TDevice& device, std::uint64_t first, std::uint64_t count);

// The device file a device is read through.
std::string DeviceFileOf(const TDevice& device);

// True when writing target would write onto the device file itself or onto
// a file system that lies on it.
bool TargetOnDevice(const std::string& target, const std::string& deviceFile);

// "rescued 12.5 MiB of 64 MiB (19.5%), 3 bad area(s), 512 B bad, 8.1 MiB/s, 6 s left"
std::string ProgressText(const TImagingProgress& p);

struct TImagingOptions {
  std::uint32_t BlockSize = 65536;  // bytes per read of the copy phase
  int Retries = 0;                  // passes over the bad sectors after the scrape
  std::string MapPath;              // written during the run; "" writes none
  std::string CommandLine;          // for the map's head
  double MapInterval = 1.0;         // seconds between map writes at most
  // A read slower than this many times the usual read, and slower than
  // SlowReadMinimum seconds, makes the copy skip ahead.
  double SlowFactor = 10.0;
  double SlowReadMinimum = 0.05;
  // Byte ranges (position, size) copied before everything else, forward in
  // large reads: the boot sectors, FATs, folders and files of the device's
  // drives. Neighbouring ranges are read as one.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> First;
  // Only First is imaged (copied, trimmed and scraped as usual): the rest
  // stays not tried (?) in the map, for a later run with the same image and
  // map to complete.
  bool OnlyFirst = false;
  std::function<void(const TImagingProgress&)> OnProgress;  // about twice a second
  std::function<bool()> Cancelled;                           // polled between reads
};

enum class TImagingResult { Finished, Cancelled, WriteFailed, MapFailed };

class TImager {
 public:
  // target: the image file, open for writing at any offset (a resumed run
  // writes into the image it made before); map: what is done already.
  TImager(IImagingSource& source, const std::string& target, TRescueMap& map, TImagingOptions options);
  ~TImager();
  // Opens the target; false with Error() when it cannot be written.
  bool OpenTarget(bool create);
  TImagingResult Run();
  const std::string& Error() const { return error_; }
  TImagingProgress Progress() const;

 private:
  bool CopyPass(bool skipping);
  bool CopyFirst();
  bool TrimPass();
  bool ScrapePass(TRescueStatus status);
  // Reads size bytes at pos and writes them into the image; false only when
  // the run must stop (write failure, cancel). ok tells whether the read succeeded.
  bool Transfer(std::uint64_t pos, std::uint32_t size, bool& ok, double& seconds);
  bool Tick(bool force);
  bool SaveMap();

  IImagingSource& source_;
  std::string target_;
  TRescueMap& map_;
  TImagingOptions options_;
  std::string error_;
  struct File;
  std::unique_ptr<File> file_;
  std::uint64_t reads_ = 0;
  bool stop_ = false;
  TImagingResult stopReason_ = TImagingResult::Finished;
  double lastMap_ = 0, lastProgress_ = 0, start_ = 0;
  double rateStart_ = 0;
  std::uint64_t rateBytes_ = 0, rescuedAtRateStart_ = 0;
  double rate_ = 0;
  std::uint64_t rescuedAtStart_ = 0;
};

}  // namespace vantrel
