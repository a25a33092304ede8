#include "ui/FormParts.h"

#include <QBoxLayout>
#include <QDialog>
#include <QPushButton>

namespace vantrel::ui {

QPushButton* AddButtonRow(QDialog& dialog, QBoxLayout& layout, bool withCancel) {
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto* ok = new QPushButton("确定", &dialog);
  ok->setObjectName("OKBtn");
  ok->setDefault(true);
  buttons->addWidget(ok);
  QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
  if (withCancel) {
    auto* cancel = new QPushButton("取消", &dialog);
    cancel->setObjectName("CancelBtn");
    buttons->addWidget(cancel);
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
  }
  layout.addLayout(buttons);
  return ok;
}

}  // namespace vantrel::ui
