#include "ui/TDebugBoxForm.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QListWidget>
#include <QScreen>
#include <QVBoxLayout>

namespace vantrel::ui {

TDebugBoxForm::TDebugBoxForm() : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint) {
  setObjectName("TDebugBox");
  setWindowTitle(QString::fromStdString(Model.Caption));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  ListBox1 = new QListWidget(this);
  ListBox1->setObjectName("ListBox1");
  layout->addWidget(ListBox1);
  resize(Model.Width, Model.Height);
}

void TDebugBoxForm::Add(const std::string& text) {
  Model.Add(text);
  // Hex dump rows end in a line feed of their own.
  QString line = QString::fromStdString(Model.Lines().back());
  while (line.endsWith('\n')) line.chop(1);
  ListBox1->addItem(line);
  ListBox1->setCurrentRow(Model.Selected());
}

void TDebugBoxForm::SetVisible(bool visible) {
  Model.Visible = visible;
  if (!visible) {
    hide();
    return;
  }
  resize(Model.Width, Model.Height);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    const TWindowOrigin origin = Model.Origin(area.width(), area.height());
    move(area.left() + origin.Left, area.top() + origin.Top);
  }
  show();
}

void TDebugBoxForm::closeEvent(QCloseEvent* event) {
  // Closing only hides: the lines stay for the next showing.
  Model.Visible = false;
  QWidget::closeEvent(event);
}

}  // namespace vantrel::ui
