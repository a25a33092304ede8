#include "ui/DriveDialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <array>

#include "host/RangeDialogs.h"
#include "common/CodePage.h"
#include "common/FATChoice.h"
#include "common/Routines.h"
#include "host/UserInterface.h"
#include "devices/TDevice.h"
#include "recovery/TDriveList.h"
#include "fs/DirEntries.h"
#include "fs/TExFATDirectory.h"
#include "fs/TExFATdrive.h"
#include "fs/TFATdrive.h"
#include "ui/Icons.h"
#include "ui/RangeDialogForms.h"
#include "ui/TMainForm.h"

namespace vantrel::ui {

namespace {

QLabel* GreenNote(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  label->setStyleSheet("color: #008000; font-weight: bold;");
  return label;
}

// Text of a boot record field, up to its first zero byte, in the OEM code
// page that the drive list decodes the label with too.
QString BootText(const TFATdrive& drive, std::size_t offset, std::size_t length) {
  std::size_t end = offset;
  while (end < offset + length && end < drive.BootRecord.size() && drive.BootRecord[end] != 0) ++end;
  if (end <= offset) return {};
  return QString::fromStdString(OemToUtf8(drive.BootRecord.data() + offset, end - offset, OemCodePage()));
}

// The image file behind a disk, as the window added them: disk 0x80 + n is
// image n. Empty for the machine's own disks.
QString ImageFileOf(const TDevice& device, const std::vector<std::string>& images) {
  if (device.Kind != dkBIOS || device.Number < 0x80) return {};
  const std::size_t n = device.Number - 0x80u;
  return n < images.size() ? QFileInfo(QString::fromStdString(images[n])).fileName() : QString();
}

QString WithImageFile(QString caption, const TDevice* device, const std::vector<std::string>& images) {
  const QString file = device ? ImageFileOf(*device, images) : QString();
  return file.isEmpty() ? caption : caption + "  [" + file + "]";
}

int DriveImageOf(std::uint8_t mediaType) {
  switch (mediaType) {
    case 1:
    case 2: return 0;
    case 4: return 3;
    case 5: return 2;
    default: return 1;
  }
}

}  // namespace

// ---- TPreviewDrvDialog ----

TPreviewDrvDialog::TPreviewDrvDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("TPreviewDrvDialog");
  setWindowTitle("预览逻辑驱动器");
  auto* layout = new QVBoxLayout(this);
  auto* form = new QGridLayout;
  const std::array<std::pair<QLineEdit**, const char*>, 6> edits{{{&EditPhysSec, "物理扇区："},
                                                                   {&EditTotalSec, "总扇区："},
                                                                   {&EditSecPerClus, "每簇扇区："},
                                                                   {&EditFAT, "FAT类型："},
                                                                   {&EditOEM, "OEM名称："},
                                                                   {&EditVolLabel, "卷标："}}};
  int i = 0;
  for (const auto& [edit, caption] : edits) {
    *edit = new QLineEdit(this);
    (*edit)->setReadOnly(true);
    form->addWidget(new QLabel(caption, this), i / 2, (i % 2) * 2);
    form->addWidget(*edit, i / 2, (i % 2) * 2 + 1);
    ++i;
  }
  EditPhysSec->setObjectName("EditPhysSec");
  EditTotalSec->setObjectName("EditTotalSec");
  EditSecPerClus->setObjectName("EditSecPerClus");
  EditFAT->setObjectName("EditFAT");
  EditOEM->setObjectName("EditOEM");
  EditVolLabel->setObjectName("EditVolLabel");
  layout->addLayout(form);
  layout->addWidget(new QLabel("根目录（未排序）：", this));
  ListView1 = new QTreeWidget(this);
  ListView1->setObjectName("ListView1");
  ListView1->setRootIsDecorated(false);
  ListView1->setHeaderLabels({"名称", "大小", "修改日期"});
  ListView1->setColumnWidth(0, 160);
  ListView1->setColumnWidth(2, 120);
  ListView1->setMinimumSize(420, 220);
  layout->addWidget(ListView1);
  auto* ok = new QPushButton("确定", this);
  ok->setObjectName("OKBtn");
  ok->setDefault(true);
  layout->addWidget(ok, 0, Qt::AlignRight);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

// An exFAT volume states its fields elsewhere and lists its root by entry sets.
static void FillExFATPreview(TPreviewDrvDialog& d, TExFATdrive& drive) {
  d.EditSecPerClus->setText(QString::number(drive.SectorsPerCluster));
  d.EditVolLabel->setText(QString::fromStdString(drive.Label));
  d.EditFAT->setText(drive.TypeName());
  if (!drive.GeometryValid) return;
  TExFATDirectory root;
  root.Drive = &drive;
  root.StartCluster = drive.RootCluster;
  root.LoadChildren(false, false);
  for (const auto& child : *root.Items) {
    auto* item = new QTreeWidgetItem(d.ListView1);
    item->setText(0, QString::fromStdString(child->Name));
    const auto* file = dynamic_cast<const TFATFile*>(child.get());
    item->setIcon(0, ItemImage(file ? 5 : 0));
    if (file) item->setText(1, QString::number(file->Size));
    const auto* folder = dynamic_cast<const TFATDirectory*>(child.get());
    item->setText(2, QString::fromStdString(file ? FormatDosDateTime(file->Time, file->Date)
                                                 : FormatDosDateTime(folder->Time, folder->Date)));
  }
}

bool TPreviewDrvDialog::Fill(TCustomDrive* drive) {
  PreviewDrive = drive;
  auto* fat = dynamic_cast<TFATdrive*>(drive);
  if (!fat) return false;
  EditPhysSec->setText(QString::number(fat->StartSector));
  EditOEM->setText(BootText(*fat, 3, 8));
  EditTotalSec->setText(QString::number(fat->TotalSectors));
  EditSecPerClus->setText(QString::number(fat->BootRecord[13]));
  EditVolLabel->setText(BootText(*fat, fat->FATType == ftFAT32 ? 71 : 43, 11));
  static const char* const kTypes[] = {"none", "FAT12", "FAT16", "FAT32"};
  EditFAT->setText(kTypes[fat->FATType <= 3 ? fat->FATType : 0]);
  ListView1->clear();
  ListView1->setSortingEnabled(false);
  if (auto* exfat = dynamic_cast<TExFATdrive*>(fat)) {
    FillExFATPreview(*this, *exfat);
  } else if (fat->GeometryValid) {
    TChainCursor cursor(fat->RootCluster, fat->RootSector);
    std::string name;
    std::array<std::uint8_t, 32> entry{};
    // A root that never ends (a damaged chain) is cut off after a full FAT32 folder.
    for (int count = 0; count < 65536 && ReadDirEntry(*fat, cursor, false, name, entry.data()); ++count) {
      const std::uint8_t attr = entry[11];
      if ((attr & kAttrVolumeLabel) || name == "." || name == "..") continue;
      auto* item = new QTreeWidgetItem(ListView1);
      item->setText(0, QString::fromStdString(name));
      if (attr & kAttrDirectory) {
        item->setIcon(0, ItemImage(0));
      } else {
        item->setIcon(0, ItemImage(5));
        item->setText(1, QString::number(EntrySize(entry.data())));
      }
      item->setText(2, QString::fromStdString(FormatDosDateTime(EntryTime(entry.data()), EntryDate(entry.data()))));
    }
  }
  ListView1->sortItems(0, Qt::AscendingOrder);
  return true;
}

bool TPreviewDrvDialog::Execute() {
  if (!Fill(PreviewDrive)) return false;
  exec();
  return true;
}

// ---- TDriveDlg ----

TDriveDlg::TDriveDlg(TMainForm& main, TPreviewDrvDialog& preview, QWidget* parent)
    : QDialog(parent), main_(main), preview_(preview) {
  setObjectName("TDriveDlg");
  setWindowTitle("选择驱动器");
  auto* layout = new QGridLayout(this);
  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName("PageControl1");
  ListView1 = new QListWidget;
  ListView1->setObjectName("ListView1");
  ListView2 = new QListWidget;
  ListView2->setObjectName("ListView2");
  for (QListWidget* list : {ListView1, ListView2}) list->setIconSize(QSize(24, 24));
  PageControl1->addTab(ListView1, "逻辑驱动器");
  PageControl1->addTab(ListView2, "物理驱动器");
  PageControl1->setMinimumSize(380, 260);
  layout->addWidget(PageControl1, 0, 0, 2, 1);

  auto* right = new QVBoxLayout;
  ButtonOK = new QPushButton("确定", this);
  ButtonOK->setObjectName("ButtonOK");
  ButtonOK->setDefault(true);
  Button2 = new QPushButton("取消", this);
  Button2->setObjectName("Button2");
  ButtonPreview = new QPushButton("预览...", this);
  ButtonPreview->setObjectName("ButtonPreview");
  ButtonFind = new QPushButton("查找逻辑驱动器...", this);
  ButtonFind->setObjectName("ButtonFind");
  Button3 = new QPushButton("重新扫描驱动器", this);
  Button3->setObjectName("Button3");
  for (QPushButton* b : {ButtonOK, Button2, ButtonPreview, ButtonFind, Button3}) right->addWidget(b);
  right->addSpacing(10);
  LabelFAT = new QLabel("使用FAT:", this);
  ComboBoxFAT = new QComboBox(this);
  ComboBoxFAT->setObjectName("ComboBoxFAT");
  CheckBoxSkipBadClus = new QCheckBox("跳过坏簇", this);
  CheckBoxSkipBadClus->setObjectName("CheckBoxSkipBadClus");
  CheckBoxSkipBadClus->setChecked(true);
  right->addWidget(LabelFAT);
  right->addWidget(ComboBoxFAT);
  LabelFATNote = new QLabel(this);
  LabelFATNote->setObjectName("LabelFATNote");
  LabelFATNote->setWordWrap(true);
  LabelFATNote->setMaximumWidth(160);
  LabelFATNote->setVisible(false);
  right->addWidget(LabelFATNote);
  right->addWidget(CheckBoxSkipBadClus);
  right->addStretch();
  layout->addLayout(right, 0, 1, 2, 1);
  layout->addWidget(GreenNote("注意：选择一个逻辑驱动器恢复数据。可选找到现有的物理/逻辑驱动器。", this), 2, 0, 1, 2);

  connect(ButtonOK, &QPushButton::clicked, this, &QDialog::accept);
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
  connect(ButtonPreview, &QPushButton::clicked, this, &TDriveDlg::ButtonPreviewClick);
  connect(ButtonFind, &QPushButton::clicked, this, &TDriveDlg::ButtonFindClick);
  connect(Button3, &QPushButton::clicked, this, &TDriveDlg::Button3Click);
  connect(PageControl1, &QTabWidget::currentChanged, this, [this] { PageChanged(); });
  // A mouse press makes a row current before it selects it: the buttons
  // follow the selection, which clicks, keys and code all end in.
  for (QListWidget* list : {ListView1, ListView2}) {
    connect(list, &QListWidget::currentRowChanged, this, [this] { PageChanged(); });
    connect(list, &QListWidget::itemSelectionChanged, this, [this] { PageChanged(); });
  }
  connect(ListView1, &QListWidget::itemDoubleClicked, this, [this] {
    PageChanged();
    if (ListView1->currentRow() >= 0) accept();
  });
  connect(ComboBoxFAT, &QComboBox::currentIndexChanged, this, &TDriveDlg::ComboBoxFATChange);
  // A device's context menu images it: the dialog closes and the imaging
  // dialog opens on that device.
  ListView2->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(ListView2, &QListWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    const int row = ListView2->row(ListView2->itemAt(at));
    if (row < 0 || static_cast<std::size_t>(row) >= devices_.size()) return;
    TDevice* device = devices_[static_cast<std::size_t>(row)];
    QMenu menu(this);
    QAction* image = menu.addAction("创建映像(&C)...");
    if (menu.exec(ListView2->viewport()->mapToGlobal(at)) != image) return;
    reject();
    QTimer::singleShot(0, &main_, [main = &main_, device] { main->MenuCreateImageClick(device); });
  });
}

void TDriveDlg::FormActivate() {
  filling_ = true;
  ButtonOK->setEnabled(false);
  ButtonPreview->setEnabled(false);
  ButtonFind->setEnabled(false);
  ListView1->clear();
  ListView2->clear();
  devices_.clear();
  TDeviceList& devices = main_.FDevices;
  for (int i = 0; i < devices.Count(); ++i) {
    TDevice* device = devices.Items(i);
    if (device->Kind != dkBIOS) continue;
    devices_.push_back(device);
    new QListWidgetItem(DriveImage(device->MediaType == 1 || device->MediaType == 2 ? 0 : 1),
                        WithImageFile(QString::fromStdString(device->Name), device, main_.Images()), ListView2);
  }
  TDriveList& drives = main_.FDrives;
  for (int i = 0; i < drives.Count(); ++i) {
    const TCustomDrive* drive = drives.Items(i);
    const std::uint8_t media = drive->Device ? drive->Device->MediaType : 0;
    std::string caption = drive->Name.empty() ? "NONAME" : drive->Name;
    caption += "   on ";
    const int index = devices.IndexOf(drive->Device);
    if (index >= 0) caption += devices.GetDeviceName(index, false);
    new QListWidgetItem(DriveImage(DriveImageOf(media)),
                        WithImageFile(QString::fromStdString(caption), index >= 0 ? drive->Device : nullptr,
                                      main_.Images()),
                        ListView1);
  }
  ListView1->setCurrentRow(-1);
  ListView2->setCurrentRow(-1);
  filling_ = false;
  PageChanged();
}

void TDriveDlg::PageChanged() {
  if (filling_) return;
  const bool logical = PageControl1->currentIndex() == 0;
  if (logical) {
    const int row = ListView1->currentItem() && ListView1->currentItem()->isSelected() ? ListView1->currentRow() : -1;
    const bool selected = row >= 0;
    LabelFAT->setEnabled(selected);
    CheckBoxSkipBadClus->setEnabled(selected);
    ButtonFind->setEnabled(selected);
    ButtonOK->setEnabled(selected);
    ButtonPreview->setEnabled(selected);
    filling_ = true;
    ComboBoxFAT->clear();
    ComboBoxFAT->setEnabled(false);
    LabelFATNote->setVisible(false);
    if (selected) {
      if (auto* fat = dynamic_cast<TFATdrive*>(main_.FDrives.Items(row))) {
        const int fats = static_cast<int>(std::min<std::uint32_t>(fat->NumberOfFATs, 254));
        ComboBoxFAT->addItem("no");
        for (int n = 1; n <= fats; ++n) ComboBoxFAT->addItem(QString::number(n));
        if (fats >= 1) ComboBoxFAT->addItem("free");
        ComboBoxFAT->setCurrentIndex(ItemOfFATChoice(fat->FATChoice, fats));
        ComboBoxFAT->setEnabled(true);
        // Why the drive reads through another copy than the first, or none.
        LabelFATNote->setText(QString::fromStdString(fat->FATChoiceNote));
        LabelFATNote->setVisible(!fat->FATChoiceNote.empty());
      }
    }
    filling_ = false;
  } else {
    LabelFAT->setEnabled(false);
    filling_ = true;
    ComboBoxFAT->clear();
    filling_ = false;
    ComboBoxFAT->setEnabled(false);
    CheckBoxSkipBadClus->setEnabled(false);
    ButtonPreview->setEnabled(false);
    const bool selected = ListView2->currentItem() && ListView2->currentItem()->isSelected();
    ButtonFind->setEnabled(selected);
    if (!selected) ButtonOK->setEnabled(false);
  }
}

void TDriveDlg::ComboBoxFATChange(int index) {
  if (filling_ || index < 0 || PageControl1->currentIndex() != 0) return;
  const int row = ListView1->currentRow();
  if (row < 0) return;
  if (auto* fat = dynamic_cast<TFATdrive*>(main_.FDrives.Items(row)))
    fat->FATChoice = FATChoiceOfItem(index, static_cast<int>(std::min<std::uint32_t>(fat->NumberOfFATs, 254)));
}

TDevice* TDriveDlg::SearchDevice() const {
  if (PageControl1->currentIndex() == 0) {
    const int row = ListView1->currentRow();
    return row >= 0 && row < main_.FDrives.Count() ? main_.FDrives.Items(row)->Device : nullptr;
  }
  const int row = ListView2->currentRow();
  return row >= 0 && static_cast<std::size_t>(row) < devices_.size() ? devices_[static_cast<std::size_t>(row)]
                                                                     : nullptr;
}

void TDriveDlg::ButtonFindClick() {
  TDevice* device = SearchDevice();
  if (!device || main_.Busy()) return;
  TSectorDialog& dialog = main_.SectorDialog;
  dialog.MaxSector = device->TotalSectors;
  dialog.SetDefaults(device->TotalSectors, device->BytesPerSector);
  if (!dialog.Execute(*main_.SectorDialogForm)) return;
  main_.FindLostDrives(*device, dialog.RangeStart, dialog.RangeEnd);
  PageControl1->setCurrentIndex(0);
  FormActivate();
}

void TDriveDlg::Button3Click() {
  if (main_.Busy()) return;
  if (ShowMessageBox("您确实要重新扫描驱动器列表吗？", "重新扫描驱动器列表", TMsgType::mtInformation,
                     TMsgButtons::mbYesNo) != TMsgResult::mrYes)
    return;
  main_.ScanDevices();
  FormActivate();
}

void TDriveDlg::ButtonPreviewClick() {
  const int row = ListView1->currentRow();
  if (PageControl1->currentIndex() != 0 || row < 0) return;
  preview_.PreviewDrive = main_.FDrives.Items(row);
  preview_.Execute();
}

bool TDriveDlg::Execute() {
  PageControl1->setCurrentIndex(FirstPage);
  FormActivate();
  if (exec() != QDialog::Accepted) return false;
  const int row = ListView1->currentRow();
  if (row < 0 || row > 255) return false;
  SelectedDrive = static_cast<std::uint8_t>(row);
  const auto* fat = dynamic_cast<TFATdrive*>(main_.FDrives.Items(row));
  SelectedFAT = FATChoiceOfItem(ComboBoxFAT->currentIndex(),
                                fat ? static_cast<int>(std::min<std::uint32_t>(fat->NumberOfFATs, 254)) : 0);
  SkipBadClusters = CheckBoxSkipBadClus->isChecked();
  return true;
}

// ---- TFATSelectDialog ----

TFATSelectDialog::TFATSelectDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("TFATSelectDialog");
  setWindowTitle("选择FAT");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("要读取的数据是通过从对应的簇来确定：", this));
  ComboBoxFAT = new QComboBox(this);
  ComboBoxFAT->setObjectName("ComboBoxFAT");
  layout->addWidget(ComboBoxFAT);
  layout->addWidget(GreenNote("注：选择“no FAT”，如果数据已被删除或驱动器已经被快速格式化！", this));
  auto* buttons = new QHBoxLayout;
  auto* ok = new QPushButton("确定", this);
  ok->setObjectName("Button1");
  ok->setDefault(true);
  auto* cancel = new QPushButton("取消", this);
  cancel->setObjectName("Button2");
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TFATSelectDialog::Fill(int numberOfFATs, int selected) {
  numberOfFATs_ = std::clamp(numberOfFATs, 0, 254);
  ComboBoxFAT->clear();
  for (const std::string& item : FATChoiceItems(numberOfFATs_)) ComboBoxFAT->addItem(QString::fromStdString(item));
  ComboBoxFAT->setCurrentIndex(ItemOfFATChoice(static_cast<std::uint8_t>(std::clamp(selected, 0, 255)), numberOfFATs_));
}

bool TFATSelectDialog::Execute() {
  if (exec() != QDialog::Accepted) return false;
  SelectedFAT = FATChoiceOfItem(ComboBoxFAT->currentIndex(), numberOfFATs_);
  return true;
}

}  // namespace vantrel::ui
