#pragma once
// What the core shows the user and writes to the debug window, kept for a
// test to look at. Each recorder installs itself for its lifetime.

#include <string>
#include <vector>

#include "common/DebugLog.h"
#include "common/UserInterface.h"

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

}  // namespace vantrel::test
