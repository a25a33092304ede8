#include "cli/TerminalUi.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <iostream>

#include "common/Routines.h"

namespace vantrel::cli {

#ifdef _WIN32
namespace {
// A console, not any character device: the C runtime's _isatty is also true
// for NUL, and a run with its input from NUL would wait for answers there.
bool IsConsole(DWORD which) {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}
}  // namespace
bool StdinIsTerminal() { return IsConsole(STD_INPUT_HANDLE); }
bool StderrIsTerminal() { return IsConsole(STD_ERROR_HANDLE); }
#else
bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }
bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }
#endif

std::string TerminalText(const std::string& text, bool keepLineBreaks) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t len = Utf8SequenceLength(text, pos);
    const auto b = static_cast<unsigned char>(text[pos]);
    bool control = false;
    if (len == 1) {
      control = (b < 0x20 && !(keepLineBreaks && b == '\n')) || b == 0x7F;
    } else if (len == 2) {
      control = b == 0xC2 && static_cast<unsigned char>(text[pos + 1]) < 0xA0;  // U+0080..U+009F
    } else if (len == 0) {
      control = b >= 0x80 && b < 0xA0;  // a stray byte that reads as C1 outside UTF-8
    }
    if (control) {
      out += '?';
    } else {
      out.append(text, pos, len == 0 ? 1 : len);
    }
    pos += len == 0 ? 1 : len;
  }
  return out;
}

std::size_t ColumnsOf(char32_t c) {
  // Combining marks take no column of their own.
  if ((c >= 0x0300 && c <= 0x036F) || c == 0x200B || c == 0x200D || (c >= 0xFE00 && c <= 0xFE0F)) return 0;
  // East Asian wide and full-width characters take two.
  const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
                    (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
                    (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
                    (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
                    (c >= 0x20000 && c <= 0x3FFFD);
  return wide ? 2 : 1;
}

std::string Pad(const std::string& text, std::size_t width) {
  const std::string shown = TerminalText(text);
  const std::u32string codes = Utf8ToCodePoints(shown);
  std::size_t columns = 0;
  for (char32_t c : codes) columns += ColumnsOf(c);
  if (columns < width || width < 3) return columns >= width ? shown + " " : shown + std::string(width - columns, ' ');
  // Too wide for its column: cut, marked with "…", so that the columns
  // after it stay in line; one column stays free to part them.
  std::string cut;
  std::size_t used = 0;
  for (std::size_t i = 0, pos = 0; i < codes.size(); ++i) {
    const std::size_t w = ColumnsOf(codes[i]);
    if (used + w > width - 2) break;
    const std::size_t len = std::max<std::size_t>(Utf8SequenceLength(shown, pos), 1);
    cut.append(shown, pos, len);
    pos += len;
    used += w;
  }
  return cut + "…" + std::string(width - 1 - used, ' ');
}

std::string PlainText(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += '\n';
    } else {
      out += text[i];
    }
  }
  return out;
}

TPromptAnswer TerminalPrompt::AskAbortRetryIgnore(const std::string& caption, const std::string& text) {
  OnError mode = mode_;
  if (mode == OnError::Ask && !StdinIsTerminal()) mode = OnError::Abort;
  switch (mode) {
    case OnError::Abort: return Note(caption, text, TPromptAnswer::Abort);
    case OnError::Ignore: return Note(caption, text, TPromptAnswer::Ignore);
    case OnError::Retry:
      // A medium that keeps failing must not hold an unattended run forever.
      if (text == lastText_) {
        if (++retries_ > 3) {
          retries_ = 0;
          return Note(caption, text, TPromptAnswer::Abort);
        }
      } else {
        lastText_ = text;
        retries_ = 1;
      }
      return TPromptAnswer::Retry;
    case OnError::Ask: break;
  }
  std::cerr << caption << ": " << PlainText(text) << "\n";
  for (;;) {
    std::cerr << "[a]bort, [r]etry or [i]gnore? " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return TPromptAnswer::Abort;
    if (answer == "a" || answer == "A") return TPromptAnswer::Abort;
    if (answer == "r" || answer == "R") return TPromptAnswer::Retry;
    if (answer == "i" || answer == "I") return TPromptAnswer::Ignore;
  }
}

TPromptAnswer TerminalPrompt::Note(const std::string& caption, const std::string& text, TPromptAnswer answer) {
  ++failures_;
  if (answer == TPromptAnswer::Abort) aborted_ = true;
  if (first_.empty()) {
    // The prompt's lines without its question, on one line.
    std::string details;
    for (char c : PlainText(text)) {
      if (c != '\n') {
        details += c;
      } else if (!details.empty() && details.back() != ' ') {
        details += ", ";
      }
    }
    const std::size_t question = details.find("Abort, Retry or Ignore?");
    if (question != std::string::npos) details.erase(question);
    while (!details.empty() && (details.back() == ' ' || details.back() == ',')) details.pop_back();
    first_ = caption + (details.empty() ? "" : ", " + details);
  }
  return answer;
}

std::string TerminalPrompt::Summary() const {
  if (failures_ == 0) return "";
  return std::to_string(failures_) + " read(s) failed, the first: " + first_ +
         (aborted_ ? " (aborted)" : " (ignored)");
}

TMsgResult TerminalMessageBox::Show(const std::string& text, const std::string& caption, TMsgType type,
                                    TMsgButtons buttons) {
  if (!Unprinted.empty() && text.rfind(Unprinted, 0) == 0 && buttons == TMsgButtons::mbOK) {
    if (type == TMsgType::mtWarning || type == TMsgType::mtError) ++Warnings;
    return TMsgResult::mrOK;
  }
  const std::string head = caption.empty() ? std::string() : caption + ": ";
  std::cerr << TerminalText(head) << TerminalText(PlainText(text), true) << "\n";
  if (type == TMsgType::mtWarning || type == TMsgType::mtError) ++Warnings;
  if (buttons == TMsgButtons::mbOK) return TMsgResult::mrOK;
  if (!Interactive || !StdinIsTerminal()) {
    TMsgResult answer = PresetAnswer;
    // A plain yes/no question (writing onto the examined device) is never
    // answered "yes" on the user's behalf by an overwrite policy.
    if (buttons == TMsgButtons::mbYesNo && answer == TMsgResult::mrAll) answer = TMsgResult::mrNo;
    const char* word = answer == TMsgResult::mrYes ? "yes" : answer == TMsgResult::mrAll ? "all" : "no";
    std::cerr << "  -> " << word << "\n";
    return answer;
  }
  for (;;) {
    std::cerr << (buttons == TMsgButtons::mbYesNoAll      ? "[y]es, [n]o or [a]ll? "
                  : buttons == TMsgButtons::mbYesNoCancel ? "[y]es, [n]o or [c]ancel? "
                                                          : "[y]es or [n]o? ")
              << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return TMsgResult::mrNo;
    if (answer == "y" || answer == "Y") return TMsgResult::mrYes;
    if (answer == "n" || answer == "N") return TMsgResult::mrNo;
    if (buttons == TMsgButtons::mbYesNoAll && (answer == "a" || answer == "A")) return TMsgResult::mrAll;
    if (buttons == TMsgButtons::mbYesNoCancel && (answer == "c" || answer == "C")) return TMsgResult::mrCancel;
  }
}

void StderrDebugSink::Add(const std::string& text) {
  std::cerr << "debug: " << TerminalText(text, true);
  if (text.empty() || text.back() != '\n') std::cerr << "\n";
}

void TerminalStatusView::SetLine(int line, const std::string& text) {
  if (line == 1) line1_ = text;
}

void TerminalStatusView::SetProgress(int percent) {
  percent_ = percent;
  Draw();
}

void TerminalStatusView::SetRemainingText(const std::string& text) { remaining_ = text; }

void TerminalStatusView::Draw() {
  if (!enabled_) return;
  // Saving refreshes at every piece; the line is redrawn only when it changes.
  const std::string line = caption_ + " " + std::to_string(percent_) + "%" + remaining_;
  if (drawn_ && line == lastLine_) return;
  lastLine_ = line;
  std::cerr << "\r\033[K" << caption_ << " " << percent_ << "%";
  if (!remaining_.empty()) std::cerr << "  " << remaining_;
  std::cerr << std::flush;
  drawn_ = true;
}

void TerminalStatusView::HideWindow() {
  if (enabled_ && drawn_) std::cerr << "\r\033[K" << std::flush;
  drawn_ = false;
}

}  // namespace vantrel::cli
