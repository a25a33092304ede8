#pragma once
// The debug window: the core's TDebugBox drawn as a small tool window that
// stays on top in its corner of the screen.

#include <QWidget>

#include "app/TDebugBox.h"

class QListWidget;

namespace vantrel::ui {

class TDebugBoxForm : public QWidget, public IDebugSink {
  Q_OBJECT
 public:
  TDebugBoxForm();
  void Add(const std::string& text) override;
  // Shows or hides the window; shown, it goes to its corner.
  void SetVisible(bool visible);

  TDebugBox Model;
  QListWidget* ListBox1 = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;
};

}  // namespace vantrel::ui
