#pragma once
// The sector and cluster range dialogs and the folder chooser, drawn over the
// core's dialogs: the track bars and "应用" run the core's handlers, and the
// controls are redrawn from its fields.

#include <QDialog>
#include <functional>
#include <string>

#include "host/RangeDialogs.h"

class QComboBox;
class QFileSystemModel;
class QGroupBox;
class QLabel;
class QLineEdit;
class QSlider;
class QTreeView;

namespace vantrel::ui {

// The layout both range dialogs share.
class TRangeForm : public QDialog {
  Q_OBJECT
 public:
  explicit TRangeForm(QWidget* parent, const QString& sizeCaption);

  QGroupBox* GroupStart = nullptr;
  QGroupBox* GroupEnd = nullptr;
  QSlider* TrackBarStart = nullptr;
  QSlider* TrackBarEnd = nullptr;
  QLineEdit* EditStart = nullptr;
  QLineEdit* EditEnd = nullptr;
  QLabel* LabelSize = nullptr;

 protected:
  // Hooks of the dialog shown: the handlers and the fields they change.
  struct Binding {
    std::function<void(int)> startMoved, endMoved;
    std::function<void()> apply;
    std::string *editStart = nullptr, *editEnd = nullptr, *labelSize = nullptr;
  };
  TRangeDialogResult Run(const std::string& caption, const std::string& groupStart, const std::string& groupEnd,
                         int startPosition, int endPosition, Binding binding);

 private:
  void Redraw();
  Binding binding_;
  bool redrawing_ = false;
};

class TSectorDialogForm : public TRangeForm, public ISectorDialogView {
  Q_OBJECT
 public:
  explicit TSectorDialogForm(QWidget* parent = nullptr);
  TRangeDialogResult ShowModal(TSectorDialog& dialog) override;
};

class TClusterDialogForm : public TRangeForm, public IClusterDialogView {
  Q_OBJECT
 public:
  explicit TClusterDialogForm(QWidget* parent = nullptr);
  TRangeDialogResult ShowModal(TClusterDialog& dialog) override;
};

// The folder chooser: a folder tree of the machine that returns the full
// path of the folder chosen and can make a new folder.
class TDirSelectForm : public QDialog, public IDirSelectDialogView {
  Q_OBJECT
 public:
  explicit TDirSelectForm(QWidget* parent = nullptr);
  TDirSelectResult ShowModal(TDirSelectDialog& dialog) override;

  // Selects a folder as a click in the tree would (tests and the combo box).
  void SelectFolder(const QString& path);
  QString SelectedFolder() const;

  QComboBox* ShellComboBox1 = nullptr;
  QTreeView* ShellTreeView1 = nullptr;
  QComboBox* ComboBoxFAT = nullptr;
  QLabel* LabelFolder = nullptr;
  // The device being examined (its device file), set by the caller: a new
  // folder on it is made only when the user says so.
  std::string ExaminedDevice;

  // The folder the box holds, as a clean path.
  QString TypedFolder() const;
  void OKBtnClick();

 private:
  void NewFolder();
  void FolderChanged();
  void TypedFolderChanged();
  bool following_ = false;  // the tree follows the box, not the other way round
  QString chosen_;
  QFileSystemModel* model_ = nullptr;
  TDirSelectDialog* dialog_ = nullptr;
};

}  // namespace vantrel::ui
