#pragma once
// The start-up guide: the three ways of using the program, each a button
// that runs the first steps through the main window's own commands.

#include <QDialog>

class QToolButton;
class QPushButton;
class QLabel;

namespace vantrel::ui {

class TMainForm;

class TWelcomeDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TWelcomeDialog(TMainForm& main, QWidget* parent = nullptr);
  // Shows the guide modally; true when it closed with OK.
  bool Execute();

  void ButtonUndeleteClick();
  void ButtonFindLostDataClick();
  void ButtonFindLostDriveClick();

  QLabel* Image1 = nullptr;
  QToolButton *ButtonUndelete, *ButtonFindLostData, *ButtonFindLostDrive;
  QPushButton* OKBtn = nullptr;

 private:
  TMainForm& main_;
};

}  // namespace vantrel::ui
