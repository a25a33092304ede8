#include "common/Clock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace vantrel {
namespace {
std::function<std::uint32_t()>& Source() {
  static std::function<std::uint32_t()> source;
  return source;
}
}  // namespace

std::uint32_t GetTickCount() {
  if (auto& s = Source()) return s();
  // The coarse clock costs a few nanoseconds; scans ask for it once per
  // sector, and a few milliseconds of resolution are plenty for progress.
#ifdef _WIN32
  const std::uint64_t ms = ::GetTickCount64();
#else
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
#endif
  // Start above zero: several callers treat a tick of 0 as "not started".
  static const std::uint64_t origin = ms - 1000;
  return static_cast<std::uint32_t>(ms - origin);
}

void SetTickSource(std::function<std::uint32_t()> source) { Source() = std::move(source); }

}  // namespace vantrel
