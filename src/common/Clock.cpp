#include "common/Clock.h"

#include <chrono>

namespace vantrel {
namespace {
std::function<std::uint32_t()>& Source() {
  static std::function<std::uint32_t()> source;
  return source;
}
}  // namespace

std::uint32_t GetTickCount() {
  if (auto& s = Source()) return s();
  using namespace std::chrono;
  // Start above zero: several callers treat a tick of 0 as "not started".
  static const auto origin = steady_clock::now() - milliseconds(1000);
  return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now() - origin).count());
}

void SetTickSource(std::function<std::uint32_t()> source) { Source() = std::move(source); }

}  // namespace vantrel
