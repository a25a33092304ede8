#pragma once
// vantrel-cli: the command-line front end. Commands joined by "then" run in
// one process and share what earlier ones found, as the window does.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/Args.h"
#include "cli/TerminalUi.h"
#include "devices/TDevice.h"
#include "host/TStatusDialog.h"
#include "recovery/TDriveList.h"

namespace vantrel {
class TFATdrive;
class TFATDirectory;
class TFSObject;
}  // namespace vantrel

namespace vantrel::cli {

enum class View { Live, Deleted, Lost };

class CliApp {
 public:
  CliApp();
  ~CliApp();
  int Main(int argc, char** argv);

 private:
  using Handler = std::function<void(const std::vector<std::string>&)>;
  void Register(const std::string& name, Handler handler) { commands_[name] = std::move(handler); }
  // Takes the global options out of the words and splits the rest into
  // commands at "then"; false when the usage is asked for.
  bool ParseCommandLine(const std::vector<std::string>& words, std::vector<std::vector<std::string>>& commands);
  // Installs the terminal's prompt, message box and debug log and loads the settings.
  void StartFrontEnd();
  void RunCommand(const std::vector<std::string>& words);
  // "; " and the summary of the reads that failed without a question and of
  // the listings they cut short, if any.
  std::string ReadFailures() const;
  // What the end of the run says about failed reads; empty when none failed.
  std::string FailureSummary() const;
  // Chain reads of all FAT drives listed so far that an unreadable sector cut short.
  std::uint32_t ChainReadFailures() const;

  // The machine's devices, detected on first use.
  TDeviceList& Devices();
  // The drives of every device, scanned on first use.
  TDriveList& Drives();
  // Device by its number in "devices" (counted from 1).
  TDevice& DeviceArg(const std::string& text);
  // Marks the sectors an imaging map does not hold as rescued unreadable.
  void ApplyImagingMap(TDevice& device, const std::string& mapPath);
  // FAT drive by its number in "drives" (counted from 1).
  TFATdrive& DriveArg(const std::string& text);

  static View ViewArg(const Args& args);
  static TFATDirectory& ViewTop(TFATdrive& drive, View view);
  // The item at a path of display names from the view's top; null for the top itself.
  TFSObject* Resolve(TFATdrive& drive, View view, const std::string& path);
  std::uint8_t FATChoiceArg(const Args& args, TFATdrive& drive, View view);

  void CmdDevices(const std::vector<std::string>& words);
  void CmdRead(const std::vector<std::string>& words);
  void CmdDrives(const std::vector<std::string>& words);
  void CmdLs(const std::vector<std::string>& words);
  void CmdFind(const std::vector<std::string>& words);
  void CmdSave(const std::vector<std::string>& words);
  void CmdCat(const std::vector<std::string>& words, bool hex);
  void CmdFindLost(const std::vector<std::string>& words);
  void CmdFindDrives(const std::vector<std::string>& words);
  void CmdImage(const std::vector<std::string>& words);

  std::map<std::string, Handler> commands_;
  std::vector<std::string> images_;
  // The imaging map given with --map right after an image ("" for none):
  // the sectors it does not hold as rescued are unreadable, never read.
  std::vector<std::string> imageMaps_;
  bool onlyImages_ = false;
  bool json_ = false;
  bool debug_ = false;
  std::string codePage_;
  OnError onError_ = OnError::Ask;

  std::unique_ptr<TerminalPrompt> prompt_;
  TerminalMessageBox messageBox_;
  StderrDebugSink debugSink_;
  TerminalStatusView statusView_{StderrIsTerminal()};
  TStatusDialog status_{&statusView_};
  TDeviceList devices_;
  TDriveList drives_;
  bool detected_ = false;
  bool scanned_ = false;
  // Listings, searches and saves of this run cut short by an unreadable sector.
  std::uint32_t cutShort_ = 0;
};

// The name of a view as the command line spells it.
const char* ViewName(View view);

}  // namespace vantrel::cli
