#include "ui/TFindDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace vantrel::ui {

TFindDialog::TFindDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("TFindDialog");
  setWindowTitle("查找");
  setModal(false);
  auto* layout = new QGridLayout(this);
  layout->addWidget(new QLabel("名称：", this), 0, 0);
  EditName = new QLineEdit(this);
  EditName->setObjectName("EditName");
  layout->addWidget(EditName, 0, 1);
  layout->addWidget(new QLabel("提示：", this), 1, 0);
  layout->addWidget(new QLabel("可通过文件掩码搜索。", this), 1, 1);
  layout->addWidget(new QLabel("扫描中：", this), 2, 0);
  LabelScanning = new QLabel(this);
  LabelScanning->setObjectName("LabelScanning");
  LabelScanning->setMinimumWidth(260);
  layout->addWidget(LabelScanning, 2, 1);
  auto* found = new QHBoxLayout;
  found->addWidget(new QLabel("已查找到：", this));
  LabelHits = new QLabel(this);
  LabelHits->setObjectName("LabelHits");
  found->addWidget(LabelHits);
  found->addStretch();
  layout->addLayout(found, 3, 0, 1, 2);
  ListBoxFound = new QListWidget(this);
  ListBoxFound->setObjectName("ListBoxFound");
  ListBoxFound->setMinimumHeight(110);
  layout->addWidget(ListBoxFound, 4, 0, 1, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  ButtonStart = new QPushButton("开始(&S)", this);
  ButtonStart->setObjectName("ButtonStart");
  ButtonStart->setDefault(true);
  ButtonCancel = new QPushButton("取消(&C)", this);
  ButtonCancel->setObjectName("ButtonCancel");
  buttons->addWidget(ButtonStart);
  buttons->addWidget(ButtonCancel);
  layout->addLayout(buttons, 5, 0, 1, 2);
  connect(ButtonStart, &QPushButton::clicked, this, &TFindDialog::ButtonStartClick);
  connect(ButtonCancel, &QPushButton::clicked, this, &TFindDialog::ButtonCancelClick);
}

bool TFindDialog::Execute() {
  cancelled_ = false;
  started_ = false;
  ButtonStart->setEnabled(true);
  EditName->setEnabled(true);
  EditName->setPalette(QPalette());
  LabelScanning->clear();
  LabelHits->clear();
  ListBoxFound->clear();
  show();
  raise();
  activateWindow();
  // Not modal: the window goes on processing its events while the user types.
  while (!cancelled_ && !started_ && isVisible()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  // Hidden by someone else (the window closing) counts as cancelled.
  if (!started_) cancelled_ = true;
  if (cancelled_) hide();
  return started_;
}

void TFindDialog::ButtonStartClick() {
  EditName->setEnabled(false);
  QPalette locked = EditName->palette();
  locked.setColor(QPalette::Base, palette().color(QPalette::Window));
  EditName->setPalette(locked);
  ButtonStart->setEnabled(false);
  ButtonCancel->setFocus();
  mask_ = NormalizeFindMask(EditName->text().toStdString());
  started_ = true;
}

void TFindDialog::ButtonCancelClick() { cancelled_ = true; }

void TFindDialog::reject() { ButtonCancelClick(); }

void TFindDialog::closeEvent(QCloseEvent* event) {
  // Closing the window is cancelling; the caller hides it.
  ButtonCancelClick();
  event->ignore();
}

void TFindDialog::AddHit(const std::string& name, const TFSObject&) {
  ListBoxFound->addItem(QString::fromStdString(name));
  const int count = ListBoxFound->count();
  // The last five stay in sight.
  if (count > 5) ListBoxFound->scrollToItem(ListBoxFound->item(count - 5), QAbstractItemView::PositionAtTop);
  LabelHits->setText(QString::number(count));
}

void TFindDialog::SetScanning(const std::string& path) { LabelScanning->setText(QString::fromStdString(path)); }

void TFindDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  EditName->setFocus();
}

}  // namespace vantrel::ui
