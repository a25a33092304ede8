#pragma once
// The options dialog ("选项") and its font chooser.

#include <QDialog>

#include "app/TOptions.h"

class QCheckBox;
class QFontComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QSpinBox;
class QTabWidget;

namespace vantrel::ui {

// Sizes the file list's font may take.
inline constexpr int kMinFontPoints = 8, kMaxFontPoints = 14;

// A font chooser limited to the sizes above.
class TFontChooser : public QDialog {
  Q_OBJECT
 public:
  explicit TFontChooser(QWidget* parent = nullptr);
  void SetFont(const QFont& font);
  QFont Font() const;
  QFontComboBox* FontName = nullptr;
  QSpinBox* FontSize = nullptr;
};

QFont ToQFont(const TFontSpec& spec);
TFontSpec FromQFont(const QFont& font, const TFontSpec& base);

class TOptionsDialog : public QDialog, public IOptionsDialogView {
  Q_OBJECT
 public:
  // The store is where "保存" writes.
  explicit TOptionsDialog(IKeyValueStore& store, QWidget* parent = nullptr);
  bool ShowModal(TOptionsDialogValues& values) override;

  QTabWidget* PageControl1 = nullptr;
  QLineEdit* EditFont = nullptr;
  QLabel* PanelSample = nullptr;
  QRadioButton* RadioButtonCharAnsi = nullptr;
  QRadioButton* RadioButtonCharMultibyte = nullptr;
  QLineEdit* EditDeletedCharAnsi = nullptr;
  QLineEdit* EditDeletedCharMultibyte = nullptr;
  QCheckBox* CheckBoxFindLostFiles = nullptr;
  QCheckBox* CheckBoxKeepDates = nullptr;
  QCheckBox* CheckBoxWriteReport = nullptr;
  QLineEdit* EditLostDefaultSize = nullptr;
  QLineEdit* EditOemCodePage = nullptr;
  QGroupBox* GroupBoxPhysical9X = nullptr;
  QGroupBox* GroupBoxLogical9X = nullptr;
  QCheckBox* CheckBoxUserINT13 = nullptr;
  QCheckBox* CheckBoxUserVEV13UDI = nullptr;
  QCheckBox* CheckBoxUserINT25 = nullptr;
  QCheckBox* CheckBoxEnableCache = nullptr;
  QCheckBox* CheckBoxEnableWinErrorMsg = nullptr;
  QLabel* LabelOtherPlatform = nullptr;

  // The values the controls hold now.
  TOptionsDialogValues Collect() const;

 private:
  void Load(const TOptionsDialogValues& values);
  void ButtonSelectFontClick();
  void ButtonSaveClick();
  IKeyValueStore& store_;
  TOptionsDialogValues values_;
};

}  // namespace vantrel::ui
