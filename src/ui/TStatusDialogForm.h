#pragma once
// The progress window: the core's TStatusDialog drawn as a non-modal dialog.
// Cancel, Esc and closing the window all set the dialog's Cancelled.

#include <QDialog>

#include "host/TStatusDialog.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace vantrel::ui {

class TStatusDialogForm : public QDialog, public IStatusView {
  Q_OBJECT
 public:
  explicit TStatusDialogForm(TStatusDialog& model, QWidget* parent = nullptr);

  void SetCaption(const std::string& text) override;
  void SetLine(int line, const std::string& text) override;
  void SetProgressVisible(bool visible) override;
  void SetProgress(int percent) override;
  void SetRemainingText(const std::string& text) override;
  void ShowWindow() override;
  void HideWindow() override;

  QLabel* Label(int line) const;  // 1..5
  QProgressBar* ProgressBar1 = nullptr;
  QPushButton* CancelBtn = nullptr;

 protected:
  void reject() override;  // Esc
  void closeEvent(QCloseEvent* event) override;

 private:
  TStatusDialog& model_;
  QLabel* labels_[5] = {};
};

}  // namespace vantrel::ui
