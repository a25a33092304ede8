#pragma once
// What the core asks of a front end: message boxes and letting the window
// process pending events during long loops. The Qt window, the command line
// and the tests each install their own implementation.

#include <string>

namespace vantrel {

enum class TMsgType { mtInformation, mtWarning, mtError, mtConfirmation };
enum class TMsgButtons { mbOK, mbYesNo, mbYesNoAll, mbYesNoCancel };
enum class TMsgResult { mrOK, mrYes, mrNo, mrAll, mrCancel };

class IMessageBox {
 public:
  virtual ~IMessageBox() = default;
  // Caption may be empty: the front end then uses the usual caption of the type.
  virtual TMsgResult Show(const std::string& text, const std::string& caption, TMsgType type,
                          TMsgButtons buttons) = 0;
};

// Installs the message box of the front end (none: every box answers OK/No silently).
void SetMessageBox(IMessageBox* box);
TMsgResult ShowMessageBox(const std::string& text, const std::string& caption, TMsgType type,
                          TMsgButtons buttons = TMsgButtons::mbOK);

// Lets the front end handle pending events (repaints, the Cancel button).
void SetProcessMessagesHook(void (*hook)());
void ProcessMessages();

}  // namespace vantrel
