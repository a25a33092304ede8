#pragma once
// "关于...": the program's name, version and maker; any key or click closes it.

#include <QDialog>

namespace vantrel::ui {

// The maker's web page named in the about box.
inline constexpr const char* kMakerWebPage = "https://www.haldrim.example/tovask/";

class TAboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TAboutDialog(QWidget* parent = nullptr);
  bool Execute() { return exec() == QDialog::Accepted; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
};

}  // namespace vantrel::ui
