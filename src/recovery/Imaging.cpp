#include "recovery/Imaging.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "common/HostPath.h"
#include "devices/TDevice.h"
#include "diskio/DiskPlatform.h"
#include "diskio/HostDiskPlatform.h"
#include "diskio/SectorAccess.h"

namespace vantrel {
namespace {

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

class DeviceSource : public IImagingSource {
 public:
  DeviceSource(TDevice& device, std::uint64_t first, std::uint64_t count)
      : device_(device), first_(first), count_(count) {}
  std::uint64_t Size() const override { return count_ * SectorSize(); }
  std::uint32_t SectorSize() const override { return device_.BytesPerSector ? device_.BytesPerSector : 512; }
  bool Read(std::uint64_t pos, std::uint32_t size, std::uint8_t* buffer) override {
    const std::uint32_t ss = SectorSize();
    std::uint64_t sector = first_ + pos / ss;
    std::uint64_t sectors = size / ss;
    while (sectors > 0) {
      const auto n = static_cast<std::uint16_t>(std::min<std::uint64_t>(sectors, 0x8000));
      const bool ok = device_.Kind == dkBIOS ? ReadPhysicalSectors(device_.Number, sector, n, false, buffer)
                                             : ReadLogicalSectors(device_.Number, sector, n, buffer);
      if (!ok) return false;
      buffer += std::size_t{n} * ss;
      sector += n;
      sectors -= n;
    }
    return true;
  }

 private:
  TDevice& device_;
  std::uint64_t first_, count_;
};

std::string Bytes(double v) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (v >= 1024 && u < 4) {
    v /= 1024;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
  return text;
}

}  // namespace

std::string DeviceFileOf(const TDevice& d) {
  return d.Kind == dkBIOS ? HostPlatform().PhysicalDeviceName(d.Number) : HostPlatform().LogicalDeviceName(d.Number);
}

bool TargetOnDevice(const std::string& target, const std::string& deviceFile) {
  std::error_code ec;
  const auto t = PathFromUtf8(target), d = PathFromUtf8(deviceFile);
  if (std::filesystem::exists(t, ec) && std::filesystem::equivalent(t, d, ec)) return true;
  return DiskPlatform().PathLiesOnDevice(target, deviceFile);
}

void MarkKnownUnreadable(TRescueMap& map, const TDevice& device, std::uint64_t first, std::uint64_t count) {
  const std::uint64_t ss = device.BytesPerSector ? device.BytesPerSector : 512;
  for (const auto& [a, b] : device.Unreadable().Runs()) {
    const std::uint64_t lo = std::max(a, first), hi = std::min(b, first + count);
    if (hi <= lo) continue;
    const std::uint64_t end = (hi - first) * ss;
    std::uint64_t pos = (lo - first) * ss;
    TRescueRun run;
    while (pos < end && map.FindNext(pos, rsNonTried, run) && run.Pos < end) {
      const std::uint64_t size = std::min(run.Pos + run.Size, end) - run.Pos;
      map.Set(run.Pos, size, rsBadSector);
      pos = run.Pos + size;
    }
  }
}

std::unique_ptr<IImagingSource> DeviceImagingSource(TDevice& device, std::uint64_t first, std::uint64_t count) {
  return std::make_unique<DeviceSource>(device, first, count);
}

std::string ProgressText(const TImagingProgress& p) {
  char percent[16];
  std::snprintf(percent, sizeof percent, "%.1f%%", p.Size ? 100.0 * static_cast<double>(p.Rescued) / static_cast<double>(p.Size) : 100.0);
  std::string text = "rescued " + Bytes(static_cast<double>(p.Rescued)) + " of " + Bytes(static_cast<double>(p.Size)) +
                     " (" + percent + "), " + std::to_string(p.BadAreas) + " bad area(s), " +
                     Bytes(static_cast<double>(p.BadBytes)) + " bad, " + Bytes(p.Rate) + "/s";
  if (p.SecondsLeft >= 0) text += ", " + std::to_string(static_cast<long long>(p.SecondsLeft + 0.5)) + " s left";
  return text;
}

struct TImager::File {
  std::fstream stream;
};

TImager::TImager(IImagingSource& source, const std::string& target, TRescueMap& map, TImagingOptions options)
    : source_(source), target_(target), map_(map), options_(std::move(options)) {
  const std::uint32_t ss = source_.SectorSize();
  if (options_.BlockSize < ss) options_.BlockSize = ss;
  options_.BlockSize -= options_.BlockSize % ss;
}

TImager::~TImager() = default;

bool TImager::OpenTarget(bool create) {
  file_ = std::make_unique<File>();
  const std::filesystem::path path = PathFromUtf8(target_);
  if (create) std::ofstream(path, std::ios::binary | std::ios::trunc);
  file_->stream.open(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!file_->stream) {
    error_ = "cannot write the image " + target_;
    return false;
  }
  return true;
}

bool TImager::SaveMap() {
  if (file_) file_->stream.flush();
  if (file_ && !file_->stream) {
    error_ = "cannot write the image " + target_ + " (is its disk full?)";
    stop_ = true;
    stopReason_ = TImagingResult::WriteFailed;
  }
  if (options_.MapPath.empty()) return true;
  if (!map_.Save(options_.MapPath, options_.CommandLine)) {
    error_ = "cannot write the map " + options_.MapPath;
    stop_ = true;
    stopReason_ = TImagingResult::MapFailed;
    return false;
  }
  return true;
}

TImagingProgress TImager::Progress() const {
  TImagingProgress p;
  p.Phase = map_.CurrentStatus;
  p.Size = map_.Size();
  p.Rescued = map_.BytesWith(rsFinished);
  p.NonTried = map_.BytesWith(rsNonTried);
  p.BadBytes = p.Size - p.Rescued - p.NonTried;
  p.BadAreas = map_.BadAreas();
  p.Rate = rate_;
  p.Reads = reads_;
  const double elapsed = Now() - start_;
  const double done = static_cast<double>(p.Rescued - std::min(p.Rescued, rescuedAtStart_));
  if (elapsed > 0.5 && done > 0) p.SecondsLeft = static_cast<double>(p.NonTried) / (done / elapsed);
  // Before the first whole second the rate is the run's average.
  if (p.Rate <= 0 && elapsed > 0) p.Rate = done / elapsed;
  return p;
}

bool TImager::Tick(bool force) {
  const double now = Now();
  if (now - rateStart_ >= 1.0) {
    const std::uint64_t rescued = map_.BytesWith(rsFinished);
    rate_ = static_cast<double>(rescued - std::min(rescued, rescuedAtRateStart_)) / (now - rateStart_);
    rateStart_ = now;
    rescuedAtRateStart_ = rescued;
  }
  if (force || now - lastMap_ >= options_.MapInterval) {
    lastMap_ = now;
    SaveMap();
  }
  if (options_.OnProgress && (force || now - lastProgress_ >= 0.5)) {
    lastProgress_ = now;
    options_.OnProgress(Progress());
  }
  if (options_.Cancelled && options_.Cancelled()) {
    stop_ = true;
    stopReason_ = TImagingResult::Cancelled;
  }
  return !stop_;
}

bool TImager::Transfer(std::uint64_t pos, std::uint32_t size, bool& ok, double& seconds) {
  static thread_local std::vector<std::uint8_t> buffer;
  if (buffer.size() < size) buffer.resize(size);
  map_.CurrentPos = pos;
  const double t0 = Now();
  ok = source_.Read(pos, size, buffer.data());
  seconds = Now() - t0;
  ++reads_;
  if (ok) {
    file_->stream.seekp(static_cast<std::streamoff>(pos));
    file_->stream.write(reinterpret_cast<const char*>(buffer.data()), size);
    if (!file_->stream) {
      // What was written before still holds; this block is not rescued.
      error_ = "cannot write the image " + target_ + " at byte " + std::to_string(pos) + " (is its disk full?)";
      stop_ = true;
      stopReason_ = TImagingResult::WriteFailed;
      file_->stream.clear();
      return false;
    }
    map_.Set(pos, size, rsFinished);
  }
  return Tick(false);
}

bool TImager::CopyPass(bool skipping) {
  map_.CurrentStatus = '?';
  const std::uint64_t block = options_.BlockSize;
  const std::uint64_t maxSkip = std::max<std::uint64_t>(block, std::min<std::uint64_t>(map_.Size() / 64, 1ull << 30));
  std::uint64_t skip = block;
  double usual = -1;  // seconds a good read takes, smoothed
  std::uint64_t good = 0;
  std::uint64_t pos = 0;
  TRescueRun run;
  while (!stop_ && map_.FindNext(pos, rsNonTried, run)) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(block - run.Pos % block, run.Size));
    bool ok = false;
    double seconds = 0;
    Transfer(run.Pos, n, ok, seconds);
    // A failed read is noted before a stop: a resumed run must not read it again.
    if (!ok) map_.Set(run.Pos, n, rsNonTrimmed);
    if (stop_) return false;
    pos = run.Pos + n;
    if (!ok) {
      if (skipping) {
        pos += skip;
        skip = std::min(skip * 2, maxSkip);
      }
      continue;
    }
    const bool slow = skipping && good >= 4 && seconds > options_.SlowReadMinimum && seconds > options_.SlowFactor * usual;
    if (slow) {
      pos += skip;
      skip = std::min(skip * 2, maxSkip);
      continue;
    }
    usual = usual < 0 ? seconds : usual * 0.9 + seconds * 0.1;
    ++good;
    skip = block;
  }
  return !stop_;
}

bool TImager::CopyFirst() {
  map_.CurrentStatus = '?';
  auto ranges = options_.First;
  std::sort(ranges.begin(), ranges.end());
  // Ranges closer than one read are read as one: forward, no seek per cluster.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
  for (const auto& [pos, size] : ranges) {
    if (size == 0 || pos >= map_.Size()) continue;
    const std::uint64_t end = std::min(map_.Size(), pos + size);
    if (!runs.empty() && pos <= runs.back().second + options_.BlockSize)
      runs.back().second = std::max(runs.back().second, end);
    else
      runs.emplace_back(pos, end);
  }
  const std::uint64_t block = options_.BlockSize;
  for (const auto& [from, to] : runs) {
    std::uint64_t pos = from;
    TRescueRun run;
    while (!stop_ && map_.FindNext(pos, rsNonTried, run) && run.Pos < to) {
      const std::uint64_t size = std::min(run.Size, to - run.Pos);
      const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(block - run.Pos % block, size));
      bool ok = false;
      double seconds = 0;
      Transfer(run.Pos, n, ok, seconds);
      if (!ok) map_.Set(run.Pos, n, rsNonTrimmed);
      if (stop_) return false;
      pos = run.Pos + n;
    }
  }
  return !stop_;
}

bool TImager::TrimPass() {
  map_.CurrentStatus = '*';
  const std::uint64_t ss = source_.SectorSize();
  std::uint64_t pos = 0;
  TRescueRun run;
  while (!stop_ && map_.FindNext(pos, rsNonTrimmed, run)) {
    const std::uint64_t end = run.Pos + run.Size;
    std::uint64_t p = run.Pos;
    bool ok = false;
    double seconds = 0;
    // From the leading edge forward up to the first bad sector...
    while (p < end && !stop_) {
      const auto n = static_cast<std::uint32_t>(std::min(ss, end - p));
      Transfer(p, n, ok, seconds);
      if (!ok) map_.Set(p, n, rsBadSector);
      if (stop_) break;
      p += n;
      if (!ok) break;
    }
    // ...then from the trailing edge back to the last one.
    std::uint64_t q = end;
    while (q > p && !stop_) {
      const std::uint64_t n = (q - p) % ss ? (q - p) % ss : ss;
      Transfer(q - n, static_cast<std::uint32_t>(n), ok, seconds);
      if (!ok) map_.Set(q - n, n, rsBadSector);
      if (stop_) break;
      q -= n;
      if (!ok) break;
    }
    if (stop_) break;
    if (q > p) map_.Set(p, q - p, rsNonScraped);
    pos = end;
  }
  return !stop_;
}

bool TImager::ScrapePass(TRescueStatus status) {
  map_.CurrentStatus = status == rsNonScraped ? '/' : '-';
  const std::uint64_t ss = source_.SectorSize();
  std::uint64_t pos = 0;
  TRescueRun run;
  while (!stop_ && map_.FindNext(pos, status, run)) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(ss - run.Pos % ss, run.Size));
    bool ok = false;
    double seconds = 0;
    Transfer(run.Pos, n, ok, seconds);
    if (!ok) map_.Set(run.Pos, n, rsBadSector);
    if (stop_) break;
    pos = run.Pos + n;
  }
  return !stop_;
}

TImagingResult TImager::Run() {
  if (!file_ && !OpenTarget(false)) return TImagingResult::WriteFailed;
  start_ = rateStart_ = lastProgress_ = lastMap_ = Now();
  rescuedAtStart_ = rescuedAtRateStart_ = map_.BytesWith(rsFinished);
  stop_ = false;
  if (!SaveMap()) return stopReason_;
  const bool copied = options_.OnlyFirst ? CopyFirst() : CopyFirst() && CopyPass(true) && CopyPass(false);
  if (copied && TrimPass() && ScrapePass(rsNonScraped)) {
    for (int pass = 0; pass < options_.Retries && !stop_; ++pass) {
      map_.CurrentPass = pass + 2;
      ScrapePass(rsBadSector);
    }
  }
  if (!stop_) {
    // The image is as long as the device, whatever its end held.
    file_->stream.flush();
    std::error_code ec;
    const std::filesystem::path path = PathFromUtf8(target_);
    if (std::filesystem::file_size(path, ec) < map_.Size() && !ec) {
      file_->stream.close();
      std::filesystem::resize_file(path, map_.Size(), ec);
      if (ec) {
        error_ = "cannot write the image " + target_ + " (is its disk full?)";
        stop_ = true;
        stopReason_ = TImagingResult::WriteFailed;
      }
      file_->stream.open(path, std::ios::binary | std::ios::in | std::ios::out);
    }
  }
  if (!stop_) {
    // What was left untried is where a later run begins.
    map_.CurrentStatus = map_.BytesWith(rsNonTried) ? '?' : '+';
    map_.CurrentPos = 0;
  }
  const TImagingResult result = stop_ ? stopReason_ : TImagingResult::Finished;
  const bool keepStop = stop_;
  stop_ = false;
  Tick(true);
  if (keepStop) return result;
  return stop_ ? stopReason_ : TImagingResult::Finished;
}

}  // namespace vantrel
