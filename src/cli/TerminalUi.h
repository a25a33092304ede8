#pragma once
// The command line's answers to what the core asks: the read-error prompt,
// message boxes and the progress line, on a terminal or from flags.

#include <cstdio>
#include <string>

#include "common/DebugLog.h"
#include "common/TStatusDialog.h"
#include "common/UserInterface.h"
#include "diskio/SectorAccess.h"

namespace vantrel::cli {

enum class OnError { Ask, Abort, Retry, Ignore };

bool StdinIsTerminal();
bool StderrIsTerminal();

class TerminalPrompt : public IErrorPrompt {
 public:
  explicit TerminalPrompt(OnError mode) : mode_(mode) {}
  TPromptAnswer AskAbortRetryIgnore(const std::string& caption, const std::string& text) override;

 private:
  OnError mode_;
  std::string lastText_;
  int retries_ = 0;
};

// Questions are asked on a terminal; elsewhere the preset answer is taken
// (for the overwrite questions: the --overwrite flag).
class TerminalMessageBox : public IMessageBox {
 public:
  TMsgResult Show(const std::string& text, const std::string& caption, TMsgType type,
                  TMsgButtons buttons) override;
  // Answer to Yes/No(/All) questions when no terminal can be asked.
  TMsgResult PresetAnswer = TMsgResult::mrNo;
  bool Interactive = false;
  int Warnings = 0;  // warnings and errors shown
};

class StderrDebugSink : public IDebugSink {
 public:
  void Add(const std::string& text) override;
};

// Draws the progress window as one line on standard error (a terminal only).
class TerminalStatusView : public IStatusView {
 public:
  explicit TerminalStatusView(bool enabled) : enabled_(enabled) {}
  void SetCaption(const std::string& caption) override { caption_ = caption; }
  void SetLine(int line, const std::string& text) override;
  void SetProgressVisible(bool visible) override { barVisible_ = visible; }
  void SetProgress(int percent) override;
  void SetRemainingText(const std::string& text) override;
  void ShowWindow() override {}
  void HideWindow() override;

 private:
  void Draw();
  bool enabled_;
  bool drawn_ = false;
  bool barVisible_ = false;
  int percent_ = 0;
  std::string caption_, line1_, remaining_, lastLine_;
};

// Text with the control characters of "\r\n" pairs turned into plain line breaks.
std::string PlainText(const std::string& text);

}  // namespace vantrel::cli
