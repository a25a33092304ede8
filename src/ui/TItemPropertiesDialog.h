#pragma once
// "项目属性": the name, size and start cluster of one file or folder, which
// the user may correct. The corrections live in memory only.

#include <QDialog>
#include <cstdint>
#include <string>

class QLabel;
class QLineEdit;

namespace vantrel {
class TFSObject;
}

namespace vantrel::ui {

class TItemPropertiesDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TItemPropertiesDialog(QWidget* parent = nullptr);
  // Shows the fields; when closed with OK reads them back from the edits
  // (numbers the lenient way) and returns true.
  bool Execute();
  // The edits into the fields, as OK does.
  void ReadEdits();

  std::string ItemName;
  std::uint32_t ItemSize = 0;
  std::uint32_t ItemCluster = 0;
  // What the file's bytes said ("损坏 (偏移 n)"), empty when unchecked.
  std::string ItemVerdict;

  QLineEdit *EditName, *EditCluster, *EditSize;
  QLabel* LabelVerdict;
};

// The properties command on one item: fills the dialog from it, runs show
// (the dialog's Execute, or a test's answer) and writes what was confirmed
// back into the item. True when something was confirmed.
template <class Show>
bool EditItemProperties(TItemPropertiesDialog& dialog, TFSObject& item, Show show);

// The part of EditItemProperties after the dialog: the fields into the item.
// A name is taken only when it differs from the one shown, so that an
// unchanged deleted name keeps its stored form.
void ApplyItemProperties(const TItemPropertiesDialog& dialog, TFSObject& item, const std::string& shownName);
void PrepareItemProperties(TItemPropertiesDialog& dialog, const TFSObject& item);

template <class Show>
bool EditItemProperties(TItemPropertiesDialog& dialog, TFSObject& item, Show show) {
  PrepareItemProperties(dialog, item);
  const std::string shown = dialog.ItemName;
  if (!show()) return false;
  ApplyItemProperties(dialog, item, shown);
  return true;
}

}  // namespace vantrel::ui
