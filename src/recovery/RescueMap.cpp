#include "recovery/RescueMap.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "common/HostPath.h"
#include "devices/TDevice.h"

namespace vantrel {
namespace {

bool IsRunStatus(char c) { return c == '?' || c == '*' || c == '/' || c == '-' || c == '+'; }

// A number as ddrescue writes them (0x hex) or reads them (decimal, octal too).
bool ParseNumber(const std::string& word, std::uint64_t& value) {
  if (word.empty() || word[0] == '-' || word[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoull(word.c_str(), &end, 0);
  return errno == 0 && end && *end == '\0';
}

std::string Hex(std::uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(v));
  return text;
}

}  // namespace

TRescueMap::TRescueMap(std::uint64_t size) : size_(size) {
  if (size > 0) runs_[0] = {0, size, rsNonTried};
}

void TRescueMap::Merge(std::map<std::uint64_t, TRescueRun>::iterator it) {
  // With the run before it, then with the run after it.
  if (it != runs_.begin()) {
    auto before = std::prev(it);
    if (before->second.Status == it->second.Status) {
      before->second.Size += it->second.Size;
      runs_.erase(it);
      it = before;
    }
  }
  auto after = std::next(it);
  if (after != runs_.end() && after->second.Status == it->second.Status) {
    it->second.Size += after->second.Size;
    runs_.erase(after);
  }
}

void TRescueMap::Set(std::uint64_t pos, std::uint64_t size, TRescueStatus status) {
  if (pos >= size_ || size == 0) return;
  if (size > size_ - pos) size = size_ - pos;
  const std::uint64_t end = pos + size;
  // Split the runs at pos and at end, then replace what lies between.
  auto split = [this](std::uint64_t at) {
    if (at >= size_) return;
    auto it = runs_.upper_bound(at);
    --it;
    if (it->first == at) return;
    TRescueRun& r = it->second;
    const std::uint64_t tail = r.Pos + r.Size - at;
    r.Size -= tail;
    runs_[at] = {at, tail, r.Status};
  };
  split(pos);
  split(end);
  runs_.erase(runs_.lower_bound(pos), runs_.lower_bound(end));
  Merge(runs_.emplace(pos, TRescueRun{pos, size, status}).first);
}

TRescueStatus TRescueMap::StatusAt(std::uint64_t pos) const {
  auto it = runs_.upper_bound(pos);
  if (it == runs_.begin()) return rsNonTried;
  return std::prev(it)->second.Status;
}

bool TRescueMap::FindNext(std::uint64_t pos, TRescueStatus status, TRescueRun& run) const {
  auto it = runs_.upper_bound(pos);
  if (it != runs_.begin()) --it;
  for (; it != runs_.end(); ++it) {
    const TRescueRun& r = it->second;
    if (r.Status != status || r.Pos + r.Size <= pos) continue;
    run = r;
    if (run.Pos < pos) {
      run.Size -= pos - run.Pos;
      run.Pos = pos;
    }
    return true;
  }
  return false;
}

std::uint64_t TRescueMap::BytesWith(TRescueStatus status) const {
  std::uint64_t n = 0;
  for (const auto& [pos, r] : runs_)
    if (r.Status == status) n += r.Size;
  return n;
}

std::uint64_t TRescueMap::BadAreas() const {
  std::uint64_t n = 0;
  bool inBad = false;
  for (const auto& [pos, r] : runs_) {
    const bool bad = r.Status != rsFinished && r.Status != rsNonTried;
    if (bad && !inBad) ++n;
    inBad = bad;
  }
  return n;
}

bool TRescueMap::Parse(const std::string& text, std::uint64_t deviceSize, TRescueMap& map, std::string& error) {
  TRescueMap parsed(0);
  parsed.size_ = deviceSize;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  bool statusLine = false;
  std::uint64_t expected = 0;
  auto fail = [&](const std::string& why) {
    error = "map line " + std::to_string(number) + ": " + why + (line.empty() ? "" : ": \"" + line + "\"");
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) {
      if (word[0] == '#') break;
      w.push_back(word);
    }
    if (!statusLine) {
      // current_pos current_status [current_pass]
      std::uint64_t pos = 0;
      if (w.size() < 2 || w.size() > 3 || !ParseNumber(w[0], pos) || w[1].size() != 1)
        return fail("not a status line (position, status, pass)");
      parsed.CurrentPos = pos;
      parsed.CurrentStatus = w[1][0];
      std::uint64_t pass = 1;
      if (w.size() == 3 && !ParseNumber(w[2], pass)) return fail("the pass is no number");
      parsed.CurrentPass = static_cast<int>(pass > 100 ? 1 : pass);
      statusLine = true;
      continue;
    }
    std::uint64_t pos = 0, size = 0;
    if (w.size() != 3 || !ParseNumber(w[0], pos) || !ParseNumber(w[1], size) || w[2].size() != 1 ||
        !IsRunStatus(w[2][0]))
      return fail("not a run (position, size, one of ? * / - +)");
    if (size == 0) return fail("a run of no bytes");
    if (pos < expected) return fail("overlaps the run before it");
    if (pos > expected) return fail("leaves a gap after byte " + std::to_string(expected));
    if (size > deviceSize || pos > deviceSize - size)
      return fail("runs past the end of the device (" + std::to_string(deviceSize) + " bytes)");
    parsed.runs_[pos] = {pos, size, static_cast<TRescueStatus>(w[2][0])};
    parsed.Merge(parsed.runs_.find(pos));
    expected = pos + size;
  }
  if (!statusLine) {
    line.clear();
    return fail("no status line: not a map file");
  }
  if (expected != deviceSize) {
    line.clear();
    return fail("describes " + std::to_string(expected) + " bytes, the device has " + std::to_string(deviceSize));
  }
  map = std::move(parsed);
  return true;
}

std::string TRescueMap::Text(const std::string& commandLine) const {
  std::string out = "# Mapfile. Created by vantrel-cli\n";
  out += "# Command line: " + commandLine + "\n";
  const std::time_t now = std::time(nullptr);
  char when[64] = "";
  if (const std::tm* t = std::localtime(&now)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", t);
  out += std::string("# Current time: ") + when + "\n";
  if (BytesWith(rsFinished) == size_) out += "# Finished\n";
  out += "# current_pos  current_status  current_pass\n";
  out += Hex(CurrentPos) + "     " + CurrentStatus + "               " + std::to_string(CurrentPass) + "\n";
  out += "#      pos        size  status\n";
  for (const auto& [pos, r] : runs_) out += Hex(r.Pos) + "  " + Hex(r.Size) + "  " + static_cast<char>(r.Status) + "\n";
  return out;
}

bool TRescueMap::Save(const std::string& path, const std::string& commandLine) const {
  const std::filesystem::path target = PathFromUtf8(path);
  std::filesystem::path temporary = target;
  temporary += ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    const std::string text = Text(commandLine);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
      out.close();
      std::error_code ec;
      std::filesystem::remove(temporary, ec);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, target, ec);
  return !ec;
}

bool TRescueMap::Load(const std::string& path, std::uint64_t deviceSize, TRescueMap& map, std::string& error) {
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  if (!in) {
    error = "cannot read the map " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!Parse(text.str(), deviceSize, map, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

std::string ImagingMapBeside(const std::string& image) {
  for (const char* suffix : {".map", ".mapfile"}) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(PathFromUtf8(image + suffix), ec)) return image + suffix;
  }
  return "";
}

bool ApplyImagingMap(TDevice& device, const std::string& mapPath, std::uint64_t& sectors, std::string& error) {
  sectors = 0;
  const std::uint64_t sectorSize = device.BytesPerSector ? device.BytesPerSector : 512;
  TRescueMap map;
  if (!TRescueMap::Load(mapPath, device.TotalSectors * sectorSize, map, error)) return false;
  for (const auto& [pos, run] : map.Runs()) {
    if (run.Status == rsFinished) continue;
    // Every sector that holds a byte the map does not hold as rescued.
    const std::uint64_t first = run.Pos / sectorSize;
    const std::uint64_t end = (run.Pos + run.Size + sectorSize - 1) / sectorSize;
    device.MarkUnreadable(first, end - first);
    sectors += end - first;
  }
  return true;
}

}  // namespace vantrel
