#pragma once
// The system's disk service (UDisks2 on the system bus). A window that runs
// as the user asks it to open, for reading, the disks the user may not open
// directly; polkit asks for the password. The descriptor it hands back goes
// to the platform layer, which reads it like any device, read-only.

#include <set>
#include <string>
#include <vector>

namespace vantrel::ui {

class TDiskService {
 public:
  enum class TAnswer {
    daOpened,   // the service opened the disk; the platform layer has it
    daRefused,  // the service is there but did not open it (see Error)
    daMissing,  // no disk service on this machine
  };

  // Asks for each disk once per run (a refusal is not asked again); the
  // answer for the last disk asked and which ones stay closed.
  struct TResult {
    bool ServiceMissing = false;
    std::vector<std::string> Refused;
    std::string Error;  // the service's reason for the last refusal
  };
  TResult OpenForReading(const std::vector<std::string>& disks);

  // One disk: asks the service for a read-only descriptor of it.
  TAnswer OpenOne(const std::string& device, std::string& error);

  // The service's object of a block device file: its kernel name with every
  // character other than a letter, digit or underscore written as _XX.
  static std::string ObjectPathOf(const std::string& device);

 private:
  std::set<std::string> asked_;
  bool missing_ = false;
};

// The one disk service of the window.
TDiskService& DiskService();

}  // namespace vantrel::ui
