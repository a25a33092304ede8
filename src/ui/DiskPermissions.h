#pragma once
// Whether the machine's disks can be read by this user. Without the rights
// the device scan finds nothing, which the window must not pass off as a
// machine without disks.

#include <string>
#include <vector>

namespace vantrel::ui {

// Device files of whole disks (/dev/sda, /dev/nvme0n1, ...) that exist but
// cannot be opened for reading for lack of permission.
std::vector<std::string> DisksWithoutReadPermission();

}  // namespace vantrel::ui
