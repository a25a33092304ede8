#pragma once
// The command line's answers to what the core asks: the read-error prompt,
// message boxes and the progress line, on a terminal or from flags.

#include <cstdio>
#include <string>

#include "common/DebugLog.h"
#include "diskio/SectorAccess.h"
#include "host/TStatusDialog.h"
#include "host/UserInterface.h"

namespace vantrel::cli {

enum class OnError { Ask, Abort, Retry, Ignore };

bool StdinIsTerminal();
bool StderrIsTerminal();

// Asks on a terminal. Answered by --on-error (or "abort" without a
// terminal), a failed read is not printed: a damaged or cut-off disk fails
// thousands of reads, so they are counted and the run ends with one line
// about them (Summary).
class TerminalPrompt : public IErrorPrompt {
 public:
  explicit TerminalPrompt(OnError mode) : mode_(mode) {}
  TPromptAnswer AskAbortRetryIgnore(const std::string& caption, const std::string& text) override;

  // Reads that failed for good (answered abort or ignore without asking).
  int Failures() const { return failures_; }
  bool Aborted() const { return aborted_; }
  // "N read(s) failed, the first: CAPTION, error no.E, drv:D LBA:L blocks:C (aborted)".
  std::string Summary() const;

 private:
  TPromptAnswer Note(const std::string& caption, const std::string& text, TPromptAnswer answer);
  OnError mode_;
  std::string lastText_;
  int retries_ = 0;
  int failures_ = 0;
  bool aborted_ = false;
  std::string first_;
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
  // Messages starting with this text are counted but not printed (the
  // command prints what they say in its own lines).
  std::string Unprinted;
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

// Text, names from the disk among it, as it may go to a terminal: a control
// character (C0, DEL, C1) would be acted on by the terminal, so each shows as
// '?'. Line breaks stay when keepLineBreaks is set.
std::string TerminalText(const std::string& text, bool keepLineBreaks = false);

// Pads to a number of terminal columns (CJK characters take two); text as
// wide as that or wider gets one blank. Control characters show as by TerminalText.
// Text wider than width - 1 columns is cut and ends in "…".
std::string Pad(const std::string& text, std::size_t width);
// Terminal columns of one character.
std::size_t ColumnsOf(char32_t c);

}  // namespace vantrel::cli
