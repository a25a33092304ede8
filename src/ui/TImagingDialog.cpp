#include "ui/TImagingDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdio>
#include <filesystem>

#include "common/HostPath.h"
#include "devices/TDevice.h"
#include "diskio/DiskPlatform.h"
#include "diskio/HostDiskPlatform.h"
#include "host/TStatusDialog.h"
#include "host/UserInterface.h"
#include "recovery/Imaging.h"
#include "recovery/TDriveList.h"

namespace vantrel::ui {
namespace {

const char* kCaption = "创建映像";

std::string Bytes(std::uint64_t n) {
  const char* units[] = {"字节", "KB", "MB", "GB", "TB"};
  double v = static_cast<double>(n);
  int u = 0;
  while (v >= 1024 && u < 4) v /= 1024, ++u;
  char text[32];
  std::snprintf(text, sizeof text, u ? "%.1f %s" : "%.0f %s", v, units[u]);
  return text;
}

std::string Seconds(double s) {
  if (s < 0) return "未知";
  const auto t = static_cast<std::uint64_t>(s + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu", static_cast<unsigned long long>(t / 3600),
                static_cast<unsigned long long>(t / 60 % 60), static_cast<unsigned long long>(t % 60));
  return text;
}

}  // namespace

TImagingDialog::TImagingDialog(const TDeviceList& devices, const TDriveList& drives, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(kCaption);
  SourceList = new QListWidget(this);
  for (int i = 0; i < devices.Count(); ++i) {
    TDevice* device = devices.Items(i);
    if (device->TotalSectors == 0) continue;
    sources_.push_back({device, 0, device->TotalSectors});
    SourceList->addItem(QString::fromStdString(device->Name));
    for (int j = 0; j < drives.Count(); ++j) {
      const TCustomDrive* drive = drives.Items(j);
      if (drive->Device != device || drive->SectorCount == 0 || drive->StartSector >= device->TotalSectors) continue;
      sources_.push_back(
          {device, drive->StartSector, std::min(drive->SectorCount, device->TotalSectors - drive->StartSector)});
      SourceList->addItem(QString::fromStdString("    " + drive->Name));
    }
  }
  TargetEdit = new QLineEdit(this);
  MapEdit = new QLineEdit(this);
  BrowseBtn = new QPushButton("浏览(&B)...", this);
  StartBtn = new QPushButton("开始(&S)", this);
  CancelBtn = new QPushButton("取消", this);
  StartBtn->setDefault(true);

  auto* target = new QHBoxLayout;
  target->addWidget(TargetEdit);
  target->addWidget(BrowseBtn);
  auto* form = new QFormLayout;
  form->addRow("映像文件(&F):", target);
  form->addRow("映射文件(&M):", MapEdit);
  RestBox = new QCheckBox("复制完所选文件后，继续复制设备的其余部分(&R)", this);
  RestBox->hide();
  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton(StartBtn, QDialogButtonBox::AcceptRole);
  buttons->addButton(CancelBtn, QDialogButtonBox::RejectRole);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("选择要复制的设备或驱动器(&D):", this));
  layout->addWidget(SourceList);
  layout->addLayout(form);
  layout->addWidget(new QLabel("已有映射文件时，从中断处继续。", this));
  layout->addWidget(RestBox);
  layout->addWidget(buttons);

  connect(TargetEdit, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (!mapEdited_) MapEdit->setText(text.isEmpty() ? QString() : text + ".map");
    UpdateButtons();
  });
  connect(MapEdit, &QLineEdit::textEdited, this, [this] {
    mapEdited_ = !MapEdit->text().isEmpty();
    UpdateButtons();
  });
  connect(SourceList, &QListWidget::currentRowChanged, this, [this] { UpdateButtons(); });
  connect(BrowseBtn, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, "映像文件", TargetEdit->text(),
                                                      "磁盘映像 (*.img);;所有文件 (*)", nullptr,
                                                      QFileDialog::DontUseNativeDialog | QFileDialog::DontConfirmOverwrite);
    if (path.isEmpty()) return;
    TargetEdit->setText(path);
    if (!mapEdited_) MapEdit->setText(path + ".map");
    UpdateButtons();
  });
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  if (!sources_.empty()) SourceList->setCurrentRow(0);
  resize(480, 360);
  UpdateButtons();
}

void TImagingDialog::UpdateButtons() {
  StartBtn->setEnabled(SourceList->currentRow() >= 0 && !TargetEdit->text().isEmpty() &&
                       !MapEdit->text().isEmpty());
}

void TImagingDialog::SelectDevice(const TDevice* device) {
  for (std::size_t i = 0; i < sources_.size(); ++i)
    if (sources_[i].Device == device && sources_[i].First == 0 && sources_[i].Count == device->TotalSectors) {
      SourceList->setCurrentRow(static_cast<int>(i));
      return;
    }
}

void TImagingDialog::ChosenRangesFirst(const TDevice* device,
                                       std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges) {
  SelectDevice(device);
  // The save reads the image with the device's own sector numbers: the
  // whole device is imaged, never one drive of it.
  SourceList->setEnabled(false);
  rangesFirst_ = true;
  first_ = std::move(ranges);
  RestBox->show();
}

std::string TImagingDialog::Target() const { return TargetEdit->text().toStdString(); }

std::string TImagingDialog::MapPath() const { return MapEdit->text().toStdString(); }

TImagingDialog::TOutcome TImagingDialog::Image(TStatusDialog& status) {
  const int row = SourceList->currentRow();
  if (row < 0 || row >= static_cast<int>(sources_.size())) return TOutcome::Refused;
  const TSource& chosen = sources_[static_cast<std::size_t>(row)];
  const std::string target = Target(), mapPath = MapEdit->text().toStdString();
  auto refuse = [](const std::string& why) {
    ShowMessageBox(why, kCaption, TMsgType::mtError);
    return TOutcome::Refused;
  };
  // The image is never the device being read, nor on it.
  const std::string deviceFile = DeviceFileOf(*chosen.Device);
  if (TargetOnDevice(target, deviceFile) || TargetOnDevice(mapPath, deviceFile))
    return refuse("拒绝：" + target + " 会写到正在读取的设备 (" + deviceFile + ") 上。");

  auto source = DeviceImagingSource(*chosen.Device, chosen.First, chosen.Count);
  std::error_code ec;
  const bool targetExists = std::filesystem::exists(PathFromUtf8(target), ec);
  const bool mapExists = std::filesystem::exists(PathFromUtf8(mapPath), ec);
  TRescueMap map(source->Size());
  if (mapExists) {
    std::string error;
    if (!TRescueMap::Load(mapPath, source->Size(), map, error)) return refuse("拒绝：" + error);
    if (!targetExists && map.BytesWith(rsFinished) > 0)
      return refuse("拒绝：映射文件 " + mapPath + " 记有已救出的数据，但映像文件 " + target + " 不存在。");
  } else if (targetExists) {
    return refuse("拒绝：" + target + " 已存在且没有映射文件 (" + mapPath +
                  ")，会被覆盖。请删除它，或给出它的映射文件。");
  }

  MarkKnownUnreadable(map, *chosen.Device, chosen.First, chosen.Count);
  TImagingOptions options;
  if (rangesFirst_) {
    options.First = first_;
    options.OnlyFirst = !RestBox->isChecked();
  }
  options.MapPath = mapPath;
  options.CommandLine = "vantrel image " + deviceFile + " --to " + target + " --map " + mapPath;
  status.Init(kCaption, "源: " + SourceList->currentItem()->text().trimmed().toStdString(), "目标: " + target,
              "", "", true, false);
  status.Total = source->Size();
  status.Position = map.BytesWith(rsFinished);
  status.Step = 0;
  status.RefreshInterval = 500;
  status.Show();
  options.OnProgress = [&status](const TImagingProgress& p) {
    status.Position = p.Rescued;
    status.StepIt();
    status.SetTexts("", "", "",
                    "已救出: " + Bytes(p.Rescued) + " / " + Bytes(p.Size) + "    坏区: " + std::to_string(p.BadAreas) +
                        " 个 (" + Bytes(p.BadBytes) + ")",
                    "速度: " + Bytes(static_cast<std::uint64_t>(p.Rate)) + "/秒    剩余时间: " + Seconds(p.SecondsLeft));
    ProcessMessages();
  };
  // The Cancel button is heard between reads too, not only with the progress.
  QElapsedTimer sinceEvents;
  options.Cancelled = [&status, &sinceEvents] {
    if (!sinceEvents.isValid() || sinceEvents.elapsed() >= 100) {
      sinceEvents.start();
      ProcessMessages();
    }
    return status.Cancelled;
  };
  TImager imager(*source, target, map, options);
  TImagingResult result = TImagingResult::WriteFailed;
  if (imager.OpenTarget(!targetExists)) result = imager.Run();
  status.Hide();
  const TImagingProgress p = imager.Progress();
  const std::string summary = "已救出 " + Bytes(p.Rescued) + " / " + Bytes(p.Size) + "，坏区 " +
                              std::to_string(p.BadAreas) + " 个 (" + Bytes(p.BadBytes) + ")。";
  switch (result) {
    case TImagingResult::Finished:
      if (rangesFirst_) return TOutcome::Finished;
      return ShowMessageBox("映像已创建：" + summary + "\n是否立即打开此映像文件进行恢复？", kCaption,
                            TMsgType::mtConfirmation, TMsgButtons::mbYesNo) == TMsgResult::mrYes
                 ? TOutcome::Open
                 : TOutcome::Finished;
    case TImagingResult::Cancelled:
      ShowMessageBox("已停止：" + summary + "\n映射文件 " + mapPath + " 已保存；以同样的映像文件和映射文件再次开始即可继续。",
                     kCaption, TMsgType::mtInformation);
      return TOutcome::Stopped;
    default:
      ShowMessageBox(imager.Error() + "\n" + summary, kCaption, TMsgType::mtError);
      return TOutcome::Failed;
  }
}

}  // namespace vantrel::ui
