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

namespace vantrel::cli {

class CliApp {
 public:
  CliApp();
  ~CliApp();
  int Main(int argc, char** argv);

 private:
  using Handler = std::function<void(const std::vector<std::string>&)>;
  void Register(const std::string& name, Handler handler) { commands_[name] = std::move(handler); }
  void RunCommand(const std::vector<std::string>& words);

  // The machine's devices, detected on first use.
  TDeviceList& Devices();
  // Device by its number in "devices" (counted from 1).
  TDevice& DeviceArg(const std::string& text);

  void CmdDevices(const std::vector<std::string>& words);
  void CmdRead(const std::vector<std::string>& words);

  std::map<std::string, Handler> commands_;
  std::vector<std::string> images_;
  bool onlyImages_ = false;
  bool json_ = false;
  bool debug_ = false;
  OnError onError_ = OnError::Ask;

  std::unique_ptr<TerminalPrompt> prompt_;
  TerminalMessageBox messageBox_;
  StderrDebugSink debugSink_;
  TDeviceList devices_;
  bool detected_ = false;
};

}  // namespace vantrel::cli
