#include "ui/TWelcomeDialog.h"

#include <QAction>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ui/DriveDialogs.h"
#include "ui/Icons.h"
#include "ui/QtFrontEnd.h"
#include "ui/TMainForm.h"

namespace vantrel::ui {

namespace {

QString Steps(const QString& heading, const QString& note, const QStringList& steps) {
  QString html = "<b>" + heading.toHtmlEscaped() + "</b>";
  if (!note.isEmpty()) html += "<br>" + note.toHtmlEscaped();
  html += "<ul style=\"margin-left: 0px; -qt-list-indent: 1;\">";
  for (const QString& step : steps) html += "<li>" + step.toHtmlEscaped() + "</li>";
  return html + "</ul>";
}

QToolButton* PictureButton(const QIcon& icon, const char* name, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setObjectName(name);
  button->setIcon(icon);
  button->setIconSize(QSize(48, 48));
  button->setFixedSize(73, 73);
  return button;
}

}  // namespace

TWelcomeDialog::TWelcomeDialog(TMainForm& main, QWidget* parent) : QDialog(parent), main_(main) {
  setObjectName("TWelcomeDialog");
  setWindowTitle(QString("欢迎使用") + kApplicationTitle);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  auto* layout = new QHBoxLayout(this);
  Image1 = new QLabel(this);
  Image1->setObjectName("Image1");
  Image1->setPixmap(DriveImage(1).pixmap(96, 96));
  Image1->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
  Image1->setStyleSheet("background: #20407a; padding: 16px;");
  layout->addWidget(Image1);

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(12);
  ButtonUndelete = PictureButton(ItemImage(8), "ButtonUndelete", this);
  ButtonFindLostData = PictureButton(ToolImage(3), "ButtonFindLostData", this);
  ButtonFindLostDrive = PictureButton(DriveImage(1), "ButtonFindLostDrive", this);
  const QString texts[3] = {
      Steps("恢复删除的文件", "", {"选择一个逻辑驱动器", "选择一个被删除的文件或文件夹", "保存您的文件"}),
      Steps("查找丢失的数据", "（数据丢失，由于快速格式化，系统崩溃等）",
            {"选择一个逻辑驱动器", "查找丢失的数据", "选择您丢失的文件或文件夹", "保存您的文件"}),
      Steps("查找丢失的驱动器", "（分区表丢失）",
            {"选择一个物理驱动器", "查找逻辑驱动器", "选择您的文件", "保存您的文件"})};
  QToolButton* buttons[3] = {ButtonUndelete, ButtonFindLostData, ButtonFindLostDrive};
  for (int i = 0; i < 3; ++i) {
    grid->addWidget(buttons[i], i, 0, Qt::AlignTop);
    auto* label = new QLabel(texts[i], this);
    label->setTextFormat(Qt::RichText);
    label->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    grid->addWidget(label, i, 1);
  }
  auto* right = new QVBoxLayout;
  right->addLayout(grid);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch();
  OKBtn = new QPushButton("确定", this);
  OKBtn->setObjectName("OKBtn");
  OKBtn->setDefault(true);
  bottom->addWidget(OKBtn);
  right->addLayout(bottom);
  layout->addLayout(right);

  connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(ButtonUndelete, &QToolButton::clicked, this, &TWelcomeDialog::ButtonUndeleteClick);
  connect(ButtonFindLostData, &QToolButton::clicked, this, &TWelcomeDialog::ButtonFindLostDataClick);
  connect(ButtonFindLostDrive, &QToolButton::clicked, this, &TWelcomeDialog::ButtonFindLostDriveClick);
}

bool TWelcomeDialog::Execute() { return exec() == QDialog::Accepted; }

void TWelcomeDialog::ButtonUndeleteClick() {
  hide();
  main_.MenuDriveClick();
  if (main_.FViewState == 2 && main_.FDeletedNode) {
    main_.TreeView->setFocus();
    main_.TreeView->setCurrentItem(main_.FDeletedNode);
    main_.FDeletedNode->setExpanded(true);
  }
  done(QDialog::Accepted);
}

void TWelcomeDialog::ButtonFindLostDataClick() {
  hide();
  main_.MenuDriveClick();
  if (main_.ButtonFindLostData->isEnabled() && main_.FViewState == 2 && main_.FLostNode) {
    main_.TreeView->setCurrentItem(main_.FLostNode);
    main_.TreeView->setFocus();
    main_.MenuFindLostDataClick();
  }
  done(QDialog::Accepted);
}

void TWelcomeDialog::ButtonFindLostDriveClick() {
  hide();
  // The user starts on the devices, to search one of them for lost drives.
  main_.DriveDlg->FirstPage = 1;
  main_.MenuDriveClick();
  main_.DriveDlg->FirstPage = 0;
  if (main_.FViewState == 2 && main_.FRootNode) {
    main_.TreeView->setCurrentItem(main_.FRootNode);
    main_.TreeView->setFocus();
    main_.FRootNode->setExpanded(true);
  }
  done(QDialog::Accepted);
}

}  // namespace vantrel::ui
