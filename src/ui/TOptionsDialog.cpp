#include "ui/TOptionsDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFontComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

namespace vantrel::ui {

TFontChooser::TFontChooser(QWidget* parent) : QDialog(parent) {
  setObjectName("FontDialog1");
  setWindowTitle("字体");
  auto* form = new QFormLayout(this);
  FontName = new QFontComboBox(this);
  FontSize = new QSpinBox(this);
  FontSize->setRange(kMinFontPoints, kMaxFontPoints);
  FontSize->setSuffix(" pt");
  form->addRow("字体：", FontName);
  form->addRow("大小：", FontSize);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText("确定");
  buttons->button(QDialogButtonBox::Cancel)->setText("取消");
  form->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void TFontChooser::SetFont(const QFont& font) {
  FontName->setCurrentFont(font);
  FontSize->setValue(font.pointSize() > 0 ? font.pointSize() : 9);
}

QFont TFontChooser::Font() const {
  QFont font = FontName->currentFont();
  font.setPointSize(FontSize->value());
  return font;
}

QFont ToQFont(const TFontSpec& spec) {
  QFont font(QString::fromStdString(spec.Name));
  font.setPointSize(std::clamp(spec.Size, kMinFontPoints, 72));
  return font;
}

TFontSpec FromQFont(const QFont& font, const TFontSpec& base) {
  TFontSpec spec = base;
  spec.Name = font.family().toStdString();
  spec.SetSize(font.pointSize());
  return spec;
}

namespace {
QLineEdit* ReadOnly(QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setReadOnly(true);
  return edit;
}
}  // namespace

TOptionsDialog::TOptionsDialog(IKeyValueStore& store, QWidget* parent) : QDialog(parent), store_(store) {
  setObjectName("TOptionsDialog");
  setWindowTitle("选项");
  auto* layout = new QVBoxLayout(this);
  PageControl1 = new QTabWidget(this);
  layout->addWidget(PageControl1);

  // 显示
  auto* display = new QWidget;
  auto* displayLayout = new QVBoxLayout(display);
  auto* fileList = new QGroupBox("文件列表", display);
  auto* fileListLayout = new QGridLayout(fileList);
  fileListLayout->addWidget(new QLabel("字体：", fileList), 0, 0);
  EditFont = ReadOnly(fileList);
  EditFont->setObjectName("EditFont");
  fileListLayout->addWidget(EditFont, 0, 1);
  auto* select = new QPushButton("选择...", fileList);
  select->setObjectName("ButtonSelectFont");
  fileListLayout->addWidget(select, 0, 2);
  fileListLayout->addWidget(new QLabel("示例：", fileList), 1, 0);
  PanelSample = new QLabel("AaBbYyZz", fileList);
  PanelSample->setObjectName("PanelSample");
  PanelSample->setFrameShape(QFrame::Panel);
  PanelSample->setFrameShadow(QFrame::Sunken);
  PanelSample->setAlignment(Qt::AlignCenter);
  PanelSample->setMinimumHeight(40);
  fileListLayout->addWidget(PanelSample, 1, 1, 1, 2);
  displayLayout->addWidget(fileList);
  displayLayout->addStretch();
  PageControl1->addTab(display, "显示");

  // 文件
  auto* files = new QWidget;
  auto* filesLayout = new QVBoxLayout(files);
  auto* deleted = new QGroupBox("删除字符", files);
  auto* deletedLayout = new QGridLayout(deleted);
  RadioButtonCharAnsi = new QRadioButton("1 字节 (Ansi)：", deleted);
  RadioButtonCharMultibyte = new QRadioButton("2 字节 (multi-byte)：", deleted);
  EditDeletedCharAnsi = new QLineEdit(deleted);
  EditDeletedCharAnsi->setMaxLength(1);
  EditDeletedCharMultibyte = new QLineEdit(deleted);
  EditDeletedCharMultibyte->setMaxLength(2);
  deletedLayout->addWidget(RadioButtonCharAnsi, 0, 0);
  deletedLayout->addWidget(EditDeletedCharAnsi, 0, 1);
  deletedLayout->addWidget(RadioButtonCharMultibyte, 1, 0);
  deletedLayout->addWidget(EditDeletedCharMultibyte, 1, 1);
  filesLayout->addWidget(deleted);
  auto* lost = new QGroupBox("丢失的文件", files);
  auto* lostLayout = new QGridLayout(lost);
  CheckBoxFindLostFiles = new QCheckBox("找到丢失的文件", lost);
  lostLayout->addWidget(CheckBoxFindLostFiles, 0, 0, 1, 2);
  lostLayout->addWidget(new QLabel("（从目录中没有引用的文件）", lost), 1, 0, 1, 2);
  lostLayout->addWidget(new QLabel("默认文件大小：", lost), 2, 0);
  EditLostDefaultSize = new QLineEdit(lost);
  EditLostDefaultSize->setObjectName("EditLostDefaultSize");
  lostLayout->addWidget(EditLostDefaultSize, 2, 1);
  filesLayout->addWidget(lost);
  auto* names = new QGroupBox("短文件名", files);
  auto* namesLayout = new QHBoxLayout(names);
  namesLayout->addWidget(new QLabel("代码页：", names));
  EditOemCodePage = new QLineEdit(names);
  EditOemCodePage->setObjectName("EditOemCodePage");
  namesLayout->addWidget(EditOemCodePage);
  filesLayout->addWidget(names);
  auto* saving = new QGroupBox("保存", files);
  auto* savingLayout = new QVBoxLayout(saving);
  CheckBoxKeepDates = new QCheckBox("保留文件和文件夹的修改日期", saving);
  CheckBoxKeepDates->setObjectName("CheckBoxKeepDates");
  CheckBoxWriteReport = new QCheckBox("在目标文件夹中写入恢复报告 (report.xml)", saving);
  CheckBoxWriteReport->setObjectName("CheckBoxWriteReport");
  savingLayout->addWidget(CheckBoxKeepDates);
  savingLayout->addWidget(CheckBoxWriteReport);
  filesLayout->addWidget(saving);
  filesLayout->addStretch();
  PageControl1->addTab(files, "文件");

  // 驱动器访问
  auto* access = new QWidget;
  auto* accessLayout = new QVBoxLayout(access);
  GroupBoxPhysical9X = new QGroupBox("物理驱动器", access);
  auto* physical = new QVBoxLayout(GroupBoxPhysical9X);
  CheckBoxUserINT13 = new QCheckBox("使用BIOS services (INT13)", GroupBoxPhysical9X);
  CheckBoxUserVEV13UDI = new QCheckBox("使用 BIOS services (INT13 Extensions)", GroupBoxPhysical9X);
  physical->addWidget(CheckBoxUserINT13);
  physical->addWidget(CheckBoxUserVEV13UDI);
  accessLayout->addWidget(GroupBoxPhysical9X);
  GroupBoxLogical9X = new QGroupBox("逻辑驱动器", access);
  auto* logical = new QVBoxLayout(GroupBoxLogical9X);
  CheckBoxUserINT25 = new QCheckBox("使用 Windows 'absolute read' services (INT25) ", GroupBoxLogical9X);
  logical->addWidget(CheckBoxUserINT25);
  accessLayout->addWidget(GroupBoxLogical9X);
  LabelOtherPlatform = new QLabel(access);
  LabelOtherPlatform->setWordWrap(true);
  LabelOtherPlatform->setStyleSheet("color: gray;");
  accessLayout->addWidget(LabelOtherPlatform);
  CheckBoxEnableCache = new QCheckBox("启用预读缓存", access);
  CheckBoxEnableWinErrorMsg = new QCheckBox("启用Windows严重的错误消息", access);
  accessLayout->addWidget(CheckBoxEnableCache);
  accessLayout->addWidget(CheckBoxEnableWinErrorMsg);
  accessLayout->addStretch();
  PageControl1->addTab(access, "驱动器访问");

  auto* buttons = new QHBoxLayout;
  auto* save = new QPushButton("保存", this);
  save->setObjectName("ButtonSave");
  auto* ok = new QPushButton("确定", this);
  ok->setObjectName("OKBtn");
  ok->setDefault(true);
  auto* cancel = new QPushButton("取消", this);
  cancel->setObjectName("CancelBtn");
  buttons->addWidget(save);
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);

  connect(select, &QPushButton::clicked, this, &TOptionsDialog::ButtonSelectFontClick);
  connect(save, &QPushButton::clicked, this, &TOptionsDialog::ButtonSaveClick);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TOptionsDialog::Load(const TOptionsDialogValues& v) {
  values_ = v;
  CheckBoxUserINT13->setChecked(v.CheckBoxUserINT13);
  CheckBoxUserVEV13UDI->setChecked(v.CheckBoxUserVEV13UDI);
  CheckBoxUserINT25->setChecked(v.CheckBoxUserINT25);
  CheckBoxEnableCache->setChecked(v.CheckBoxEnableCache);
  CheckBoxEnableWinErrorMsg->setChecked(v.CheckBoxEnableWinErrorMsg);
  PanelSample->setFont(ToQFont(v.PanelSampleFont));
  EditFont->setText(QString::fromStdString(v.EditFont));
  EditLostDefaultSize->setText(QString::fromStdString(v.EditLostDefaultSize));
  EditDeletedCharAnsi->setText(QString::fromStdString(v.EditDeletedCharAnsi));
  EditDeletedCharMultibyte->setText(QString::fromStdString(v.EditDeletedCharMultibyte));
  RadioButtonCharAnsi->setChecked(v.RadioButtonCharAnsi);
  RadioButtonCharMultibyte->setChecked(v.RadioButtonCharMultibyte);
  CheckBoxFindLostFiles->setChecked(v.CheckBoxFindLostFiles);
  EditOemCodePage->setText(QString::fromStdString(v.EditOemCodePage));
  CheckBoxKeepDates->setChecked(v.CheckBoxKeepDates);
  CheckBoxWriteReport->setChecked(v.CheckBoxWriteReport);
  GroupBoxPhysical9X->setEnabled(v.Groups9XEnabled);
  GroupBoxLogical9X->setEnabled(v.Groups9XEnabled);
  LabelOtherPlatform->setText(v.Groups9XEnabled ? QString()
                                                : "“物理驱动器”和“逻辑驱动器”的设置只用于 Windows 9x 系统，"
                                                  "在本系统上不起作用（其值仍会保存）。");
}

TOptionsDialogValues TOptionsDialog::Collect() const {
  TOptionsDialogValues v = values_;
  v.CheckBoxUserINT13 = CheckBoxUserINT13->isChecked();
  v.CheckBoxUserVEV13UDI = CheckBoxUserVEV13UDI->isChecked();
  v.CheckBoxUserINT25 = CheckBoxUserINT25->isChecked();
  v.CheckBoxEnableCache = CheckBoxEnableCache->isChecked();
  v.CheckBoxEnableWinErrorMsg = CheckBoxEnableWinErrorMsg->isChecked();
  v.EditFont = EditFont->text().toStdString();
  v.EditLostDefaultSize = EditLostDefaultSize->text().toStdString();
  v.EditDeletedCharAnsi = EditDeletedCharAnsi->text().toStdString();
  v.EditDeletedCharMultibyte = EditDeletedCharMultibyte->text().toStdString();
  v.RadioButtonCharAnsi = RadioButtonCharAnsi->isChecked();
  v.RadioButtonCharMultibyte = RadioButtonCharMultibyte->isChecked();
  v.CheckBoxFindLostFiles = CheckBoxFindLostFiles->isChecked();
  v.EditOemCodePage = EditOemCodePage->text().toStdString();
  v.CheckBoxKeepDates = CheckBoxKeepDates->isChecked();
  v.CheckBoxWriteReport = CheckBoxWriteReport->isChecked();
  return v;
}

void TOptionsDialog::ButtonSelectFontClick() {
  TFontChooser chooser(this);
  chooser.SetFont(PanelSample->font());
  if (chooser.exec() != QDialog::Accepted) return;
  const QFont font = chooser.Font();
  values_.PanelSampleFont = FromQFont(font, values_.PanelSampleFont);
  PanelSample->setFont(font);
  EditFont->setText(font.family());
}

void TOptionsDialog::ButtonSaveClick() {
  // The warning and the writing belong to the options; the dialog stays open.
  OptionsDialogSaveClick(Collect(), Options(), store_);
}

bool TOptionsDialog::ShowModal(TOptionsDialogValues& values) {
  Load(values);
  const bool ok = exec() == QDialog::Accepted;
  values = Collect();
  return ok;
}

}  // namespace vantrel::ui
