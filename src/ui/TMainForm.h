#pragma once
// The explorer window: a tree of the open drive's folders on the left, the
// items of the current folder on the right, the commands that act on them,
// and every dialog of the program, each created once.

#include <QMainWindow>
#include <QPointer>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/RangeDialogs.h"
#include "app/TOptions.h"
#include "app/TSettingsFile.h"
#include "host/TStatusDialog.h"
#include "devices/TDevice.h"
#include "recovery/TDriveList.h"
#include "fs/Views.h"

class QAbstractItemView;
class QAction;
class QLabel;
class QListView;
class QMenu;
class QStackedWidget;
class QStatusBar;
class QTimer;
class QToolBar;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace vantrel {
class TCustomDirectory;
class TCustomDrive;
class TFATdrive;
class TFSObject;
struct TSaveReport;
}  // namespace vantrel

namespace vantrel::ui {

class TAboutDialog;
class TClusterDialogForm;
class TDebugBoxForm;
class TDialogSystemInfo;
class TDriveInfoDialog;
class TFindDialog;
class TItemPropertiesDialog;
class TViewerDialog;
class TWelcomeDialog;
class TDirSelectForm;
class TDriveDlg;
class TFATSelectDialog;
class TFileListModel;
class TOptionsDialog;
class TPreviewDrvDialog;
class TSectorDialogForm;
class TStatusDialogForm;
class TTreeAdapter;

// How the window was started.
struct TStartArguments {
  bool Debug = false;                // first parameter "DEBUG"
  bool OnlyImages = false;           // --only-images: no disks of the machine
  std::vector<std::string> Images;   // image files to add as disks
};
TStartArguments ParseStartArguments(const QStringList& arguments);

// List view styles, as the "视图" menu names them.
enum TListStyle { lsLargeIcons, lsSmallIcons, lsList, lsDetails };

class TMainForm : public QMainWindow {
  Q_OBJECT
 public:
  explicit TMainForm(const TStartArguments& arguments, QWidget* parent = nullptr);
  ~TMainForm() override;

  // ---- state, named as the other dialogs read it ----
  TDebugBoxForm* FDebugBox = nullptr;
  bool FDevicesPending = true;
  QTreeWidgetItem* FCurrentNode = nullptr;
  bool FWelcomeShown = false;
  int FChangeCount = 0;
  int FListUpdateLock = 0;
  int FSortColumn = 0;
  bool FSortAscending = true;
  TDeviceList FDevices;
  TDriveList FDrives;
  TDevice* FDevice = nullptr;
  TCustomDrive* FDrive = nullptr;
  QTreeWidgetItem *FRootNode = nullptr, *FDeletedNode = nullptr, *FLostNode = nullptr, *FSearchNode = nullptr;
  TOptions& FOptions;
  int FViewState = 0;

  // ---- the dialogs, created once ----
  TStatusDialog Status;
  TStatusDialogForm* StatusForm = nullptr;
  TSectorDialog SectorDialog;
  TSectorDialogForm* SectorDialogForm = nullptr;
  TClusterDialog ClusterDialog;
  TClusterDialogForm* ClusterDialogForm = nullptr;
  TDirSelectDialog DirSelectDialog;
  TDirSelectForm* DirSelectForm = nullptr;
  TPreviewDrvDialog* PreviewDrvDialog = nullptr;
  TDriveDlg* DriveDlg = nullptr;
  TFATSelectDialog* FATSelectDialog = nullptr;
  TFindDialog* FindDialog = nullptr;
  TWelcomeDialog* WelcomeDialog = nullptr;
  TViewerDialog* ViewerDialog = nullptr;
  TItemPropertiesDialog* ItemPropertiesDialog = nullptr;
  TDriveInfoDialog* DriveInfoDialog = nullptr;
  TDialogSystemInfo* DialogSystemInfo = nullptr;
  TAboutDialog* AboutDialog = nullptr;

  // ---- controls ----
  QToolBar* ToolBar2 = nullptr;
  QStackedWidget* Notebook1 = nullptr;
  QWidget* BrowserPage = nullptr;
  QWidget* DummyPage = nullptr;
  QTreeWidget* TreeView = nullptr;
  QStackedWidget* ListStack = nullptr;
  TFileListModel* ListView1 = nullptr;  // the list's items
  QTreeView* ListView1Details = nullptr;
  QListView* ListView1Icons = nullptr;
  QStatusBar *StatusBar1 = nullptr, *StatusBar2 = nullptr, *StatusBar3 = nullptr;
  QLabel* StatusPanel1[3] = {};
  QLabel* StatusPanel2 = nullptr;
  QLabel* StatusPanel3 = nullptr;
  QTimer* Timer1 = nullptr;
  QMenu* PopupMenuBrowseFile = nullptr;

  QAction *ButtonOpenDrive, *ButtonSaveTo, *ButtonFind, *ButtonFindLostData, *ButtonParentDir, *btnAbout;
  QAction *MenuDrive, *MenuOpenImage, *MenuRename, *MenuProperties, *MenuViewAs, *MenuViewAsHex, *MenuViewAsText,
      *MenuSaveTo, *MenuFind, *MenuOptions, *MenuExit;
  QAction *MenuSelectAll, *MenuInvertselection;
  QAction *MenuToolbar, *MenuStatusbar, *MenuLargeIcons, *MenuSmallIcons, *MenuList, *MenuDetails;
  QAction *MenuArrangebyName, *MenuArangebydate, *MenuArrangebySize, *MenuArrangebytype,
      *MenuArrangeDescendingOrder, *MenuArrangeAscendingOrder;
  QAction* MenuCreateImage = nullptr;
  QAction *MenuDrvInfo, *MenuSysInfo, *MenuFindLostData, *MenuAbout;
  QAction *PopupMenuSaveFileTo, *PopupMenuProperties, *PopupMenuRename, *PopupMenuViewAsHex, *PopupMenuViewAsText;

  // Lists filled by a tree selection change (the debounce test counts them).
  int ListFillCount = 0;

  // ---- commands ----
  void MenuDriveClick();
  bool OpenImage(const QString& path);
  void MenuOpenImageClick();
  // "创建映像": a device or drive copied to an image file with its map;
  // device, when given, is chosen in the dialog.
  void MenuCreateImageClick(TDevice* device = nullptr);
  bool ScanDevices();
  void FindLostDrives(TDevice& device, std::int64_t first, std::int64_t last);
  void SaveSelection();
  // Before a save from a device whose reads have failed: whether to image
  // the selected items first (1), save directly (0) or not at all (-1).
  int AskImageFirst(const TFATdrive& drive);
  // The save through an image: the folder and FAT copy asked for, the
  // selected items' clusters (and the drive's structures) imaged first, the
  // image opened with its map, and the same items saved from it.
  TSaveReport SaveSelectedViaImage(TFATdrive& drive, const std::vector<TFSObject*>& selected, bool deletedMode);
  void MenuRenameClick();
  bool RenameItem(TFSObject* object, const std::string& text);
  void MenuSelectAllClick();
  void MenuInvertselectionClick();
  void SetListStyle(TListStyle style);
  TListStyle ListStyle() const { return style_; }
  void ListView1ColumnClick(int column);
  void SortList(int column, bool ascending);
  int ListView1Compare(const TListItem& item1, const TListItem& item2) const;
  void ButtonParentDirClick();
  void ListView1DblClick();
  void MenuFindLostDataClick();
  void MenuFindClick();
  void MenuPropertiesClick();
  void MenuViewAsHexClick() { ViewSelected(true); }
  void MenuViewAsTextClick() { ViewSelected(false); }
  void ViewSelected(bool hex);
  void MenuDrvInfoClick();
  void MenuSysInfoClick();
  void MenuAboutClick();
  // The first activation shows the welcome guide.
  void FormActivate();
  void MenuOptionsClick();
  void ApplyOptions();
  void SetViewState(int state);
  void UpdateCommands();
  void UpdateStatus();
  void TreeViewChange(QTreeWidgetItem* node);
  bool IsDeletedBranch(const QTreeWidgetItem* node) const;
  void BeginListUpdate() { ++FListUpdateLock; }
  void EndListUpdate() {
    if (FListUpdateLock > 0) --FListUpdateLock;
  }
  void Timer1Timer();

  // The list's selected rows in list order, and the object of a row.
  std::vector<int> SelectedRows() const;
  TFSObject* ObjectOf(int row) const;
  // The view that shows the list in the current style.
  QAbstractItemView* ListView() const;
  // True while a long operation runs: a second one is refused.
  bool Busy() const { return busy_ > 0; }
  const std::vector<std::string>& Images() const { return images_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool event(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormCreate(const TStartArguments& arguments);
  void CreateActions();
  void CreateMenus();
  void CreateControls();
  void RestoreWindowSize();
  void InitBrowser();
  void TreeViewExpanded(QTreeWidgetItem* node);
  void TreeViewCollapsed(QTreeWidgetItem* node);
  void TreeViewEdited(QTreeWidgetItem* node, int column);
  void ListView1KeyPress(int key);
  void ListView1MouseDown(bool right, const QPoint& globalPosition);
  void FollowChild(TFSObject* object);
  bool BeginLongWork();
  void EndLongWork();
  void RefreshList();
  // Adds the disk of image file number `image` and its drives to the lists.
  void AddImageDevice(int image);
  // Empties the list and the selection when they point into the branch under
  // top (showing folder), and deletes the branch's nodes: a search makes it anew.
  void ForgetBranch(QTreeWidgetItem* top, const TCustomDirectory* folder);

  std::unique_ptr<TTreeAdapter> tree_;
  std::unique_ptr<TSettingsFile> settings_;
  std::vector<std::string> images_;  // canonical paths of the images added
  // Images whose imaging map (FILE.map or FILE.mapfile beside them) was told about.
  std::set<std::string> mapsAnnounced_;
  // Applies the maps beside the images to their devices after a scan.
  void ApplyImagingMaps();
  bool onlyImages_ = false;
  bool permissionTold_ = false;
  int busy_ = 0;
  QPointer<QWidget> focusBeforeWork_;  // given back when the long work ends
  TListStyle style_ = lsDetails;
  QTreeWidgetItem* editingNode_ = nullptr;
  QString editingText_;
};

}  // namespace vantrel::ui
