#include "diskio/HostDiskPlatform.h"

namespace vantrel {

void HostDiskPlatform::AddImageFile(const std::string& path) {
  images_.push_back(path);
  built_ = false;
}

void HostDiskPlatform::ClearImageFiles() {
  images_.clear();
  built_ = false;
}

void HostDiskPlatform::SetOnlyImages(bool only) {
  onlyImages_ = only;
  built_ = false;
}

void HostDiskPlatform::Rescan() { built_ = false; }

void HostDiskPlatform::BuildTables() {
  if (built_) return;
  built_ = true;
  ScanMachineDrives();
}

bool HostDiskPlatform::SplitDiskNumber(std::uint8_t drive, std::string& image, std::size_t& diskIndex) const {
  image.clear();
  diskIndex = 0;
  if (drive < 0x80) return false;
  const std::size_t n = drive - 0x80u;
  if (n < images_.size())
    image = images_[n];
  else
    diskIndex = n - images_.size();
  return true;
}

}  // namespace vantrel
