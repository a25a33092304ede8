#include "ui/QtFrontEnd.h"

#include <QApplication>
#include <QIcon>
#include <QFontDatabase>
#include <QHash>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPushButton>
#include <QTranslator>

#include "common/Routines.h"

namespace vantrel::ui {

namespace {

QWidget* DialogParent() {
  if (QWidget* modal = QApplication::activeModalWidget()) return modal;
  return QApplication::activeWindow();
}

}  // namespace

TMsgResult TQtMessageBox::Show(const std::string& text, const std::string& caption, TMsgType type,
                               TMsgButtons buttons) {
  QMessageBox box(DialogParent());
  QString title = QString::fromStdString(caption);
  switch (type) {
    case TMsgType::mtInformation:
      box.setIcon(QMessageBox::Information);
      if (title.isEmpty()) title = "信息";
      break;
    case TMsgType::mtWarning:
      box.setIcon(QMessageBox::Warning);
      if (title.isEmpty()) title = "警告";
      break;
    case TMsgType::mtError:
      box.setIcon(QMessageBox::Critical);
      if (title.isEmpty()) title = "错误";
      break;
    case TMsgType::mtConfirmation:
      box.setIcon(QMessageBox::Question);
      if (title.isEmpty()) title = "确认";
      break;
  }
  box.setWindowTitle(title);
  // The core's texts break lines with "\r" as the other platform does.
  box.setText(QString::fromStdString(text).replace("\r\n", "\n").replace('\r', '\n'));
  QPushButton* all = nullptr;
  switch (buttons) {
    case TMsgButtons::mbOK:
      box.setStandardButtons(QMessageBox::Ok);
      break;
    case TMsgButtons::mbYesNo:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      break;
    case TMsgButtons::mbYesNoAll:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      all = box.addButton("全部", QMessageBox::YesRole);
      break;
    case TMsgButtons::mbYesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      box.setEscapeButton(QMessageBox::Cancel);
      break;
  }
  const int result = box.exec();
  if (all && box.clickedButton() == all) return TMsgResult::mrAll;
  switch (result) {
    case QMessageBox::Yes: return TMsgResult::mrYes;
    case QMessageBox::No: return TMsgResult::mrNo;
    case QMessageBox::Ok: return TMsgResult::mrOK;
    case QMessageBox::Cancel: return TMsgResult::mrCancel;
    default:
      return buttons == TMsgButtons::mbOK            ? TMsgResult::mrOK
             : buttons == TMsgButtons::mbYesNoCancel ? TMsgResult::mrCancel
                                                     : TMsgResult::mrNo;
  }
}

TPromptAnswer TQtErrorPrompt::AskAbortRetryIgnore(const std::string& caption, const std::string& text) {
  QMessageBox box(DialogParent());
  box.setIcon(QMessageBox::Critical);
  box.setWindowTitle(QString::fromStdString(caption));
  box.setText(QString::fromStdString(text).replace("\r\n", "\n").replace('\r', '\n'));
  box.setStandardButtons(QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
  switch (box.exec()) {
    case QMessageBox::Retry: return TPromptAnswer::Retry;
    case QMessageBox::Ignore: return TPromptAnswer::Ignore;
    default: return TPromptAnswer::Abort;
  }
}

std::string MimeTypeName(const std::string& name, bool isDirectory) {
  static QMimeDatabase database;
  if (isDirectory) {
    static const std::string folder = database.mimeTypeForName("inode/directory").comment().toStdString();
    return folder;
  }
  // Lists of thousands of files share a handful of extensions.
  static QHash<QString, std::string> byExtension;
  const QString file = QString::fromStdString(name);
  const qsizetype dot = file.lastIndexOf('.');
  const QString extension = dot < 0 ? QString() : file.mid(dot).toLower();
  if (extension.isEmpty()) return {};
  auto it = byExtension.constFind(extension);
  if (it != byExtension.constEnd()) return *it;
  const QMimeType type = database.mimeTypeForFile("x" + extension, QMimeDatabase::MatchExtension);
  const std::string text = type.isValid() && !type.isDefault() ? type.comment().toStdString() : std::string();
  byExtension.insert(extension, text);
  return text;
}

void InstallQtFrontEnd() {
  static TQtMessageBox messageBox;
  static TQtErrorPrompt prompt;
  SetMessageBox(&messageBox);
  SetErrorPrompt(&prompt);
  SetProcessMessagesHook([] { QCoreApplication::processEvents(); });
  SetTypeNameLookup(&MimeTypeName);
}

void SetUpIdentity() {
  QApplication::setApplicationName("vantrel");
  // The installed theme's icon where there is one, else the same pictures
  // built into the program.
  QIcon builtIn;
  for (const int size : {16, 32, 48, 64, 128, 256}) builtIn.addFile(QString(":/icons/vantrel-%1.png").arg(size));
  QApplication::setWindowIcon(QIcon::fromTheme("vantrel", builtIn));
  QGuiApplication::setDesktopFileName("org.vantrel.vantrel");
}

void SetUpChinese() {
  QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
  static QTranslator qtbase;
  if (qtbase.load("qtbase_zh_CN", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QCoreApplication::installTranslator(&qtbase);
  // A font that has the Chinese characters, where the system offers one.
  for (const char* family : {"Noto Sans CJK SC", "Noto Sans SC", "WenQuanYi Micro Hei", "Source Han Sans SC"}) {
    if (QFontDatabase::families().contains(family)) {
      QFont font(family);
      font.setPointSize(9);
      QApplication::setFont(font);
      break;
    }
  }
}

}  // namespace vantrel::ui
