#pragma once
// The millisecond tick count used for progress refreshes, time estimates and
// the read-ahead measurement. Tests replace the source to run without waiting.

#include <cstdint>
#include <functional>

namespace vantrel {

// Milliseconds since an arbitrary start, wrapping at 2^32 like the system tick.
std::uint32_t GetTickCount();

// Replaces the tick source; an empty function restores the steady clock.
void SetTickSource(std::function<std::uint32_t()> source);

}  // namespace vantrel
