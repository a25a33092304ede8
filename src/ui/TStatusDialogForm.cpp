#include "ui/TStatusDialogForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWindow>

namespace vantrel::ui {

TStatusDialogForm::TStatusDialogForm(TStatusDialog& model, QWidget* parent) : QDialog(parent), model_(model) {
  setObjectName("TStatusDialog");
  setModal(false);
  auto* outer = new QVBoxLayout(this);
  auto* bevel = new QFrame(this);
  bevel->setObjectName("Bevel1");
  bevel->setFrameShape(QFrame::StyledPanel);
  auto* inner = new QVBoxLayout(bevel);
  for (int i = 0; i < 5; ++i) {
    labels_[i] = new QLabel(bevel);
    labels_[i]->setObjectName(QString("Label%1").arg(i + 1));
    labels_[i]->setMinimumWidth(265);
    if (i == 4) {
      ProgressBar1 = new QProgressBar(bevel);
      ProgressBar1->setObjectName("ProgressBar1");
      ProgressBar1->setRange(0, 100);
      inner->addWidget(ProgressBar1);
    }
    inner->addWidget(labels_[i]);
  }
  labels_[0]->setWordWrap(true);
  labels_[0]->setMinimumHeight(33);
  outer->addWidget(bevel);
  CancelBtn = new QPushButton("取消", this);
  CancelBtn->setObjectName("CancelBtn");
  outer->addWidget(CancelBtn, 0, Qt::AlignHCenter);
  connect(CancelBtn, &QPushButton::clicked, this, [this] { model_.CancelBtnClick(); });
  setFixedWidth(313);
  model_.SetView(this);
}

QLabel* TStatusDialogForm::Label(int line) const {
  return line >= 1 && line <= 5 ? labels_[line - 1] : nullptr;
}

void TStatusDialogForm::SetCaption(const std::string& text) { setWindowTitle(QString::fromStdString(text)); }

void TStatusDialogForm::SetLine(int line, const std::string& text) {
  if (QLabel* label = Label(line); label && line <= 4) label->setText(QString::fromStdString(text));
}

void TStatusDialogForm::SetProgressVisible(bool visible) { ProgressBar1->setVisible(visible); }

void TStatusDialogForm::SetProgress(int percent) { ProgressBar1->setValue(percent); }

void TStatusDialogForm::SetRemainingText(const std::string& text) {
  labels_[4]->setText(QString::fromStdString(text));
}

void TStatusDialogForm::ShowWindow() {
  // The window stands over whatever started the work (the main window or a
  // dialog over it), and none of them takes a command until the work ends:
  // no disk operation may start from a message handled during another.
  QWidget* owner = QApplication::activeModalWidget();
  if (!owner) owner = QApplication::activeWindow();
  if (owner == this) owner = nullptr;
  setWindowModality(Qt::ApplicationModal);
  show();
  if (owner && windowHandle() && owner->window()->windowHandle())
    windowHandle()->setTransientParent(owner->window()->windowHandle());
  raise();
  activateWindow();
}

void TStatusDialogForm::HideWindow() { hide(); }

void TStatusDialogForm::reject() { model_.CancelBtnClick(); }

void TStatusDialogForm::closeEvent(QCloseEvent* event) {
  // The operation hides the window when it has stopped.
  model_.CancelBtnClick();
  event->ignore();
}

}  // namespace vantrel::ui
