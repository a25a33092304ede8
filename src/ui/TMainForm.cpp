#include "ui/TMainForm.h"

#include <malloc.h>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QScreen>
#include <QSettings>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QMenuBar>
#include <QProcess>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <fstream>

#include "common/DebugLog.h"
#include "common/Routines.h"
#include "host/UserInterface.h"
#include "devices/ReadAheadCache.h"
#include "diskio/HostDiskPlatform.h"
#include "diskio/SectorAccess.h"
#include "recovery/LostData.h"
#include "recovery/RescueMap.h"
#include "recovery/Saving.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "ui/DiskPermissions.h"
#include "ui/TDiskService.h"
#include "ui/DriveDialogs.h"
#include "ui/Icons.h"
#include "ui/QtFrontEnd.h"
#include "ui/RangeDialogForms.h"
#include "ui/TDebugBoxForm.h"
#include "ui/TAboutDialog.h"
#include "ui/TDialogSystemInfo.h"
#include "ui/TDriveInfoDialog.h"
#include "ui/TFileListModel.h"
#include "ui/TFindDialog.h"
#include "ui/TItemPropertiesDialog.h"
#include "ui/TImagingDialog.h"
#include "ui/TViewerDialog.h"
#include "ui/TWelcomeDialog.h"
#include "ui/TOptionsDialog.h"
#include "ui/TStatusDialogForm.h"
#include "ui/TTreeAdapter.h"

namespace vantrel::ui {

namespace {

// A drive that was open before keeps its loaded folders; their tree nodes
// are made again when the drive is shown again.
void ForgetExpansion(TCustomDirectory* folder, int depth = 0) {
  if (!folder || depth > TFATDirectory::kMaxWalkDepth) return;
  folder->Expanded = 0;
  if (!folder->Items) return;
  for (const auto& child : *folder->Items)
    if (child->IsDirectory()) ForgetExpansion(static_cast<TCustomDirectory*>(child.get()), depth + 1);
}

std::uint64_t HeapBytesInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

}  // namespace

TStartArguments ParseStartArguments(const QStringList& arguments) {
  TStartArguments result;
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& a = arguments[i];
    if (i == 1 && a == "DEBUG") result.Debug = true;
    else if (a == "--only-images") result.OnlyImages = true;
    else result.Images.push_back(a.toStdString());
  }
  return result;
}

TMainForm::TMainForm(const TStartArguments& arguments, QWidget* parent) : QMainWindow(parent), FOptions(Options()) {
  setObjectName("TMainForm");
  setWindowTitle(kApplicationTitle);
  CreateActions();
  CreateMenus();
  CreateControls();
  FormCreate(arguments);
  // The other forms, each once for the whole run.
  PreviewDrvDialog = new TPreviewDrvDialog(this);
  DriveDlg = new TDriveDlg(*this, *PreviewDrvDialog, this);
  DirSelectForm = new TDirSelectForm(this);
  StatusForm = new TStatusDialogForm(Status, this);
  SectorDialogForm = new TSectorDialogForm(this);
  ClusterDialogForm = new TClusterDialogForm(this);
  FATSelectDialog = new TFATSelectDialog(this);
  AboutDialog = new TAboutDialog(this);
  DialogSystemInfo = new TDialogSystemInfo(this);
  FindDialog = new TFindDialog(this);
  WelcomeDialog = new TWelcomeDialog(*this, this);
  DriveInfoDialog = new TDriveInfoDialog(this);
  ViewerDialog = new TViewerDialog(this);
  ItemPropertiesDialog = new TItemPropertiesDialog(this);
  RestoreWindowSize();
}

void TMainForm::RestoreWindowSize() {
  // The size of the last run; the first time, most of the screen.
  const QSettings saved(QSettings::IniFormat, QSettings::UserScope, "vantrel", "window");
  if (restoreGeometry(saved.value("geometry").toByteArray())) return;
  const QRect screen = this->screen() ? this->screen()->availableGeometry() : QRect(0, 0, 1024, 768);
  // Room is left for the window manager's frame.
  resize(std::min(screen.width() - 32, std::max(820, screen.width() * 4 / 5)),
         std::min(screen.height() - 48, std::max(560, screen.height() * 4 / 5)));
  move(screen.center() - rect().center());
}

void TMainForm::closeEvent(QCloseEvent* event) {
  QSettings saved(QSettings::IniFormat, QSettings::UserScope, "vantrel", "window");
  saved.setValue("geometry", saveGeometry());
  DebugMessage("程序关闭", 1);
  QMainWindow::closeEvent(event);
}

TMainForm::~TMainForm() {
  SetDebugSink(nullptr);
  Status.SetView(nullptr);
  delete FDebugBox;
}

void TMainForm::FormCreate(const TStartArguments& arguments) {
  try {
    // 1. The update checker, from the program's own folder; nobody waits for
    // it, and a missing one is no error. A packaged program leaves updates
    // to the package manager.
#ifndef VANTREL_NO_UPDATE_CHECK
    const QString kobrel = QCoreApplication::applicationDirPath() + "/kobrel";
    if (QFileInfo(kobrel).isExecutable()) QProcess::startDetached(kobrel, {});
#endif
    // 2-3. The options.
    settings_ = std::make_unique<TSettingsFile>(TSettingsFile::DefaultPath());
    FOptions.Load(*settings_);
    ApplyOptions();
    // 4. The debug window.
    FDebugBox = new TDebugBoxForm;
    SetDebugSink(FDebugBox);
    SetDebugLevel(FOptions.DebugLevel);
    if (arguments.Debug) FDebugBox->SetVisible(true);
    DebugMessage("程序启动", 1);
    // 6-7.
    FDevices.Clear();
    FDrives.Clear();
    FChangeCount = 0;
    FListUpdateLock = 0;
    FDevicesPending = true;
    // Who names images came to open them: the drive dialog comes up at once
    // instead of the guide.
    FWelcomeShown = !arguments.Images.empty();
    // Disk images named on the command line are disks like the machine's.
    onlyImages_ = arguments.OnlyImages;
    HostPlatform().ClearImageFiles();
    HostPlatform().SetOnlyImages(onlyImages_);
    for (const auto& image : arguments.Images) {
      const QString path = QString::fromStdString(image);
      const QFileInfo info(path);
      if (!info.isFile() || !info.isReadable() || info.size() < 512) {
        OpenImage(path);  // says what is wrong with it
        continue;
      }
      const std::string canonical = info.canonicalFilePath().toStdString();
      if (std::find(images_.begin(), images_.end(), canonical) != images_.end()) continue;
      images_.push_back(canonical);
      HostPlatform().AddImageFile(canonical);
    }
    // 9.
    SetViewState(1);
  } catch (const std::exception& e) {
    ShowMessageBox(std::string("在启动应用程序的异常已经发生:\n") + e.what(), "", TMsgType::mtError);
  }
}

void TMainForm::CreateActions() {
  auto make = [this](const QString& text, const QString& hint, const QKeySequence& shortcut = {}) {
    auto* action = new QAction(text, this);
    action->setStatusTip(hint);
    action->setToolTip(hint);
    if (!shortcut.isEmpty()) action->setShortcut(shortcut);
    return action;
  };
  ButtonOpenDrive = make("选择驱动器", "选择一个逻辑驱动器");
  ButtonSaveTo = make("另存为", "保存选中的文件或文件夹");
  ButtonFind = make("查找", "搜寻删除，丢失和根文件夹中特定文件和目录");
  ButtonFindLostData = make("查找丢失", "查找所选驱动器上的丢失数据");
  ButtonParentDir = make("上一层", "上一层");
  btnAbout = make("关于", "关于本软件");
  const std::array<QAction*, 6> tools{ButtonOpenDrive, ButtonSaveTo, ButtonFind, ButtonFindLostData, ButtonParentDir,
                                      btnAbout};
  for (std::size_t i = 0; i < tools.size(); ++i) tools[i]->setIcon(ToolImage(static_cast<int>(i)));

  MenuDrive = make("选择驱动器(&D)...", "选择一个逻辑驱动器", QKeySequence("Ctrl+O"));
  MenuOpenImage = make("打开映像文件(&I)...", "把一个磁盘映像文件作为磁盘打开", QKeySequence("Ctrl+I"));
  MenuCreateImage = make("创建映像(&C)...", "把设备或驱动器复制到映像文件，坏扇区尽量少读");
  MenuRename = make("重命名(&R)...", "重命名一个文件或文件夹", QKeySequence(Qt::Key_F2));
  MenuProperties = make("属性(&P)...", "选定文件或文件夹的属性");
  MenuViewAs = make("视图(&V)...", "");
  MenuViewAsHex = make("十六进制(&H)...", "");
  MenuViewAsText = make("文本(&T)...", "");
  MenuSaveTo = make("另存为(&S)...", "保存选中的文件或文件夹", QKeySequence("Ctrl+S"));
  MenuFind = make("查找(&F)...", "搜寻删除，丢失和根文件夹中特定文件和目录");
  MenuOptions = make("选项(&O)...", "设置程序选项");
  MenuExit = make("退出(&X)", "退出程序");
  MenuSelectAll = make("全选(&A)", "选定所有项目", QKeySequence("Ctrl+A"));
  MenuInvertselection = make("反选(&I)", "反向选择");
  MenuToolbar = make("工具栏(&T)", "");
  MenuStatusbar = make("状态栏(&U)", "");
  MenuLargeIcons = make("大图标(&L)", "");
  MenuSmallIcons = make("小图标(&S)", "");
  MenuList = make("列表(&I)", "");
  MenuDetails = make("详细信息(&D)", "");
  MenuArrangebyName = make("根据名称排序(&N)", "");
  MenuArangebydate = make("根据日期排序(&D)", "");
  MenuArrangebySize = make("根据大小排序(&S)", "");
  MenuArrangebytype = make("根据类型排序(&T)", "");
  MenuArrangeDescendingOrder = make("降序排列(&D)", "");
  MenuArrangeAscendingOrder = make("升序排列(&A)", "");
  MenuDrvInfo = make("驱动器信息(&D)...", "显示驱动器信息");
  MenuSysInfo = make("系统信息(&S)...", "显示系统信息");
  MenuFindLostData = make("查找丢失的数据(&F)", "查找所选驱动器上的丢失数据");
  MenuAbout = make("关于本软件(&A)...", "关于本软件");
  PopupMenuSaveFileTo = make("另存为(&S)..", "保存选中的文件或文件夹");
  PopupMenuProperties = make("属性(&P)...", "选定文件或文件夹的属性");
  PopupMenuRename = make("重命名(&R)...", "重命名一个文件或文件夹");
  PopupMenuViewAsHex = make("显示十六进制(&H)...", "");
  PopupMenuViewAsText = make("显示文本(&T)...", "");

  for (QAction* a : {MenuToolbar, MenuStatusbar}) {
    a->setCheckable(true);
    a->setChecked(true);
  }
  auto* styles = new QActionGroup(this);
  for (QAction* a : {MenuLargeIcons, MenuSmallIcons, MenuList, MenuDetails}) {
    a->setCheckable(true);
    styles->addAction(a);
  }
  MenuDetails->setChecked(true);

  connect(ButtonOpenDrive, &QAction::triggered, this, &TMainForm::MenuDriveClick);
  connect(MenuDrive, &QAction::triggered, this, &TMainForm::MenuDriveClick);
  connect(MenuOpenImage, &QAction::triggered, this, &TMainForm::MenuOpenImageClick);
  connect(MenuCreateImage, &QAction::triggered, this, [this] { MenuCreateImageClick(); });
  for (QAction* a : {ButtonSaveTo, MenuSaveTo, PopupMenuSaveFileTo})
    connect(a, &QAction::triggered, this, &TMainForm::SaveSelection);
  for (QAction* a : {MenuRename, PopupMenuRename}) connect(a, &QAction::triggered, this, &TMainForm::MenuRenameClick);
  for (QAction* a : {ButtonFindLostData, MenuFindLostData})
    connect(a, &QAction::triggered, this, &TMainForm::MenuFindLostDataClick);
  connect(ButtonParentDir, &QAction::triggered, this, &TMainForm::ButtonParentDirClick);
  for (QAction* a : {ButtonFind, MenuFind}) connect(a, &QAction::triggered, this, &TMainForm::MenuFindClick);
  for (QAction* a : {MenuProperties, PopupMenuProperties})
    connect(a, &QAction::triggered, this, &TMainForm::MenuPropertiesClick);
  for (QAction* a : {MenuViewAsHex, PopupMenuViewAsHex})
    connect(a, &QAction::triggered, this, &TMainForm::MenuViewAsHexClick);
  for (QAction* a : {MenuViewAsText, PopupMenuViewAsText})
    connect(a, &QAction::triggered, this, &TMainForm::MenuViewAsTextClick);
  connect(MenuDrvInfo, &QAction::triggered, this, &TMainForm::MenuDrvInfoClick);
  connect(MenuSysInfo, &QAction::triggered, this, &TMainForm::MenuSysInfoClick);
  for (QAction* a : {MenuAbout, btnAbout}) connect(a, &QAction::triggered, this, &TMainForm::MenuAboutClick);
  connect(MenuOptions, &QAction::triggered, this, &TMainForm::MenuOptionsClick);
  connect(MenuExit, &QAction::triggered, this, &QWidget::close);
  connect(MenuSelectAll, &QAction::triggered, this, &TMainForm::MenuSelectAllClick);
  connect(MenuInvertselection, &QAction::triggered, this, &TMainForm::MenuInvertselectionClick);
  connect(MenuToolbar, &QAction::toggled, this, [this](bool on) { ToolBar2->setVisible(on); });
  connect(MenuStatusbar, &QAction::toggled, this, [this](bool on) { StatusBar1->setVisible(on); });
  connect(MenuLargeIcons, &QAction::triggered, this, [this] { SetListStyle(lsLargeIcons); });
  connect(MenuSmallIcons, &QAction::triggered, this, [this] { SetListStyle(lsSmallIcons); });
  connect(MenuList, &QAction::triggered, this, [this] { SetListStyle(lsList); });
  connect(MenuDetails, &QAction::triggered, this, [this] { SetListStyle(lsDetails); });
  connect(MenuArrangebyName, &QAction::triggered, this, [this] { SortList(kColumnName, FSortAscending); });
  connect(MenuArangebydate, &QAction::triggered, this, [this] { SortList(kColumnDate, FSortAscending); });
  connect(MenuArrangebySize, &QAction::triggered, this, [this] { SortList(kColumnSize, FSortAscending); });
  connect(MenuArrangebytype, &QAction::triggered, this, [this] { SortList(kColumnType, FSortAscending); });
  connect(MenuArrangeDescendingOrder, &QAction::triggered, this, [this] { SortList(FSortColumn, false); });
  connect(MenuArrangeAscendingOrder, &QAction::triggered, this, [this] { SortList(FSortColumn, true); });
}

void TMainForm::CreateMenus() {
  QMenu* object = menuBar()->addMenu("对象(&O)");
  object->addAction(MenuDrive);
  object->addAction(MenuOpenImage);
  object->addAction(MenuCreateImage);
  object->addSeparator();
  object->addAction(MenuRename);
  object->addAction(MenuProperties);
  auto* viewAs = new QMenu(this);
  viewAs->addAction(MenuViewAsHex);
  viewAs->addAction(MenuViewAsText);
  MenuViewAs->setMenu(viewAs);
  object->addAction(MenuViewAs);
  object->addAction(MenuSaveTo);
  object->addSeparator();
  object->addAction(MenuFind);
  object->addSeparator();
  object->addAction(MenuOptions);
  object->addSeparator();
  object->addAction(MenuExit);

  QMenu* edit = menuBar()->addMenu("编辑(&E)");
  edit->addAction(MenuSelectAll);
  edit->addAction(MenuInvertselection);

  QMenu* view = menuBar()->addMenu("视图(&V)");
  view->addAction(MenuToolbar);
  view->addAction(MenuStatusbar);
  view->addSeparator();
  for (QAction* a : {MenuLargeIcons, MenuSmallIcons, MenuList, MenuDetails}) view->addAction(a);
  view->addSeparator();
  QMenu* arrange = view->addMenu("项目排序(&A)...");
  for (QAction* a : {MenuArrangebyName, MenuArangebydate, MenuArrangebySize, MenuArrangebytype}) arrange->addAction(a);
  arrange->addSeparator();
  arrange->addAction(MenuArrangeDescendingOrder);
  arrange->addAction(MenuArrangeAscendingOrder);

  QMenu* info = menuBar()->addMenu("信息(&I)");
  info->addAction(MenuDrvInfo);
  info->addSeparator();
  info->addAction(MenuSysInfo);
  QMenu* tools = menuBar()->addMenu("工具(&T)");
  tools->addAction(MenuFindLostData);
  QMenu* about = menuBar()->addMenu("关于(&A)");
  about->addAction(MenuAbout);

  PopupMenuBrowseFile = new QMenu(this);
  PopupMenuBrowseFile->addAction(PopupMenuSaveFileTo);
  PopupMenuBrowseFile->addSeparator();
  PopupMenuBrowseFile->addAction(PopupMenuProperties);
  PopupMenuBrowseFile->addAction(PopupMenuRename);
  PopupMenuBrowseFile->addSeparator();
  PopupMenuBrowseFile->addAction(PopupMenuViewAsHex);
  PopupMenuBrowseFile->addAction(PopupMenuViewAsText);
}

void TMainForm::CreateControls() {
  ToolBar2 = addToolBar("ToolBar2");
  ToolBar2->setObjectName("ToolBar2");
  ToolBar2->setMovable(false);
  ToolBar2->setIconSize(QSize(32, 32));
  ToolBar2->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  ToolBar2->addAction(ButtonOpenDrive);
  ToolBar2->addAction(ButtonSaveTo);
  ToolBar2->addAction(ButtonFind);
  ToolBar2->addSeparator();
  ToolBar2->addAction(ButtonFindLostData);
  ToolBar2->addSeparator();
  ToolBar2->addAction(ButtonParentDir);
  ToolBar2->addSeparator();
  ToolBar2->addAction(btnAbout);
  for (QAction* a : ToolBar2->actions())
    if (QWidget* button = ToolBar2->widgetForAction(a); button && !a->isSeparator()) button->setMinimumWidth(77);

  Notebook1 = new QStackedWidget(this);
  DummyPage = new QWidget;
  BrowserPage = new QWidget;
  Notebook1->addWidget(DummyPage);
  Notebook1->addWidget(BrowserPage);
  auto* browser = new QVBoxLayout(BrowserPage);
  browser->setContentsMargins(0, 0, 0, 0);
  auto* splitter = new QSplitter(Qt::Horizontal, BrowserPage);
  splitter->setHandleWidth(4);
  browser->addWidget(splitter);

  // Left: the tree over its one-panel status bar.
  auto* left = new QWidget(splitter);
  auto* leftLayout = new QVBoxLayout(left);
  leftLayout->setContentsMargins(0, 0, 0, 0);
  leftLayout->setSpacing(0);
  TreeView = new QTreeWidget(left);
  TreeView->setObjectName("TreeView");
  TreeView->setHeaderHidden(true);
  TreeView->setIndentation(19);
  TreeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  TreeView->setIconSize(QSize(16, 16));
  // Names show whole; a deep tree scrolls sideways.
  TreeView->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  TreeView->header()->setStretchLastSection(false);
  leftLayout->addWidget(TreeView);
  StatusBar3 = new QStatusBar(left);
  StatusBar3->setSizeGripEnabled(false);
  StatusPanel3 = new QLabel(StatusBar3);
  StatusBar3->addWidget(StatusPanel3, 1);
  leftLayout->addWidget(StatusBar3);

  // Right: the list in its four styles over its status bar.
  auto* right = new QWidget(splitter);
  auto* rightLayout = new QVBoxLayout(right);
  rightLayout->setContentsMargins(0, 0, 0, 0);
  rightLayout->setSpacing(0);
  ListView1 = new TFileListModel(this);
  ListView1->SetCompare([this](const TListItem& a, const TListItem& b) { return ListView1Compare(a, b); });
  ListView1->SetRename([this](TListItem& item, const std::string& text) {
    if (!RenameItem(item.Data, text)) return false;
    item.Data->UpdateListItem(item);
    return true;
  });
  ListStack = new QStackedWidget(right);
  ListView1Details = new QTreeView(ListStack);
  ListView1Details->setObjectName("ListView1");
  ListView1Details->setModel(ListView1);
  ListView1Details->setRootIsDecorated(false);
  ListView1Details->setUniformRowHeights(true);
  ListView1Details->setAllColumnsShowFocus(true);
  ListView1Details->setSelectionMode(QAbstractItemView::ExtendedSelection);
  ListView1Details->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView1Details->header()->setSectionsClickable(true);
  ListView1Details->header()->setSortIndicatorShown(true);
  ListView1Icons = new QListView(ListStack);
  ListView1Icons->setObjectName("ListView1Icons");
  ListView1Icons->setModel(ListView1);
  ListView1Icons->setSelectionModel(ListView1Details->selectionModel());
  ListView1Icons->setSelectionMode(QAbstractItemView::ExtendedSelection);
  ListView1Icons->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView1Icons->setUniformItemSizes(true);
  ListView1Icons->setResizeMode(QListView::Adjust);
  // The selection stays visible while the tree has the focus.
  for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(ListView1Details),
                                  static_cast<QAbstractItemView*>(ListView1Icons)}) {
    QPalette palette = view->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    view->setPalette(palette);
  }
  ListStack->addWidget(ListView1Details);
  ListStack->addWidget(ListView1Icons);
  rightLayout->addWidget(ListStack);
  StatusBar2 = new QStatusBar(right);
  StatusBar2->setSizeGripEnabled(false);
  StatusPanel2 = new QLabel(StatusBar2);
  StatusBar2->addWidget(StatusPanel2, 1);
  rightLayout->addWidget(StatusBar2);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({180, 620});
  setCentralWidget(Notebook1);

  StatusBar1 = statusBar();
  const int widths[3] = {300, 150, 150};
  for (int i = 0; i < 3; ++i) {
    StatusPanel1[i] = new QLabel(StatusBar1);
    StatusPanel1[i]->setMinimumWidth(widths[i]);
    if (i == 0) StatusBar1->addWidget(StatusPanel1[i], 1);
    else StatusBar1->addPermanentWidget(StatusPanel1[i]);
  }

  tree_ = std::make_unique<TTreeAdapter>(TreeView, [this](auto* root, auto* deleted, auto* lost, auto* search) {
    FRootNode = root;
    FDeletedNode = deleted;
    FLostNode = lost;
    FSearchNode = search;
  });
  connect(TreeView, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* current) { TreeViewChange(current); });
  connect(TreeView, &QTreeWidget::itemClicked, this, [this] {
    if (TreeView->currentItem() && TreeView->currentItem() != FCurrentNode) TreeViewChange(TreeView->currentItem());
  });
  connect(TreeView, &QTreeWidget::itemExpanded, this, &TMainForm::TreeViewExpanded);
  connect(TreeView, &QTreeWidget::itemCollapsed, this, &TMainForm::TreeViewCollapsed);
  connect(TreeView, &QTreeWidget::itemChanged, this, &TMainForm::TreeViewEdited);
  connect(ListView1Details->header(), &QHeaderView::sectionClicked, this, &TMainForm::ListView1ColumnClick);
  for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(ListView1Details),
                                  static_cast<QAbstractItemView*>(ListView1Icons)}) {
    view->installEventFilter(this);
    view->viewport()->installEventFilter(this);
    connect(view, &QAbstractItemView::doubleClicked, this, [this] { ListView1DblClick(); });
    connect(view, &QAbstractItemView::clicked, this, [this] {
      UpdateCommands();
      UpdateStatus();
    });
  }
  TreeView->installEventFilter(this);

  Timer1 = new QTimer(this);
  Timer1->setInterval(3000);
  connect(Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);
  Timer1->start();
  Timer1Timer();
}

// ---- options ----

void TMainForm::ApplyOptions() {
  const QFont font = ToQFont(FOptions.FileListFont);
  TreeView->setFont(font);
  ListView1Details->setFont(font);
  ListView1Icons->setFont(font);
  SetReadAheadCacheSwitch(FOptions.EnableCache);
  SetLegacyAccessSwitches(FOptions.UseINT13, FOptions.UseVEV13UDI, FOptions.UseINT25);
  SetCriticalErrorBoxes(FOptions.EnableWinErrorMsg);
}

void TMainForm::MenuOptionsClick() {
  TOptionsDialog dialog(*settings_, this);
  if (!EditOptions(FOptions, dialog, false)) return;
  ApplyOptions();
  RefreshList();
}

void TMainForm::RefreshList() {
  if (!FCurrentNode) return;
  if (TCustomDirectory* folder = TTreeAdapter::DirectoryOf(FCurrentNode)) {
    folder->FillListView(*ListView1, IsDeletedBranch(FCurrentNode));
    UpdateStatus();
  }
}

// ---- view state and status ----

void TMainForm::SetViewState(int state) {
  FViewState = state;
  const std::vector<QAction*> all{MenuDrive, MenuOpenImage, MenuRename, MenuProperties, MenuViewAs, MenuViewAsHex,
                                  MenuViewAsText, MenuSaveTo, MenuFind, MenuOptions, MenuExit, MenuSelectAll,
                                  MenuInvertselection, MenuDrvInfo, MenuSysInfo, MenuFindLostData,
                                  PopupMenuSaveFileTo, PopupMenuProperties, PopupMenuRename, PopupMenuViewAsHex,
                                  PopupMenuViewAsText};
  for (QAction* a : all) a->setEnabled(false);
  for (QAction* a : {MenuExit, MenuDrive, MenuOpenImage, MenuViewAs, MenuOptions, MenuSysInfo, ButtonOpenDrive})
    a->setEnabled(true);
  if (state == 1) {
    Notebook1->setCurrentWidget(DummyPage);
    ButtonFind->setEnabled(false);
    ButtonFindLostData->setEnabled(false);
    ButtonSaveTo->setEnabled(false);
    ButtonParentDir->setEnabled(false);
  } else {
    Notebook1->setCurrentWidget(BrowserPage);
    for (QAction* a : {MenuSelectAll, MenuInvertselection, MenuFindLostData, MenuDrvInfo, MenuFind, ButtonFind,
                       ButtonFindLostData})
      a->setEnabled(true);
  }
}

void TMainForm::UpdateCommands() {
  const std::vector<int> rows = SelectedRows();
  const std::vector<QAction*> single{MenuRename, PopupMenuRename};
  const std::vector<QAction*> info{MenuProperties, PopupMenuProperties};
  const std::vector<QAction*> view{MenuViewAsHex, MenuViewAsText, PopupMenuViewAsHex, PopupMenuViewAsText};
  const bool any = !rows.empty();
  for (QAction* a : {PopupMenuSaveFileTo, ButtonSaveTo, MenuSaveTo}) a->setEnabled(any);
  const bool one = rows.size() == 1;
  for (QAction* a : single) a->setEnabled(one);
  for (QAction* a : info) a->setEnabled(one);
  const TFSObject* object = one ? ObjectOf(rows[0]) : nullptr;
  const bool file = object && !object->IsDirectory();
  for (QAction* a : view) a->setEnabled(file);
}

void TMainForm::UpdateStatus() {
  if (FListUpdateLock > 0) return;
  if (TCustomDirectory* folder = TTreeAdapter::DirectoryOf(FCurrentNode))
    StatusPanel2->setText(QString("内容 '%1'").arg(QString::fromStdString(ShortenPath(folder->GetPath(nullptr), 15))));
  const std::vector<int> rows = SelectedRows();
  std::uint32_t bytes = 0;  // wraps beyond 4 GiB as the sum always did
  auto add = [&](int row) {
    const TFSObject* object = ObjectOf(row);
    if (object && !object->IsDirectory()) bytes += static_cast<const TCustomFile*>(object)->Size;
  };
  if (rows.empty()) {
    StatusPanel1[0]->setText(QString("%1 个对象").arg(ListView1->Count()));
    for (int row = 0; row < ListView1->Count(); ++row) add(row);
  } else {
    StatusPanel1[0]->setText(QString("%1 对象被选择").arg(rows.size()));
    for (int row : rows) add(row);
  }
  StatusPanel1[1]->setText(QString("%1 KB").arg(bytes / 1024));
  const TCustomDirectory* current = TTreeAdapter::DirectoryOf(FCurrentNode);
  ButtonParentDir->setEnabled(current && current->Parent);
}

void TMainForm::Timer1Timer() {
  StatusPanel1[2]->setText(QString("内存占用: %1 字节").arg(HeapBytesInUse()));
}

bool TMainForm::event(QEvent* event) {
  // The long part of a hint goes to the first panel of the status bar.
  if (event->type() == QEvent::StatusTip) {
    const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
    if (!tip.isEmpty()) StatusPanel1[0]->setText(tip.section('|', -1));
    return true;
  }
  if (event->type() == QEvent::WindowActivate && !FWelcomeShown)
    QTimer::singleShot(0, this, &TMainForm::FormActivate);
  return QMainWindow::event(event);
}

void TMainForm::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  StatusPanel1[0]->setMinimumWidth(std::max(50, width() - 400));
}

// ---- long work ----

bool TMainForm::BeginLongWork() {
  if (busy_ > 0) return false;
  ++busy_;
  focusBeforeWork_ = QApplication::focusWidget();
  // The window stays alive (its events are processed) but offers nothing that
  // could start a second disk operation inside the first.
  menuBar()->setEnabled(false);
  ToolBar2->setEnabled(false);
  Notebook1->setEnabled(false);
  return true;
}

void TMainForm::EndLongWork() {
  if (busy_ > 0 && --busy_ == 0) {
    menuBar()->setEnabled(true);
    ToolBar2->setEnabled(true);
    Notebook1->setEnabled(true);
    // Disabling moved the focus away; it goes back where it was.
    if (focusBeforeWork_ && focusBeforeWork_->isEnabled() && focusBeforeWork_->isVisible())
      focusBeforeWork_->setFocus(Qt::OtherFocusReason);
    focusBeforeWork_ = nullptr;
  }
}

// ---- drives ----

bool TMainForm::ScanDevices() {
  if (!BeginLongWork()) return false;
  // The drives are about to be freed: nothing may show them any more.
  FDrive = nullptr;
  FDevice = nullptr;
  ListView1->Clear();
  TreeView->clear();
  FCurrentNode = FRootNode = FDeletedNode = FLostNode = FSearchNode = nullptr;
  SetViewState(1);
  FDrives.Clear();
  FDevices.Clear();
  CloseSectorHandles();
  HostPlatform().Rescan();
  // Disks this user may not open are asked of the system's disk service,
  // which asks for the password; what it opens is scanned like the rest.
  TDiskService::TResult service;
  if (!onlyImages_) service = DiskService().OpenForReading(DisksWithoutReadPermission());
  Status.Init("扫描设备", "", "请等待...", "", "", false, false);
  Status.Show();
  ProcessMessages();
  FDevices.Detect(&Status);
  ApplyImagingMaps();
  if (!Status.Cancelled) {
    Status.Init("扫描驱动器", "", "请等待...", "", "", false, false);
    for (int i = 0; i < FDevices.Count(); ++i) {
      Status.SetTexts("扫描驱动器", "驱动器: " + FDevices.Items(i)->Name, "请等待...", "", "");
      ProcessMessages();
      if (Status.Cancelled) break;
      FDrives.ScanDevice(*FDevices.Items(i));
    }
  }
  Status.Hide();
  const bool cancelled = Status.Cancelled;
  EndLongWork();
  // Disks that were skipped for lack of rights would leave an empty list
  // that looks like a machine without disks.
  if (!onlyImages_ && !permissionTold_) {
    const std::vector<std::string> denied = DisksWithoutReadPermission();
    if (!denied.empty()) {
      permissionTold_ = true;
      ShowMessageBox(PermissionAdvice(denied, service.ServiceMissing, service.Error), "没有读取磁盘的权限",
                     TMsgType::mtWarning);
    }
  }
  return !cancelled;
}

void TMainForm::MenuDriveClick() {
  if (Busy()) return;
  if (FDevicesPending) {
    FDevicesPending = false;
    if (!ScanDevices()) return;
  }
  if (!DriveDlg->Execute()) return;
  if (DriveDlg->SelectedDrive >= FDrives.Count()) return;
  FDrive = FDrives.Items(DriveDlg->SelectedDrive);
  FDevice = FDrive->Device;
  if (auto* fat = dynamic_cast<TFATdrive*>(FDrive)) {
    fat->FATChoice = DriveDlg->SelectedFAT;
    fat->SkipBadClusters = DriveDlg->SkipBadClusters ? 1 : 0;
  }
  StatusPanel3->setText("文件夹");
  DebugMessage("选择的驱动器: " + FDrive->Name, 1);
  SetViewState(2);
  InitBrowser();
  ListView1->ClearColumns();
  FDrive->SetupColumns(*ListView1);
  // The widths are those of the other platform's font; a date must fit whole.
  const int dateWidth = ListView1Details->fontMetrics().horizontalAdvance("00.00.0000 00:00") + 16;
  for (int c = 0; c < ListView1->columnCount(); ++c)
    ListView1Details->setColumnWidth(c, c == kColumnDate ? std::max(dateWidth, ListView1->ColumnWidth(c))
                                                         : ListView1->ColumnWidth(c));
  ListView1Details->header()->setSortIndicator(FSortColumn, Qt::AscendingOrder);
  // The name takes the room the other columns leave.
  if (ListView1->columnCount() > 0) ListView1Details->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  UpdateStatus();
}

void TMainForm::InitBrowser() {
  ListView1->Clear();
  FSortColumn = 0;
  FSortAscending = true;
  TreeView->clear();
  FCurrentNode = nullptr;
  if (!FDrive) return;
  for (TCustomDirectory* top : {FDrive->RootDir.get(), FDrive->DeletedDir.get(), FDrive->LostDir.get(),
                                FDrive->SearchDir.get()})
    ForgetExpansion(top);
  FDrive->FillTree(*tree_);
  TreeView->setCurrentItem(nullptr);
}

bool TMainForm::OpenImage(const QString& path) {
  const QFileInfo info(path);
  QString problem;
  if (!info.exists()) problem = "文件不存在。";
  else if (info.isDir()) problem = "这是一个文件夹，不是映像文件。";
  else if (!info.isFile()) problem = "这不是一个普通文件。";
  else if (!info.isReadable()) problem = "没有读取这个文件的权限。";
  else if (info.size() < 512) problem = "文件太小，连一个扇区（512 字节）都没有，不能作为磁盘。";
  else {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) problem = "无法读取：" + file.errorString();
  }
  if (!problem.isEmpty()) {
    ShowMessageBox(("无法打开映像文件 " + path + "：\n" + problem).toStdString(), "打开映像文件",
                   TMsgType::mtError);
    return false;
  }
  const std::string canonical = info.canonicalFilePath().toStdString();
  if (std::find(images_.begin(), images_.end(), canonical) == images_.end()) {
    images_.push_back(canonical);
    HostPlatform().AddImageFile(canonical);
    // Once the machine was scanned, the image joins the lists: the drives
    // and what was found on them stay.
    if (!FDevicesPending) AddImageDevice(static_cast<int>(images_.size()) - 1);
  }
  return true;
}

void TMainForm::AddImageDevice(int image) {
  // Image n is disk 0x80 + n, before the machine's own disks, which move
  // up by one.
  const int number = 0x80 + image;
  CloseSectorHandles();
  HostPlatform().Rescan();
  for (int i = 0; i < FDevices.Count(); ++i) {
    TDevice* d = FDevices.Items(i);
    if (d->Kind == dkBIOS && d->Number >= number && d->Number < 0xFF) ++d->Number;
  }
  TDeviceList found;
  found.Detect(nullptr);
  for (int i = 0; i < found.Count(); ++i) {
    const TDevice* f = found.Items(i);
    if (f->Kind != dkBIOS || f->Number != number) continue;
    auto device = std::make_unique<TDevice>();
    device->Kind = f->Kind;
    device->Number = f->Number;
    device->MediaType = f->MediaType;
    device->Flags = f->Flags;
    device->TotalSectors = f->TotalSectors;
    device->BytesPerSector = f->BytesPerSector;
    device->Partitioned = f->Partitioned;
    device->ReadAheadPending = true;
    TDevice* added = FDevices.Add(std::move(device));
    added->Name = FDevices.GetDeviceName(FDevices.Count() - 1, true);
    ApplyImagingMaps();
    FDrives.ScanDevice(*added);
    break;
  }
}

void TMainForm::ApplyImagingMaps() {
  // An image made by an imaging run carries its map beside it: the sectors
  // the map does not hold as rescued are unreadable, never read.
  for (int i = 0; i < FDevices.Count(); ++i) {
    TDevice& device = *FDevices.Items(i);
    const std::size_t image = device.Number - 0x80u;
    if (device.Kind != dkBIOS || device.Number < 0x80 || image >= images_.size()) continue;
    const std::string map = ImagingMapBeside(images_[image]);
    if (map.empty()) continue;
    std::uint64_t sectors = 0;
    std::string error;
    const bool applied = vantrel::ApplyImagingMap(device, map, sectors, error);
    if (!mapsAnnounced_.insert(images_[image]).second) continue;
    if (applied)
      ShowMessageBox("映像文件 " + images_[image] + " 旁有映射文件 " + map + "：其中 " + std::to_string(sectors) +
                         " 个扇区未救出，按无法读取的扇区处理（不读取）。",
                     "打开映像文件", TMsgType::mtInformation);
    else
      ShowMessageBox("映像文件 " + images_[image] + " 旁的映射文件无法使用：" + error, "打开映像文件",
                     TMsgType::mtWarning);
  }
}

void TMainForm::MenuOpenImageClick() {
  if (Busy()) return;
  const QString path = QFileDialog::getOpenFileName(this, "打开映像文件", QDir::homePath(),
                                                    "磁盘映像 (*.img *.ima *.dd *.raw *.bin *.iso);;所有文件 (*)",
                                                    nullptr, QFileDialog::DontUseNativeDialog);
  if (path.isEmpty() || !OpenImage(path)) return;
  MenuDriveClick();
}

void TMainForm::MenuCreateImageClick(TDevice* device) {
  if (Busy()) return;
  if (FDevicesPending) {
    FDevicesPending = false;
    if (!ScanDevices()) return;
  }
  TImagingDialog dialog(FDevices, FDrives, this);
  if (device) dialog.SelectDevice(device);
  TImagingDialog::TOutcome outcome = TImagingDialog::TOutcome::Refused;
  // A refused start goes back to the dialog, to choose another target.
  while (outcome == TImagingDialog::TOutcome::Refused && dialog.exec() == QDialog::Accepted) {
    if (!BeginLongWork()) return;
    outcome = dialog.Image(Status);
    EndLongWork();
  }
  if (outcome == TImagingDialog::TOutcome::Open && OpenImage(QString::fromStdString(dialog.Target())))
    MenuDriveClick();
}

void TMainForm::FindLostDrives(TDevice& device, std::int64_t first, std::int64_t last) {
  if (device.TotalSectors == 0) return;
  const std::int64_t lastSector = static_cast<std::int64_t>(device.TotalSectors) - 1;
  if (first < 0 || last < first || first > lastSector) {
    ShowMessageBox("扇区范围无效：请输入 0 到 " + std::to_string(lastSector) + " 之间的开始和结束扇区。", "",
                   TMsgType::mtWarning);
    return;
  }
  if (!BeginLongWork()) return;
  try {
    vantrel::FindLostDrives(device, static_cast<std::uint64_t>(first),
                            static_cast<std::uint64_t>(std::min(last, lastSector)), FDrives, &Status);
  } catch (const std::exception& e) {
    Status.Hide();
    ShowMessageBox(e.what(), "", TMsgType::mtError);
  }
  EndLongWork();
}

// ---- tree ----

bool TMainForm::IsDeletedBranch(const QTreeWidgetItem* node) const {
  for (; node; node = node->parent())
    if (node == FDeletedNode) return true;
  return false;
}

void TMainForm::TreeViewChange(QTreeWidgetItem* node) {
  Q_UNUSED(node);
  const int mine = ++FChangeCount;
  QElapsedTimer clock;
  clock.start();
  // Keyboard scrolling through the tree fills the list only for the node the
  // user rests on: a newer change within 100 ms makes this one give up.
  do {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  } while (clock.elapsed() <= 100 && FChangeCount == mine);
  if (FChangeCount != mine) return;
  QTreeWidgetItem* selected = TreeView->currentItem();
  if (TreeView->isVisible() && selected) {
    TCustomDirectory* folder = TTreeAdapter::DirectoryOf(selected);
    if (!folder) {
      ListView1->Clear();
    } else {
      try {
        BeginListUpdate();
        folder->FillListView(*ListView1, IsDeletedBranch(selected));
        EndListUpdate();
      } catch (const std::exception& e) {
        EndListUpdate();
        ShowMessageBox(e.what(), "", TMsgType::mtError);
      }
      ++ListFillCount;
      FCurrentNode = selected;
      UpdateStatus();
    }
  }
  FChangeCount = 0;
}

void TMainForm::TreeViewExpanded(QTreeWidgetItem* node) {
  TCustomDirectory* folder = TTreeAdapter::DirectoryOf(node);
  if (!folder) return;
  if (!folder->Expanded) {
    try {
      folder->ExpandNode(*tree_, TTreeAdapter::NodeOf(node), IsDeletedBranch(node));
    } catch (const std::exception& e) {
      ShowMessageBox(e.what(), "", TMsgType::mtError);
      node->setExpanded(false);
      return;
    }
  }
  if (node != FDeletedNode && node != FLostNode && node != FSearchNode)
    TTreeAdapter::SetImage(node, folder->Status == isDeleted ? 7 : 1);
}

void TMainForm::TreeViewCollapsed(QTreeWidgetItem* node) {
  TCustomDirectory* folder = TTreeAdapter::DirectoryOf(node);
  if (!folder || node == FDeletedNode || node == FLostNode || node == FSearchNode) return;
  TTreeAdapter::SetImage(node, folder->Status == isDeleted ? 6 : 0);
}

void TMainForm::TreeViewEdited(QTreeWidgetItem* node, int column) {
  if (node != editingNode_ || column != 0 || node->text(0) == editingText_) return;
  editingNode_ = nullptr;
  if (TCustomDirectory* folder = TTreeAdapter::DirectoryOf(node)) folder->SetName(node->text(0).toStdString());
}

// ---- list ----

std::vector<int> TMainForm::SelectedRows() const {
  std::vector<int> rows;
  for (const QModelIndex& index : ListView1Details->selectionModel()->selectedRows()) rows.push_back(index.row());
  std::sort(rows.begin(), rows.end());
  return rows;
}

TFSObject* TMainForm::ObjectOf(int row) const {
  return row >= 0 && row < ListView1->Count() ? ListView1->Item(row).Data : nullptr;
}

QAbstractItemView* TMainForm::ListView() const {
  return style_ == lsDetails ? static_cast<QAbstractItemView*>(ListView1Details)
                             : static_cast<QAbstractItemView*>(ListView1Icons);
}

int TMainForm::ListView1Compare(const TListItem& item1, const TListItem& item2) const {
  if (!item1.Data || !item2.Data) return 0;
  const TCustomDirectory* parent = item1.Data->Parent;
  if (!parent) return 0;
  const int r = parent->CompareItems(item1, item2, FSortColumn);
  return FSortAscending ? r : -r;
}

void TMainForm::SortList(int column, bool ascending) {
  FSortColumn = column;
  FSortAscending = ascending;
  ListView1Details->header()->setSortIndicator(column, ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
  ListView1->Sort();
}

void TMainForm::ListView1ColumnClick(int column) {
  SortList(column, column == FSortColumn ? !FSortAscending : true);
}

void TMainForm::SetListStyle(TListStyle style) {
  style_ = style;
  switch (style) {
    case lsDetails:
      MenuDetails->setChecked(true);
      ListStack->setCurrentWidget(ListView1Details);
      return;
    case lsLargeIcons:
      MenuLargeIcons->setChecked(true);
      ListView1Icons->setViewMode(QListView::IconMode);
      ListView1Icons->setIconSize(QSize(32, 32));
      ListView1Icons->setGridSize(QSize(112, 68));
      ListView1Icons->setWordWrap(true);
      break;
    case lsSmallIcons:
      MenuSmallIcons->setChecked(true);
      ListView1Icons->setViewMode(QListView::ListMode);
      ListView1Icons->setFlow(QListView::LeftToRight);
      ListView1Icons->setWrapping(true);
      ListView1Icons->setIconSize(QSize(16, 16));
      ListView1Icons->setGridSize(QSize(160, 20));
      break;
    case lsList:
      MenuList->setChecked(true);
      ListView1Icons->setViewMode(QListView::ListMode);
      ListView1Icons->setFlow(QListView::TopToBottom);
      ListView1Icons->setWrapping(true);
      ListView1Icons->setIconSize(QSize(16, 16));
      ListView1Icons->setGridSize(QSize(160, 20));
      break;
  }
  ListView1Icons->setMovement(QListView::Static);
  ListStack->setCurrentWidget(ListView1Icons);
}

void TMainForm::MenuSelectAllClick() {
  ListView()->setUpdatesEnabled(false);
  ListView()->selectAll();
  ListView()->setUpdatesEnabled(true);
  UpdateCommands();
  UpdateStatus();
}

void TMainForm::MenuInvertselectionClick() {
  QItemSelectionModel* selection = ListView1Details->selectionModel();
  const int rows = ListView1->Count();
  if (rows == 0) return;
  const QItemSelection all(ListView1->index(0, 0), ListView1->index(rows - 1, ListView1->columnCount() - 1));
  selection->select(all, QItemSelectionModel::Toggle | QItemSelectionModel::Rows);
}

void TMainForm::SaveSelection() {
  const std::vector<int> rows = SelectedRows();
  if (rows.empty() || !ObjectOf(rows[0])) return;
  auto* drive = dynamic_cast<TFATdrive*>(ObjectOf(rows[0])->Drive);
  if (!drive) return;
  std::vector<TFSObject*> selected;
  for (int row : rows)
    if (TFSObject* object = ObjectOf(row)) selected.push_back(object);
  if (!BeginLongWork()) return;
  const int viaImage = AskImageFirst(*drive);
  if (viaImage < 0) {
    EndLongWork();
    return;
  }
  DirSelectForm->ExaminedDevice.clear();
  if (const TDevice* device = drive->Device)
    DirSelectForm->ExaminedDevice = device->Kind == dkBIOS ? DiskPlatform().PhysicalDeviceName(device->Number)
                                                           : DiskPlatform().LogicalDeviceName(device->Number);
  TSaveReport report;
  try {
    const bool deletedMode = IsDeletedBranch(TreeView->currentItem());
    report = viaImage ? SaveSelectedViaImage(*drive, selected, deletedMode)
                      : SaveSelected(*drive, selected, deletedMode, DirSelectDialog, *DirSelectForm, Status);
  } catch (const std::exception& e) {
    Status.Hide();
    ShowMessageBox(e.what(), "", TMsgType::mtError);
  }
  EndLongWork();
  if (report.FilesSaved || report.FilesFailed || report.FilesSkipped) {
    QString text = QString("已保存 %1 个文件，跳过 %2 个，失败 %3 个")
                       .arg(report.FilesSaved)
                       .arg(report.FilesSkipped)
                       .arg(report.FilesFailed);
    // Saved, but with bytes that fail their format's checks.
    if (!report.FailedCheck.empty()) text += QString("，损坏 %1 个").arg(report.FailedCheck.size());
    StatusPanel1[0]->setText(text);
  }
  // What was saved has been checked: the list shows the verdicts.
  if (report.FilesSaved)
    for (int row : rows)
      if (TFSObject* object = ObjectOf(row); object && !object->IsDirectory()) {
        object->UpdateListItem(ListView1->Item(row));
        ListView1->RowChanged(row);
      }
}

void TMainForm::MenuRenameClick() {
  QAbstractItemView* view = ListView();
  const std::vector<int> rows = SelectedRows();
  if (view->hasFocus() && !rows.empty()) {
    const QModelIndex index = ListView1->index(rows[0], 0);
    view->setCurrentIndex(index);
    view->edit(index);
  } else if (TreeView->hasFocus() && TreeView->currentItem()) {
    editingNode_ = TreeView->currentItem();
    editingText_ = editingNode_->text(0);
    TreeView->editItem(editingNode_, 0);
  }
}

bool TMainForm::RenameItem(TFSObject* object, const std::string& text) {
  if (!object || !object->Parent || !object->Parent->Items) return false;
  const std::string old = DisplayNameOf(*object);
  for (const auto& item : *object->Parent->Items) {
    if (DisplayNameOf(*item) == text) {
      ShowMessageBox(old + " 不能重命名：具有此名称的项目已经存在。请选择其他名称。", "", TMsgType::mtInformation);
      return false;
    }
  }
  return object->SetName(text);
}

void TMainForm::ButtonParentDirClick() {
  if (!FCurrentNode || !FCurrentNode->parent()) return;
  QTreeWidgetItem* parent = FCurrentNode->parent();
  TreeView->setCurrentItem(parent);
  if (TCustomDirectory* folder = TTreeAdapter::DirectoryOf(parent)) {
    folder->FillListView(*ListView1, IsDeletedBranch(parent));
    ListView()->setFocus();
    FCurrentNode = parent;
    UpdateStatus();
  }
}

void TMainForm::FollowChild(TFSObject* object) {
  if (!FCurrentNode) return;
  FCurrentNode->setExpanded(true);
  for (int i = 0; i < FCurrentNode->childCount(); ++i) {
    QTreeWidgetItem* child = FCurrentNode->child(i);
    if (TTreeAdapter::DirectoryOf(child) == object) {
      FCurrentNode = child;
      break;
    }
  }
}

void TMainForm::ListView1DblClick() {
  const std::vector<int> rows = SelectedRows();
  if (rows.empty()) return;
  TFSObject* object = ObjectOf(rows[0]);
  if (!object || !object->IsDirectory()) return;
  FollowChild(object);
  static_cast<TCustomDirectory*>(object)->FillListView(*ListView1, IsDeletedBranch(FCurrentNode));
  ListView()->setFocus();
  UpdateStatus();
}

void TMainForm::ListView1KeyPress(int key) {
  if (key == Qt::Key_Backspace) ButtonParentDirClick();
  else if (key == Qt::Key_Return || key == Qt::Key_Enter) ListView1DblClick();
}

void TMainForm::ListView1MouseDown(bool right, const QPoint& globalPosition) {
  UpdateCommands();
  UpdateStatus();
  if (right) PopupMenuBrowseFile->popup(globalPosition);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  const bool listView = watched == ListView1Details || watched == ListView1Icons;
  const bool viewport = watched == ListView1Details->viewport() || watched == ListView1Icons->viewport();
  if (listView && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    // Keys typed into the name editor go to the editor, not here.
    if ((key->key() == Qt::Key_Backspace || key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
      ListView1KeyPress(key->key());
      UpdateCommands();
      UpdateStatus();
      return true;
    }
    // The other keys move the selection first, then the commands follow it.
    QTimer::singleShot(0, this, [this] {
      UpdateCommands();
      UpdateStatus();
    });
  }
  if (viewport && event->type() == QEvent::MouseButtonRelease) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    ListView1MouseDown(mouse->button() == Qt::RightButton, mouse->globalPosition().toPoint());
  }
  // Entering the tree leaves the list's selection; the focus coming back
  // when a dialog or a long work ends does not.
  if (watched == TreeView && event->type() == QEvent::FocusIn) {
    const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
    if ((reason == Qt::MouseFocusReason || reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason) &&
        !ListView1Details->selectionModel()->selectedRows().isEmpty()) {
      ListView1Details->clearSelection();
      UpdateCommands();
      UpdateStatus();
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

// ---- lost data ----

void TMainForm::MenuFindLostDataClick() {
  auto* drive = dynamic_cast<TFATdrive*>(FDrive);
  if (!drive || !FLostNode || !BeginLongWork()) return;
  ForgetBranch(FLostNode, drive->LostDir.get());
  try {
    FindLostData(*drive, Status, ClusterDialog, *ClusterDialogForm);
  } catch (const std::exception& e) {
    Status.Hide();
    ShowMessageBox(e.what(), "", TMsgType::mtError);
  }
  EndLongWork();
  drive->LostDir->Expanded = 0;
  tree_->SetHasChildren(TTreeAdapter::NodeOf(FLostNode), drive->LostDir->HasSubdirectories());
  FLostNode->setExpanded(false);
  TreeView->setCurrentItem(FLostNode);
  TreeView->setFocus();
  FLostNode->setExpanded(true);
  if (FChangeCount == 0 && FCurrentNode != FLostNode) TreeViewChange(FLostNode);
}

void TMainForm::ForgetBranch(QTreeWidgetItem* top, const TCustomDirectory* folder) {
  // Whatever node the list came from, none of its items may outlive the
  // folders the search is about to free.
  bool pointsInto = false;
  for (QTreeWidgetItem* n = FCurrentNode; n && !pointsInto; n = n->parent()) pointsInto = n == top;
  for (int row = 0; row < ListView1->Count() && !pointsInto; ++row)
    for (const TFSObject* o = ObjectOf(row); o && !pointsInto; o = o->Parent) pointsInto = o == folder;
  if (pointsInto) {
    ListView1Details->selectionModel()->clear();
    ListView1->Clear();
    FCurrentNode = nullptr;
    UpdateCommands();
    UpdateStatus();
  }
  // Deleting the selected node would move the tree's selection, and its
  // change would fill the list from the old folders once more.
  bool selectedInside = false;
  for (QTreeWidgetItem* n = TreeView->currentItem(); n && !selectedInside; n = n->parent())
    selectedInside = n == top && n != TreeView->currentItem();
  const QSignalBlocker block(TreeView);
  if (selectedInside) TreeView->setCurrentItem(top);
  qDeleteAll(top->takeChildren());
}

}  // namespace vantrel::ui
