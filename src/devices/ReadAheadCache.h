#pragma once
// The read-ahead cache shared by all devices: four entries of 2 MiB. A miss
// loads ReadAhead sectors from the requested one, so that a scan reading one
// sector after another is served from a few large reads.

#include <cstdint>

namespace vantrel {

class TDevice;

constexpr int kCacheEntries = 4;
constexpr std::uint32_t kCacheEntryBytes = 2097152;

// The global switch (the EnableCache option); off at start.
void SetReadAheadCacheSwitch(bool on);
bool ReadAheadCacheSwitch();

// Serves a device read through the cache; the device has checked that it may.
bool CachedRead(TDevice& device, std::uint64_t firstSector, std::uint16_t count, bool prompt,
                std::uint8_t* buffer);

// Empties every entry that holds sectors of the device (it is being destroyed).
void ForgetCachedDevice(const TDevice* device);

struct TCacheEntryState {
  const TDevice* Owner;
  std::uint8_t Age;
  std::uint64_t First;
  std::uint64_t Last;
};
TCacheEntryState CacheEntryState(int index);
// Empties the whole table.
void ResetReadAheadCache();

}  // namespace vantrel
