#pragma once
// "查找": asks for a name or mask, then stays on screen while the volume
// searches, showing where it is, how many items it found and the last ones.

#include <QDialog>

#include "fs/FindDialog.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace vantrel::ui {

class TFindDialog : public QDialog, public IFindDialog {
  Q_OBJECT
 public:
  explicit TFindDialog(QWidget* parent = nullptr);

  // Shows the dialog without blocking the window and waits for the start or
  // cancel button; true when the search is to start (the dialog stays up).
  bool Execute() override;
  const std::string& Mask() const override { return mask_; }
  bool Cancelled() const override { return cancelled_; }
  void AddHit(const std::string& name, const TFSObject& item) override;
  void SetScanning(const std::string& path) override;
  void Hide() override { hide(); }

  bool Started() const { return started_; }
  void ButtonStartClick();
  void ButtonCancelClick();

  QLineEdit* EditName = nullptr;
  QLabel* LabelScanning = nullptr;
  QLabel* LabelHits = nullptr;
  QListWidget* ListBoxFound = nullptr;
  QPushButton* ButtonStart = nullptr;
  QPushButton* ButtonCancel = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void reject() override;  // Esc and the window's close button cancel
  void closeEvent(QCloseEvent* event) override;

 private:
  std::string mask_;
  bool cancelled_ = false;
  bool started_ = false;
};

}  // namespace vantrel::ui
