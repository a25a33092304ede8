// vantrel-cli commands that search for lost data: find-lost and find-drives.

#include <iostream>

#include "app/TOptions.h"
#include "cli/CliApp.h"
#include "cli/Json.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "host/RangeDialogs.h"
#include "recovery/LostData.h"

namespace vantrel::cli {
namespace {

// "FIRST-LAST" or "all"; false for "all". Text of another form is a usage
// error; numbers that make no range fail like those beyond the drive.
bool ParseRange(const std::string& text, std::uint64_t& first, std::uint64_t& last) {
  if (text == "all") return false;
  const auto dash = text.find('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 == text.size())
    throw UsageError("--range takes FIRST-LAST or all");
  first = ParseNumber(text.substr(0, dash), "--range");
  last = ParseNumber(text.substr(dash + 1), "--range");
  if (last < first) throw CliError(1, "--range: LAST is below FIRST");
  return true;
}

// The range dialogs answered by --range.
class RangeAnswer : public IClusterDialogView, public ISectorDialogView {
 public:
  RangeAnswer(std::string start, std::string end) : start_(std::move(start)), end_(std::move(end)) {}
  TRangeDialogResult ShowModal(TClusterDialog& dialog) override {
    dialog.FormActivate();
    return {true, start_.empty() ? dialog.EditStartClus : start_, end_.empty() ? dialog.EditEndClus : end_};
  }
  TRangeDialogResult ShowModal(TSectorDialog& dialog) override {
    dialog.FormActivate();
    return {true, start_.empty() ? dialog.EditStartSec : start_, end_.empty() ? dialog.EditEndSec : end_};
  }

 private:
  std::string start_, end_;
};

}  // namespace

void CliApp::CmdFindLost(const std::vector<std::string>& words) {
  Args args("find-lost", words, {"--range"}, {"--no-files"});
  args.Expect(1, 1, "find-lost DRIVE [--range FIRST-LAST|all] [--no-files]");
  TFATdrive& drive = DriveArg(args.Positional()[0]);
  std::string start, end;
  if (const auto range = args.Value("--range")) {
    std::uint64_t first = 0, last = 0;
    if (ParseRange(*range, first, last)) {
      if (first < 2 || last > drive.MaxCluster())
        throw CliError(1, "clusters of this drive are 2-" + std::to_string(drive.MaxCluster()));
      start = std::to_string(first);
      end = std::to_string(last);
    } else {
      start = "2";
      end = std::to_string(drive.MaxCluster());
    }
  }
  const bool findFiles = Options().FindLostFiles;
  if (args.Has("--no-files")) Options().FindLostFiles = false;
  RangeAnswer answer(start, end);
  TClusterDialog dialog;
  FindLostData(drive, status_, dialog, answer);
  Options().FindLostFiles = findFiles;
  // The results, as "ls DRIVE / --view lost" shows them.
  CmdLs({args.Positional()[0], "/", "--view", "lost"});
}

void CliApp::CmdFindDrives(const std::vector<std::string>& words) {
  Args args("find-drives", words, {"--range"}, {});
  args.Expect(1, 1, "find-drives DEVICE [--range FIRST-LAST|all]");
  TDevice& device = DeviceArg(args.Positional()[0]);
  TDriveList& drives = Drives();
  TSectorDialog dialog;
  dialog.SetDefaults(device.TotalSectors, device.BytesPerSector);
  std::string start, end;
  if (const auto range = args.Value("--range")) {
    std::uint64_t first = 0, last = 0;
    if (ParseRange(*range, first, last)) {
      if (last >= device.TotalSectors)
        throw CliError(1, "the device has sectors 0-" + std::to_string(device.TotalSectors - 1ull));
      start = std::to_string(first);
      end = std::to_string(last);
    } else {
      start = "0";
      end = std::to_string(device.TotalSectors - 1ull);
    }
  }
  RangeAnswer answer(start, end);
  if (!dialog.Execute(answer)) return;
  if (dialog.RangeStart < 0 || dialog.RangeEnd < 0) throw CliError(1, "the sector range is negative");
  const int before = drives.Count();
  FindLostDrives(device, static_cast<std::uint32_t>(dialog.RangeStart), static_cast<std::uint32_t>(dialog.RangeEnd),
                        drives, &status_);
  if (!json_) std::cerr << "found " << drives.Count() - before << " drive(s)\n";
  // The drive list with what was added, as "drives" shows it.
  CmdDrives({});
}

}  // namespace vantrel::cli
