#pragma once
// What an imaging run has rescued, in GNU ddrescue's map file format: a
// current position and status, then runs "pos size status" that cover the
// device from byte 0 to its end without gap or overlap. The map is a list of
// runs, so its size follows the number of bad areas, not the disk's size.

#include <cstdint>
#include <map>
#include <string>

namespace vantrel {

class TDevice;

// The status of a run, as the map file spells it.
enum TRescueStatus : char {
  rsNonTried = '?',
  rsNonTrimmed = '*',
  rsNonScraped = '/',
  rsBadSector = '-',
  rsFinished = '+',
};

struct TRescueRun {
  std::uint64_t Pos = 0;
  std::uint64_t Size = 0;
  TRescueStatus Status = rsNonTried;
};

class TRescueMap {
 public:
  // One run of non-tried bytes over the whole device.
  explicit TRescueMap(std::uint64_t size = 0);

  std::uint64_t Size() const { return size_; }
  // Sets the status of bytes pos .. pos + size - 1 (cut to the device).
  void Set(std::uint64_t pos, std::uint64_t size, TRescueStatus status);
  TRescueStatus StatusAt(std::uint64_t pos) const;
  // The first run at or after pos with this status; false when none.
  bool FindNext(std::uint64_t pos, TRescueStatus status, TRescueRun& run) const;
  // The runs in order.
  const std::map<std::uint64_t, TRescueRun>& Runs() const { return runs_; }
  std::uint64_t BytesWith(TRescueStatus status) const;
  // Runs that are neither finished nor non-tried: the bad areas.
  std::uint64_t BadAreas() const;

  // The position and phase the run stood at (the map's status line).
  std::uint64_t CurrentPos = 0;
  char CurrentStatus = '?';
  int CurrentPass = 1;

  // Parses a map file's text for a device of deviceSize bytes. False, with
  // error naming the line at fault, when a line does not parse, the runs
  // overlap, leave a gap or describe another size.
  static bool Parse(const std::string& text, std::uint64_t deviceSize, TRescueMap& map, std::string& error);
  // The map file's text; commandLine goes into its head.
  std::string Text(const std::string& commandLine) const;
  // Writes the text beside path and renames it over path, so that a run
  // stopped at any moment leaves either the old map or the new one.
  bool Save(const std::string& path, const std::string& commandLine) const;
  static bool Load(const std::string& path, std::uint64_t deviceSize, TRescueMap& map, std::string& error);

 private:
  void Merge(std::map<std::uint64_t, TRescueRun>::iterator it);
  std::uint64_t size_ = 0;
  std::map<std::uint64_t, TRescueRun> runs_;
};

// The imaging map beside an image file: FILE.map or FILE.mapfile; "" when
// there is none.
std::string ImagingMapBeside(const std::string& image);

// Marks every sector of the device that the map does not hold as rescued
// (+) unreadable, without reading it; sectors gets how many. False, with
// error naming the map's line at fault, when the map is refused.
bool ApplyImagingMap(TDevice& device, const std::string& mapPath, std::uint64_t& sectors, std::string& error);

}  // namespace vantrel
