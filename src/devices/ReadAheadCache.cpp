#include "devices/ReadAheadCache.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "devices/TDevice.h"

namespace vantrel {
namespace {

struct CacheEntry {
  const TDevice* owner = nullptr;
  std::uint8_t age = 0;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::vector<std::uint8_t> data;
};

struct Cache {
  bool on = false;
  std::array<CacheEntry, kCacheEntries> entries;
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

void Empty(CacheEntry& e) {
  e.owner = nullptr;
  e.age = 0;
}

// Serves what an entry holds of the request; true when nothing is left.
// Every entry that does not serve loses one age, the one that serves gains one.
bool Lookup(const TDevice& device, std::uint64_t& first, std::uint16_t& count, std::uint8_t*& buffer) {
  bool matched = false;
  bool complete = false;
  const std::size_t sectorSize = device.BytesPerSector;
  for (auto& e : TheCache().entries) {
    if (!matched && e.owner == &device && e.first <= first && first <= e.last) {
      matched = true;
      if (e.age < 15) ++e.age;
      std::uint32_t n = count;
      if (first + count - 1 > e.last) n = static_cast<std::uint32_t>(e.last - first + 1);
      std::memcpy(buffer, e.data.data() + static_cast<std::size_t>(first - e.first) * sectorSize,
                  n * sectorSize);
      if (n < count) {
        first += n;
        count = static_cast<std::uint16_t>(count - n);
        buffer += n * sectorSize;
      } else {
        complete = true;
      }
    } else if (e.age > 0) {
      --e.age;
    }
  }
  return complete;
}

}  // namespace

void SetReadAheadCacheSwitch(bool on) { TheCache().on = on; }
bool ReadAheadCacheSwitch() { return TheCache().on; }

bool CachedRead(TDevice& device, std::uint64_t firstSector, std::uint16_t count, bool prompt,
                std::uint8_t* buffer) {
  // A request with a sector known bad is answered by the device, which does
  // not read that sector again (or asks the user about it).
  if (device.HasUnreadableSectors(firstSector, count))
    return device.ReadSectorsDirect(firstSector, count, prompt, buffer);
  if (Lookup(device, firstSector, count, buffer)) return true;

  // Victim: the lowest age, the first of equals.
  auto& entries = TheCache().entries;
  CacheEntry* victim = &entries[0];
  for (auto& e : entries)
    if (e.age < victim->age) victim = &e;

  const std::uint32_t sectorSize = device.BytesPerSector ? device.BytesPerSector : 512;
  std::uint32_t n = std::min(device.ReadAhead, kCacheEntryBytes / sectorSize);
  if (firstSector + n > device.TotalSectors) n = static_cast<std::uint32_t>(device.TotalSectors - firstSector);
  if (victim->data.empty()) victim->data.resize(kCacheEntryBytes);
  // The fill reads ahead on its own account: a sector of it that fails was
  // not asked for, so it asks nobody. A fill that fails is split once by the
  // device into single sectors: the entry then holds every good sector, and
  // the bad ones are remembered, so that no later request reads them again.
  // A request that touches one of them is answered by the device, with the
  // caller's prompt.
  if (n > 0) {
    device.ReadSectorsDirect(firstSector, static_cast<std::uint16_t>(n), false, victim->data.data());
    victim->owner = &device;
    victim->age = 15;
    victim->first = firstSector;
    victim->last = firstSector + n - 1;
    if (device.HasUnreadableSectors(firstSector, count))
      return device.ReadSectorsDirect(firstSector, count, prompt, buffer);
    if (Lookup(device, firstSector, count, buffer)) return true;
  }
  return device.ReadSectorsDirect(firstSector, count, prompt, buffer);
}

void ForgetCachedDevice(const TDevice* device) {
  for (auto& e : TheCache().entries)
    if (e.owner == device) Empty(e);
}

TCacheEntryState CacheEntryState(int index) {
  const auto& e = TheCache().entries.at(static_cast<std::size_t>(index));
  return {e.owner, e.age, e.first, e.last};
}

void ResetReadAheadCache() {
  for (auto& e : TheCache().entries) Empty(e);
}

}  // namespace vantrel
