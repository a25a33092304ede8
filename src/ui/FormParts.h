#pragma once
// Pieces that several of the window's dialogs are built from.

class QBoxLayout;
class QDialog;
class QPushButton;

namespace vantrel::ui {

// The row of buttons at the bottom of a dialog: "确定" (the default, named
// OKBtn, accepts) and, with withCancel, "取消" (CancelBtn, rejects), at the
// right of layout. Returns the OK button.
QPushButton* AddButtonRow(QDialog& dialog, QBoxLayout& layout, bool withCancel);

}  // namespace vantrel::ui
