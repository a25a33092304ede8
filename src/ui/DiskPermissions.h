#pragma once
// Whether the machine's disks can be read by this user. Without the rights
// the device scan finds nothing, which the window must not pass off as a
// machine without disks.

#include <string>
#include <vector>

namespace vantrel::ui {

// Device files of whole disks (/dev/sda, /dev/nvme0n1, ...) that exist but
// cannot be opened for reading for lack of permission, and that the disk
// service has not opened for us.
std::vector<std::string> DisksWithoutReadPermission();

// The message for disks that stay unreadable: how to get the right to read
// them, with or without the system's disk service.
std::string PermissionAdvice(const std::vector<std::string>& denied, bool serviceMissing,
                             const std::string& serviceError);

}  // namespace vantrel::ui
