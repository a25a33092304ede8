#include "ui/TDialogSystemInfo.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QLocale>
#include <QScreen>
#include <QStyle>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ui/Icons.h"
#include "ui/FormParts.h"

namespace vantrel::ui {

namespace {

QTreeWidget* ReportList(const QStringList& captions, const QList<int>& widths, QWidget* parent) {
  auto* list = new QTreeWidget(parent);
  list->setRootIsDecorated(false);
  list->setHeaderLabels(captions);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setUniformRowHeights(true);
  for (int i = 0; i < widths.size(); ++i) list->setColumnWidth(i, widths[i]);
  return list;
}

void AddRows(QTreeWidget* list, const std::vector<TInfoRow>& rows) {
  for (const TInfoRow& row : rows)
    list->addTopLevelItem(
        new QTreeWidgetItem(QStringList{QString::fromStdString(row.Name), QString::fromStdString(row.Value)}));
}

}  // namespace

QString CapacityText(std::uint64_t bytes) {
  const TCapacity capacity = CapacityOf(bytes);
  return QLocale().toString(capacity.Amount, 'f', 2) + capacity.Unit;
}

TDialogSystemInfo::TDialogSystemInfo(QWidget* parent) : QDialog(parent) {
  setObjectName("TDialogSystemInfo");
  setWindowTitle("系统信息");
  auto* layout = new QVBoxLayout(this);
  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName("PageControl1");
  ListView1 = ReportList({"参数", "值"}, {130, 280}, this);
  ListView2 = ReportList({"参数", "值"}, {130, 280}, this);
  ListView3 = ReportList({"名称", "文件系统", "总容量", "可用容量"}, {150, 80, 90, 90}, this);
  ListView4 = ReportList({"变量", "值"}, {150, 400}, this);
  ListView3->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  ListView3->headerItem()->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
  QStyle* style = this->style();
  PageControl1->addTab(ListView1, style->standardIcon(QStyle::SP_ComputerIcon), "硬件信息");
  PageControl1->addTab(ListView2, style->standardIcon(QStyle::SP_FileDialogInfoView), "软件信息");
  PageControl1->addTab(ListView3, style->standardIcon(QStyle::SP_DriveHDIcon), "驱动器信息");
  PageControl1->addTab(ListView4, style->standardIcon(QStyle::SP_FileDialogDetailedView), "环境信息");
  PageControl1->setMinimumSize(460, 320);
  layout->addWidget(PageControl1);
  AddButtonRow(*this, *layout, false);
  Fill(CollectSystemInfo());
}

void TDialogSystemInfo::Fill(const TSystemInfo& info) {
  for (QTreeWidget* list : {ListView1, ListView2, ListView3, ListView4}) list->clear();
  std::vector<TInfoRow> hardware = info.Hardware;
  // The screen right after the processors, where it always stood.
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QSize size = screen->size();
    const TInfoRow display{"显示信息:", DisplayInfoText(size.width(), size.height(), screen->depth())};
    hardware.insert(hardware.empty() ? hardware.end() : hardware.begin() + 1, display);
  }
  AddRows(ListView1, hardware);
  AddRows(ListView2, info.Software);
  for (const TMountRow& row : info.Drives) {
    auto* item = new QTreeWidgetItem(QStringList{QString::fromStdString(row.Caption),
                                                 QString::fromStdString(row.FileSystem)});
    item->setIcon(0, DriveImage(row.Image));
    if (row.HasSizes) {
      item->setText(2, CapacityText(row.TotalBytes));
      item->setText(3, CapacityText(row.FreeBytes));
    }
    item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    item->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
    ListView3->addTopLevelItem(item);
  }
  AddRows(ListView4, info.Environment);
}

bool TDialogSystemInfo::Execute() { return exec() == QDialog::Accepted; }

}  // namespace vantrel::ui
