#include "ui/RangeDialogForms.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QStandardPaths>
#include <QTreeView>
#include <QVBoxLayout>

#include "diskio/DiskPlatform.h"

namespace vantrel::ui {

namespace {

QGroupBox* RangeGroup(QWidget* parent, QSlider*& slider, QLineEdit*& edit) {
  auto* group = new QGroupBox(parent);
  auto* layout = new QVBoxLayout(group);
  slider = new QSlider(Qt::Horizontal, group);
  slider->setRange(0, RangeTrackBarMax);
  slider->setTickPosition(QSlider::TicksBelow);
  slider->setTickInterval(5);
  edit = new QLineEdit(group);
  layout->addWidget(slider);
  layout->addWidget(edit);
  return group;
}

QLabel* Note(const QString& text, const QString& colour, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  label->setStyleSheet(QString("color: %1; font-weight: bold;").arg(colour));
  return label;
}

}  // namespace

TRangeForm::TRangeForm(QWidget* parent, const QString& sizeCaption) : QDialog(parent) {
  auto* layout = new QGridLayout(this);
  GroupStart = RangeGroup(this, TrackBarStart, EditStart);
  GroupEnd = RangeGroup(this, TrackBarEnd, EditEnd);
  layout->addWidget(GroupStart, 0, 0, 1, 2);
  layout->addWidget(GroupEnd, 1, 0, 1, 2);
  layout->addWidget(new QLabel(sizeCaption, this), 2, 0);
  LabelSize = new QLabel(this);
  LabelSize->setObjectName("LabelSize");
  layout->addWidget(LabelSize, 2, 1);
  auto* buttons = new QVBoxLayout;
  auto* ok = new QPushButton("确定", this);
  ok->setObjectName("OKBtn");
  ok->setDefault(true);
  auto* apply = new QPushButton("应用", this);
  apply->setObjectName("Button1");
  auto* cancel = new QPushButton("取消", this);
  cancel->setObjectName("CancelBtn");
  buttons->addWidget(ok);
  buttons->addWidget(apply);
  buttons->addWidget(cancel);
  buttons->addStretch();
  layout->addLayout(buttons, 0, 2, 3, 1);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(apply, &QPushButton::clicked, this, [this] {
    if (binding_.apply) binding_.apply();
    Redraw();
  });
  connect(TrackBarStart, &QSlider::valueChanged, this, [this](int position) {
    if (redrawing_ || !binding_.startMoved) return;
    binding_.startMoved(position);
    Redraw();
  });
  connect(TrackBarEnd, &QSlider::valueChanged, this, [this](int position) {
    if (redrawing_ || !binding_.endMoved) return;
    binding_.endMoved(position);
    Redraw();
  });
  connect(EditStart, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (binding_.editStart) *binding_.editStart = text.toStdString();
  });
  connect(EditEnd, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (binding_.editEnd) *binding_.editEnd = text.toStdString();
  });
  setMinimumWidth(360);
}

void TRangeForm::Redraw() {
  redrawing_ = true;
  if (binding_.editStart) EditStart->setText(QString::fromStdString(*binding_.editStart));
  if (binding_.editEnd) EditEnd->setText(QString::fromStdString(*binding_.editEnd));
  if (binding_.labelSize) LabelSize->setText(QString::fromStdString(*binding_.labelSize));
  redrawing_ = false;
}

TRangeDialogResult TRangeForm::Run(const std::string& caption, const std::string& groupStart,
                                   const std::string& groupEnd, int startPosition, int endPosition,
                                   Binding binding) {
  binding_ = std::move(binding);
  setWindowTitle(QString::fromStdString(caption));
  GroupStart->setTitle(QString::fromStdString(groupStart));
  GroupEnd->setTitle(QString::fromStdString(groupEnd));
  redrawing_ = true;
  TrackBarStart->setValue(startPosition);
  TrackBarEnd->setValue(endPosition);
  redrawing_ = false;
  Redraw();
  TRangeDialogResult result;
  result.Ok = exec() == QDialog::Accepted;
  result.StartText = EditStart->text().toStdString();
  result.EndText = EditEnd->text().toStdString();
  binding_ = {};
  return result;
}

TSectorDialogForm::TSectorDialogForm(QWidget* parent) : TRangeForm(parent, "扫描大小:") {
  setObjectName("TSectorDialog");
  TrackBarStart->setObjectName("TrackBarStartSec");
  TrackBarEnd->setObjectName("TrackBarEndSec");
  EditStart->setObjectName("EditStartSec");
  EditEnd->setObjectName("EditEndSec");
}

TRangeDialogResult TSectorDialogForm::ShowModal(TSectorDialog& d) {
  d.FormActivate();
  Binding b;
  b.startMoved = [&d](int p) { d.TrackBarStartSecChange(p); };
  b.endMoved = [&d](int p) { d.TrackBarEndSecChange(p); };
  b.apply = [&d] { d.Button1Click(); };
  b.editStart = &d.EditStartSec;
  b.editEnd = &d.EditEndSec;
  b.labelSize = &d.LabelSize;
  return Run(d.Caption, d.GroupStartCaption, d.GroupEndCaption, d.TrackBarStartSec, d.TrackBarEndSec, b);
}

TClusterDialogForm::TClusterDialogForm(QWidget* parent) : TRangeForm(parent, "扫描长度:") {
  setObjectName("TClusterDialog");
  TrackBarStart->setObjectName("TrackBarStartClus");
  TrackBarEnd->setObjectName("TrackBarEndClus");
  EditStart->setObjectName("EditStartClus");
  EditEnd->setObjectName("EditEndClus");
}

TRangeDialogResult TClusterDialogForm::ShowModal(TClusterDialog& d) {
  d.FormActivate();
  Binding b;
  b.startMoved = [&d](int p) { d.TrackBarStartClusChange(p); };
  b.endMoved = [&d](int p) { d.TrackBarEndClusChange(p); };
  b.apply = [&d] { d.Button1Click(); };
  b.editStart = &d.EditStartClus;
  b.editEnd = &d.EditEndClus;
  b.labelSize = &d.LabelSize;
  return Run(d.Caption, d.GroupStartCaption, d.GroupEndCaption, d.TrackBarStartClus, d.TrackBarEndClus, b);
}

TDirSelectForm::TDirSelectForm(QWidget* parent) : QDialog(parent) {
  setObjectName("TDirSelectDialog");
  auto* layout = new QGridLayout(this);
  ShellComboBox1 = new QComboBox(this);
  ShellComboBox1->setObjectName("ShellComboBox1");
  ShellComboBox1->setEditable(true);
  for (const QString& place : {QDir::homePath(), QString("/"), QString("/media"), QString("/mnt"), QDir::tempPath()})
    if (QDir(place).exists() && ShellComboBox1->findText(place) < 0) ShellComboBox1->addItem(place);
  model_ = new QFileSystemModel(this);
  model_->setFilter(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Drives);
  model_->setRootPath("/");
  model_->setReadOnly(false);
  ShellTreeView1 = new QTreeView(this);
  ShellTreeView1->setObjectName("ShellTreeView1");
  ShellTreeView1->setModel(model_);
  for (int c = 1; c < model_->columnCount(); ++c) ShellTreeView1->hideColumn(c);
  ShellTreeView1->header()->hide();
  ShellTreeView1->setRootIndex(model_->index("/"));
  ShellTreeView1->setMinimumSize(260, 260);
  layout->addWidget(ShellComboBox1, 0, 0);
  layout->addWidget(ShellTreeView1, 1, 0, 3, 1);

  auto* folderRow = new QHBoxLayout;
  folderRow->addWidget(new QLabel("文件夹:", this));
  LabelFolder = new QLabel(this);
  LabelFolder->setObjectName("LabelFolder");
  LabelFolder->setTextInteractionFlags(Qt::TextSelectableByMouse);
  folderRow->addWidget(LabelFolder, 1);
  layout->addLayout(folderRow, 4, 0, 1, 2);
  auto* line = new QFrame(this);
  line->setFrameShape(QFrame::HLine);
  layout->addWidget(line, 5, 0, 1, 2);
  layout->addWidget(
      Note("注意事项：建议保存另一个驱动器上丢失/删除的数据！否则，其他丢失/删除的数据可能被覆盖。", "#C00000", this), 6,
      0, 1, 2);

  auto* right = new QVBoxLayout;
  auto* ok = new QPushButton("确定", this);
  ok->setObjectName("OKBtn");
  ok->setDefault(true);
  auto* cancel = new QPushButton("取消", this);
  cancel->setObjectName("CancelBtn");
  auto* create = new QPushButton("新建文件夹...", this);
  create->setObjectName("ButtonNewFolder");
  right->addWidget(ok);
  right->addWidget(cancel);
  right->addWidget(create);
  right->addSpacing(12);
  right->addWidget(new QLabel("将要写入的数据通过从对应簇:", this));
  ComboBoxFAT = new QComboBox(this);
  ComboBoxFAT->setObjectName("ComboBoxFAT");
  right->addWidget(ComboBoxFAT);
  auto* note = Note("注：选择“no FAT”，如果数据已被删除或驱动器已经被快速格式化！", "#008000", this);
  note->setMaximumWidth(200);
  right->addWidget(note);
  right->addStretch();
  layout->addLayout(right, 0, 1, 4, 1);

  connect(ok, &QPushButton::clicked, this, &TDirSelectForm::OKBtnClick);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(create, &QPushButton::clicked, this, &TDirSelectForm::NewFolder);
  connect(ShellTreeView1->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { FolderChanged(); });
  connect(ShellComboBox1, &QComboBox::textActivated, this, [this](const QString& path) { SelectFolder(path); });
  connect(ShellComboBox1, &QComboBox::editTextChanged, this, &TDirSelectForm::TypedFolderChanged);
}

QString TDirSelectForm::TypedFolder() const {
  QString text = ShellComboBox1->currentText().trimmed();
  if (text == "~" || text.startsWith("~/")) text = QDir::homePath() + text.mid(1);
  if (text.isEmpty() || QDir::isRelativePath(text)) return text;
  return QDir::cleanPath(text);
}

void TDirSelectForm::TypedFolderChanged() {
  if (following_) return;
  const QString path = TypedFolder();
  // The label names the folder the box holds; the tree goes along where
  // that folder exists.
  if (dialog_) {
    dialog_->FolderChanged(path.toStdString());
    LabelFolder->setText(QString::fromStdString(dialog_->LabelFolder));
  } else {
    LabelFolder->setText(path.isEmpty() || path.endsWith('/') ? path : path + '/');
  }
  if (path.isEmpty() || QDir::isRelativePath(path) || !QFileInfo(path).isDir()) return;
  const QModelIndex index = model_->index(path);
  if (!index.isValid() || index == ShellTreeView1->currentIndex()) return;
  following_ = true;
  ShellTreeView1->setCurrentIndex(index);
  ShellTreeView1->scrollTo(index);
  following_ = false;
}

void TDirSelectForm::OKBtnClick() {
  // What the box shows is the target, whatever the tree has highlighted.
  const QString path = TypedFolder();
  if (path.isEmpty()) {
    QMessageBox::information(this, windowTitle(), "请选择一个文件夹。");
    return;
  }
  if (QDir::isRelativePath(path)) {
    QMessageBox::information(this, windowTitle(), QString("请输入文件夹的完整路径（以 / 开头）：%1").arg(path));
    return;
  }
  const QFileInfo info(path);
  if (info.exists() && !info.isDir()) {
    QMessageBox::warning(this, windowTitle(), QString("%1 不是一个文件夹。").arg(path));
    return;
  }
  if (!info.exists()) {
    if (QMessageBox::question(this, windowTitle(), QString("文件夹 %1 不存在。要创建它吗？").arg(path),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) != QMessageBox::Yes)
      return;
    // Making the folder already writes to the disk that holds it.
    if (!ExaminedDevice.empty() && DiskPlatform().PathLiesOnDevice(path.toStdString(), ExaminedDevice) &&
        QMessageBox::warning(this, "警告",
                             QString("目标文件夹 %1 位于正在检查的设备上。写入可能会覆盖要恢复的数据！\n\n是否继续?")
                                 .arg(path),
                             QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
      return;
    if (!QDir().mkpath(path)) {
      QMessageBox::warning(this, windowTitle(), QString("无法创建文件夹 %1").arg(path));
      return;
    }
    SelectFolder(path);
  }
  chosen_ = path;
  accept();
}

void TDirSelectForm::SelectFolder(const QString& path) {
  const QModelIndex index = model_->index(QDir(path).absolutePath());
  if (!index.isValid()) return;
  ShellTreeView1->setCurrentIndex(index);
  ShellTreeView1->scrollTo(index);
  FolderChanged();
}

QString TDirSelectForm::SelectedFolder() const {
  const QModelIndex index = ShellTreeView1->currentIndex();
  return index.isValid() ? model_->filePath(index) : QString();
}

void TDirSelectForm::FolderChanged() {
  const QString path = SelectedFolder();
  if (path.isEmpty() || following_) return;
  if (ShellComboBox1->currentText() != path) ShellComboBox1->setEditText(path);
  if (dialog_) {
    dialog_->FolderChanged(path.toStdString());
    LabelFolder->setText(QString::fromStdString(dialog_->LabelFolder));
  } else {
    LabelFolder->setText(path.endsWith('/') ? path : path + '/');
  }
}

void TDirSelectForm::NewFolder() {
  const QString parent = SelectedFolder();
  if (parent.isEmpty()) return;
  bool ok = false;
  const QString name =
      QInputDialog::getText(this, "新建文件夹", "新文件夹的名称:", QLineEdit::Normal, "新建文件夹", &ok).trimmed();
  if (!ok || name.isEmpty()) return;
  if (name.contains('/') || name == "." || name == "..") {
    QMessageBox::warning(this, "新建文件夹", "文件夹名称不能包含 \"/\"。");
    return;
  }
  QDir dir(parent);
  if (!dir.mkdir(name)) {
    QMessageBox::warning(this, "新建文件夹", QString("无法创建文件夹 %1").arg(dir.filePath(name)));
    return;
  }
  SelectFolder(dir.filePath(name));
}

TDirSelectResult TDirSelectForm::ShowModal(TDirSelectDialog& dialog) {
  dialog_ = &dialog;
  setWindowTitle(QString::fromStdString(dialog.Caption));
  ComboBoxFAT->clear();
  for (const auto& item : dialog.ComboBoxFAT) ComboBoxFAT->addItem(QString::fromStdString(item));
  ComboBoxFAT->setCurrentIndex(dialog.ComboBoxFATItemIndex);
  if (SelectedFolder().isEmpty()) SelectFolder(QDir::homePath());
  FolderChanged();
  chosen_.clear();
  TDirSelectResult result;
  result.Ok = exec() == QDialog::Accepted && !chosen_.isEmpty();
  result.FATItemIndex = ComboBoxFAT->currentIndex();
  result.Folder = chosen_.toStdString();
  dialog_ = nullptr;
  return result;
}

}  // namespace vantrel::ui
