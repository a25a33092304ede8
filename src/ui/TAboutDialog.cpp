#include "ui/TAboutDialog.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/Icons.h"
#include "ui/QtFrontEnd.h"

namespace vantrel::ui {

TAboutDialog::TAboutDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("TAboutDialog");
  setWindowTitle("关于...");
  auto* layout = new QHBoxLayout(this);
  auto* picture = new QLabel(this);
  picture->setPixmap(DriveImage(1).pixmap(64, 64));
  picture->setAlignment(Qt::AlignTop);
  layout->addWidget(picture);
  auto* texts = new QVBoxLayout;
  auto* title = new QLabel(kApplicationTitle, this);
  title->setStyleSheet("font-size: 16pt; font-weight: bold;");
  texts->addWidget(title);
  texts->addWidget(new QLabel("版本 " VANTREL_VERSION_TEXT, this));
  texts->addWidget(new QLabel("FAT12/16/32 磁盘的数据恢复：只读取，从不写入被检查的磁盘。", this));
  texts->addWidget(new QLabel(QString("Haldrim  ") + kMakerWebPage, this));
  auto* hint = new QLabel("按任意键或单击关闭。", this);
  hint->setStyleSheet("color: gray;");
  texts->addWidget(hint);
  layout->addLayout(texts);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  // Clicks on the texts reach the form.
  for (QLabel* label : findChildren<QLabel*>()) label->setAttribute(Qt::WA_TransparentForMouseEvents);
}

void TAboutDialog::keyPressEvent(QKeyEvent* event) {
  event->accept();
  accept();
}

void TAboutDialog::mousePressEvent(QMouseEvent* event) {
  event->accept();
  accept();
}

}  // namespace vantrel::ui
