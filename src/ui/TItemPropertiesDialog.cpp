#include "ui/TItemPropertiesDialog.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <algorithm>

#include "common/SystemInfo.h"
#include "fs/TFATDirectory.h"
#include "ui/FormParts.h"

namespace vantrel::ui {

namespace {

// Sizes and clusters are 32-bit on the disk: what is typed is held to that.
std::uint32_t ToUInt32(const QString& text) {
  const std::int64_t value = LenientStrToInt(text.toStdString());
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(value, 0, 0xFFFFFFFFLL));
}

}  // namespace

TItemPropertiesDialog::TItemPropertiesDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("TItemPropertiesDialog");
  setWindowTitle("项目属性");
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  EditName = new QLineEdit(this);
  EditName->setObjectName("EditName");
  EditName->setMinimumWidth(260);
  EditCluster = new QLineEdit(this);
  EditCluster->setObjectName("EditCluster");
  EditSize = new QLineEdit(this);
  EditSize->setObjectName("EditSize");
  form->addRow("名称：", EditName);
  form->addRow("蔟：", EditCluster);
  form->addRow("大小：", EditSize);
  LabelVerdict = new QLabel(this);
  LabelVerdict->setObjectName("LabelVerdict");
  form->addRow("校验：", LabelVerdict);
  layout->addLayout(form);
  AddButtonRow(*this, *layout, true);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

bool TItemPropertiesDialog::Execute() {
  EditName->setText(QString::fromStdString(ItemName));
  EditSize->setText(QString::number(ItemSize));
  EditCluster->setText(QString::number(ItemCluster));
  LabelVerdict->setText(QString::fromStdString(ItemVerdict.empty() ? std::string("未校验") : ItemVerdict));
  EditName->setFocus();
  if (exec() != QDialog::Accepted) return false;
  ReadEdits();
  return true;
}

void TItemPropertiesDialog::ReadEdits() {
  ItemName = EditName->text().toStdString();
  ItemCluster = ToUInt32(EditCluster->text());
  ItemSize = ToUInt32(EditSize->text());
}

void PrepareItemProperties(TItemPropertiesDialog& dialog, const TFSObject& item) {
  dialog.ItemName = DisplayNameOf(item);
  if (const auto* file = dynamic_cast<const TFATFile*>(&item)) {
    dialog.ItemSize = file->Size;
    dialog.ItemCluster = file->StartCluster;
    dialog.ItemVerdict = VerdictText(file->Verdict);
    if (file->Verdict == vdDamaged) dialog.ItemVerdict += " (偏移 " + std::to_string(file->BadOffset) + ")";
  } else if (const auto* folder = dynamic_cast<const TFATDirectory*>(&item)) {
    dialog.ItemSize = 0;
    dialog.ItemCluster = folder->StartCluster;
  }
}

void ApplyItemProperties(const TItemPropertiesDialog& dialog, TFSObject& item, const std::string& shownName) {
  if (dialog.ItemName != shownName) item.SetName(dialog.ItemName);
  if (auto* file = dynamic_cast<TFATFile*>(&item)) {
    // Other bytes than those checked: the verdict is to be found again.
    if (file->Size != dialog.ItemSize || file->StartCluster != dialog.ItemCluster) file->Verdict = vdNone;
    file->Size = dialog.ItemSize;
    file->StartCluster = dialog.ItemCluster;
  } else if (auto* folder = dynamic_cast<TFATDirectory*>(&item)) {
    // Entries already read stay as they are; a folder not read yet is read
    // from the new cluster.
    folder->StartCluster = dialog.ItemCluster;
  }
}

}  // namespace vantrel::ui
