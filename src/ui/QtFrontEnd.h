#pragma once
// What the core asks of a front end, answered with Qt: message boxes, the
// abort/retry/ignore question of a failed read, letting the window process
// its events during long loops, and type names from the MIME database.

#include <QWidget>
#include <string>

#include "host/UserInterface.h"
#include "diskio/SectorAccess.h"

namespace vantrel::ui {

class TQtMessageBox : public IMessageBox {
 public:
  TMsgResult Show(const std::string& text, const std::string& caption, TMsgType type,
                  TMsgButtons buttons) override;
};

class TQtErrorPrompt : public IErrorPrompt {
 public:
  TPromptAnswer AskAbortRetryIgnore(const std::string& caption, const std::string& text) override;
};

// Installs the message box, the read-error prompt, the event hook and the
// type-name lookup for the run of the window.
void InstallQtFrontEnd();

// The "类型" text of a name: the MIME database's description of the type
// its extension stands for, empty where there is none.
std::string MimeTypeName(const std::string& name, bool isDirectory);

// The application's title.
inline constexpr const char* kApplicationTitle = "Quorvane数据恢复软件";

// Chinese for Qt's own buttons, a CJK font and the Chinese locale.
void SetUpChinese();

// The program's name, icon and desktop entry. The title is no display name:
// the window system would add " — title" to every caption.
void SetUpIdentity();

}  // namespace vantrel::ui
