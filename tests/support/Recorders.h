#pragma once
// What the core shows the user and writes to the debug window, kept for a
// test to look at. Each recorder installs itself for its lifetime.

#include <string>
#include <vector>

#include "common/DebugLog.h"
#include "devices/TDevice.h"
#include "host/TStatusDialog.h"
#include "host/UserInterface.h"

namespace vantrel::test {

struct MessageRecorder : IMessageBox {
  MessageRecorder() { SetMessageBox(this); }
  ~MessageRecorder() override { SetMessageBox(nullptr); }
  TMsgResult Show(const std::string& text, const std::string& caption, TMsgType, TMsgButtons) override {
    shown.push_back(caption + ": " + text);
    return TMsgResult::mrOK;
  }
  std::vector<std::string> shown;  // "caption: text"
};

struct DebugRecorder : IDebugSink {
  DebugRecorder() { SetDebugSink(this); }
  ~DebugRecorder() override { SetDebugSink(nullptr); }
  void Add(const std::string& text) override { lines.push_back(text); }
  bool Has(const std::string& text) const {
    for (const auto& line : lines)
      if (line == text) return true;
    return false;
  }
  std::vector<std::string> lines;
};

// The progress window of a search: records line 1 with the state of the
// device's read-ahead cache at that moment, and presses Cancel when line 1
// reads cancelAt.
struct ProgressRecorder : IStatusView {
  void SetCaption(const std::string&) override {}
  void SetLine(int line, const std::string& text) override {
    if (line != 1) return;
    lines.emplace_back(text, device && device->CacheEnabled);
    if (!cancelAt.empty() && text == cancelAt) dialog->CancelBtnClick();
  }
  void SetProgressVisible(bool) override {}
  void SetProgress(int) override {}
  void SetRemainingText(const std::string&) override {}
  void ShowWindow() override {}
  void HideWindow() override {}

  TStatusDialog* dialog = nullptr;
  const TDevice* device = nullptr;
  std::string cancelAt;
  std::vector<std::pair<std::string, bool>> lines;
};

}  // namespace vantrel::test
