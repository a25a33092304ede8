#pragma once
// A control that draws a read-only stream as lines of address, hex bytes and
// characters. Only the lines on screen are painted, and only the 2048-byte
// blocks that hold them are read; the layout and scrolling arithmetic is
// THexLayout's.

#include <QAbstractScrollArea>
#include <QColor>
#include <algorithm>

#include "common/HexLayout.h"

namespace vantrel::ui {

class THexDump : public QAbstractScrollArea {
  Q_OBJECT
 public:
  enum TBorder { bsNone, bsSingle };
  explicit THexDump(QWidget* parent = nullptr);

  // Attaches a stream (not owned; none detaches) and shows its first line.
  void SetStream(IHexSource* stream);
  void SetTopLine(std::int64_t line);
  void SetCurrentLine(std::int64_t line);

  void SetShowAddress(bool show);
  void SetShowCharacters(bool show);
  void SetBorder(TBorder border);
  TBorder Border() const { return border_; }
  void SetColor(const QColor& color);
  // 0 AddressColor, 1 HexDataColor, 2 AnsiCharColor.
  void SetColors(int index, const QColor& color);
  QColor Colors(int index) const { return colors_[std::clamp(index, 0, 2)]; }

  const THexLayout& Layout() const { return layout_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void changeEvent(QEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  void FontChanged();
  void UpdateScrollBar();
  void ScrollBarAction(int action);
  void Redraw(THexLayout::TRedraw redraw);
  void DrawLine(QPainter& painter, std::int64_t line, int y);

  THexLayout layout_;
  TBorder border_ = bsSingle;
  QColor color_ = Qt::white;
  QColor colors_[3] = {Qt::black, Qt::black, Qt::black};
  bool settingScrollBar_ = false;
};

}  // namespace vantrel::ui
