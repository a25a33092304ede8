// Systems other than Windows have none of the Windows 95/98/ME drivers:
// nothing opens, and the version is not that of those systems, so the
// sector layer reads device files.
#ifndef _WIN32

#include "diskio/Legacy9xDrivers.h"

namespace vantrel {
namespace {

class NoLegacyDrivers final : public I9xDrivers {
 public:
  Handle OpenDriver(const std::string&, TDriverOpen) override { return kNoDriver; }
  bool Control(Handle, std::uint32_t, std::span<const std::uint8_t>, std::span<std::uint8_t>) override {
    return false;
  }
  void CloseDriver(Handle) override {}
  void UnloadDriver(const std::string&) override {}
  std::uint32_t AddressOf(std::uint8_t*, std::size_t) override { return 0; }
  std::uint32_t LastError() override { return 0; }
  TVersionInfo Version() override { return {}; }
  void Warn(const std::string&, const std::string&) override {}
};

}  // namespace

I9xDrivers& DefaultLegacy9xDrivers() {
  static NoLegacyDrivers drivers;
  return drivers;
}

}  // namespace vantrel

#endif  // !_WIN32
