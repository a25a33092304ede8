// The main window's commands that open the viewer, the find dialog, the
// welcome guide and the information dialogs.

#include <QAction>
#include <QTreeWidget>

#include "host/UserInterface.h"
#include "fs/FileData.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "ui/DriveDialogs.h"
#include "ui/TAboutDialog.h"
#include "ui/TDialogSystemInfo.h"
#include "ui/TDriveInfoDialog.h"
#include "ui/TFileListModel.h"
#include "ui/TFindDialog.h"
#include "ui/TItemPropertiesDialog.h"
#include "ui/TMainForm.h"
#include "ui/TTreeAdapter.h"
#include "recovery/SavedFileCheck.h"
#include "ui/TViewerDialog.h"
#include "ui/TWelcomeDialog.h"

namespace vantrel::ui {

void TMainForm::FormActivate() {
  if (FWelcomeShown || Busy()) return;
  FWelcomeShown = true;
  WelcomeDialog->Execute();
  activateWindow();
}

void TMainForm::MenuFindClick() {
  auto* drive = dynamic_cast<TFATdrive*>(FDrive);
  if (!drive || !FSearchNode || Busy()) return;
  // The search makes the results folder anew: nothing may show its old items.
  ForgetBranch(FSearchNode, drive->SearchDir.get());
  BeginLongWork();
  bool started = false;
  try {
    started = drive->Find(*FindDialog);
  } catch (const std::exception& e) {
    FindDialog->hide();
    ShowMessageBox(e.what(), "", TMsgType::mtError);
  }
  EndLongWork();
  // Its nodes are made again when it is expanded.
  drive->SearchDir->Expanded = 0;
  tree_->SetHasChildren(TTreeAdapter::NodeOf(FSearchNode), drive->SearchDir->HasSubdirectories());
  FSearchNode->setExpanded(false);
  if (!started) return;
  TreeView->setCurrentItem(FSearchNode);
  TreeView->setFocus();
  FSearchNode->setExpanded(true);
  if (FChangeCount == 0 && FCurrentNode != FSearchNode) TreeViewChange(FSearchNode);
}

void TMainForm::ViewSelected(bool hex) {
  if (!dynamic_cast<TFATdrive*>(FDrive) || Busy()) return;
  const std::vector<int> rows = SelectedRows();
  if (rows.empty()) return;
  auto* file = dynamic_cast<TFATFile*>(ObjectOf(rows[0]));
  if (!file || !file->FATDrive()) return;
  // The file's own volume: items found by a search are copies that still belong to it.
  TFATdrive& drive = *file->FATDrive();
  FATSelectDialog->Fill(static_cast<int>(drive.NumberOfFATs),
                        !IsDeletedBranch(TreeView->currentItem()) ? drive.FATChoice
                        : (drive.Flags & dfNoFAT)                 ? 0
                                                                  : kFATChoiceFree);
  if (!FATSelectDialog->Execute()) return;
  // What the bytes shown say of themselves, in the list and in 属性.
  CheckFileOnVolume(drive, *file, static_cast<std::uint8_t>(FATSelectDialog->SelectedFAT));
  file->UpdateListItem(ListView1->Item(rows[0]));
  ListView1->RowChanged(rows[0]);
  const std::string name = DisplayNameOf(*file);
  // A lost or deleted file whose clusters the chosen FAT marks free is read as deleted files are.
  const std::uint8_t choice = ItemFATChoice(drive, *file, FATSelectDialog->SelectedFAT);
  if (hex) ViewerDialog->ShowHex(drive, name, choice, file->Size, file->StartCluster);
  else ViewerDialog->ShowText(drive, name, choice, file->Size, file->StartCluster);
}

void TMainForm::MenuPropertiesClick() {
  // Acts on the list's item; with the tree focused there is none.
  if (TreeView->hasFocus() || Busy()) return;
  const std::vector<int> rows = SelectedRows();
  if (rows.empty()) return;
  TFSObject* object = ObjectOf(rows[0]);
  if (!object) return;
  if (!EditItemProperties(*ItemPropertiesDialog, *object, [this] { return ItemPropertiesDialog->Execute(); }))
    return;
  object->UpdateListItem(ListView1->Item(rows[0]));
  ListView1->RowChanged(rows[0]);
  UpdateStatus();
}

void TMainForm::MenuDrvInfoClick() {
  if (FDevice && !Busy()) DriveInfoDialog->Execute(*FDevice);
}

void TMainForm::MenuSysInfoClick() { DialogSystemInfo->Execute(); }

void TMainForm::MenuAboutClick() { AboutDialog->Execute(); }

}  // namespace vantrel::ui
