#include "ui/THexDump.h"

#include <QFontDatabase>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

namespace vantrel::ui {

THexDump::THexDump(QWidget* parent) : QAbstractScrollArea(parent) {
  setObjectName("THexDump");
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPixelSize(12);
  setFont(font);
  setFocusPolicy(Qt::StrongFocus);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  verticalScrollBar()->setRange(0, THexLayout::kScrollSteps - 1);
  verticalScrollBar()->setSingleStep(1);
  connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, this, &THexDump::ScrollBarAction);
  connect(verticalScrollBar(), &QAbstractSlider::valueChanged, this, [this](int value) {
    // Positions set from outside the bar's own actions (an accessibility
    // tool, a test) move the view like the thumb.
    if (!settingScrollBar_ && value != layout_.ScrollPosition())
      Redraw(layout_.Scroll(THexLayout::scThumb, value));
  });
  viewport()->setAutoFillBackground(false);
  SetBorder(bsSingle);
  FontChanged();
}

void THexDump::SetStream(IHexSource* stream) {
  layout_.SetStream(stream);
  UpdateScrollBar();
  viewport()->update();
}

void THexDump::SetTopLine(std::int64_t line) { Redraw(layout_.SetTopLine(line)); }

void THexDump::SetCurrentLine(std::int64_t line) { Redraw(layout_.SetCurrentLine(line)); }

void THexDump::SetShowAddress(bool show) {
  if (show == layout_.ShowAddress()) return;
  layout_.SetShowAddress(show);
  UpdateScrollBar();
  viewport()->update();
}

void THexDump::SetShowCharacters(bool show) {
  if (show == layout_.ShowCharacters()) return;
  layout_.SetShowCharacters(show);
  UpdateScrollBar();
  viewport()->update();
}

void THexDump::SetBorder(TBorder border) {
  border_ = border;
  setFrameShape(border == bsSingle ? QFrame::Box : QFrame::NoFrame);
  setFrameShadow(QFrame::Plain);
  setLineWidth(1);
}

void THexDump::SetColor(const QColor& color) {
  if (color == color_) return;
  color_ = color;
  viewport()->update();
}

void THexDump::SetColors(int index, const QColor& color) {
  if (index < 0 || index > 2 || colors_[index] == color) return;
  colors_[index] = color;
  viewport()->update();
}

void THexDump::FontChanged() {
  const QFontMetrics metrics(font());
  layout_.SetFontMetrics(metrics.height(), metrics.horizontalAdvance('D'));
  layout_.SetClientSize(viewport()->width(), viewport()->height());
  UpdateScrollBar();
  viewport()->update();
}

void THexDump::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) FontChanged();
}

void THexDump::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  layout_.SetClientSize(viewport()->width(), viewport()->height());
  UpdateScrollBar();
}

void THexDump::UpdateScrollBar() {
  // Always 65536 steps, whatever the length of the data; the thumb's size
  // follows the share of the lines on screen.
  settingScrollBar_ = true;
  QScrollBar* bar = verticalScrollBar();
  bar->setRange(0, THexLayout::kScrollSteps - 1);
  const double unit = layout_.ScrollUnit();
  const double page = unit > 0 ? (layout_.VisibleLines() - 1) / unit : THexLayout::kScrollSteps;
  bar->setPageStep(static_cast<int>(std::clamp(page, 1.0, static_cast<double>(THexLayout::kScrollSteps))));
  bar->setValue(layout_.ScrollPosition());
  settingScrollBar_ = false;
}

void THexDump::ScrollBarAction(int action) {
  THexLayout::TScrollCode code = THexLayout::scOther;
  switch (action) {
    case QAbstractSlider::SliderSingleStepSub: code = THexLayout::scLineUp; break;
    case QAbstractSlider::SliderSingleStepAdd: code = THexLayout::scLineDown; break;
    case QAbstractSlider::SliderPageStepSub: code = THexLayout::scPageUp; break;
    case QAbstractSlider::SliderPageStepAdd: code = THexLayout::scPageDown; break;
    case QAbstractSlider::SliderMove:
    case QAbstractSlider::SliderToMinimum:
    case QAbstractSlider::SliderToMaximum: code = THexLayout::scThumb; break;
    default: break;
  }
  QScrollBar* bar = verticalScrollBar();
  const THexLayout::TRedraw redraw = layout_.Scroll(code, bar->sliderPosition());
  // The bar shows where the view went, not where its own step would lead.
  settingScrollBar_ = true;
  if (code != THexLayout::scThumb) bar->setSliderPosition(layout_.ScrollPosition());
  settingScrollBar_ = false;
  Redraw(redraw);
}

void THexDump::scrollContentsBy(int, int) {
  // The view scrolls itself (Redraw); the bar's value is only its mirror.
}

void THexDump::Redraw(THexLayout::TRedraw redraw) {
  if (redraw == THexLayout::rdNone) return;
  if (!settingScrollBar_) {
    settingScrollBar_ = true;
    verticalScrollBar()->setValue(layout_.ScrollPosition());
    settingScrollBar_ = false;
  }
  // One line: move what is drawn and draw only the line that came into view.
  if (redraw == THexLayout::rdLineUp) viewport()->scroll(0, -layout_.LineHeight());
  else if (redraw == THexLayout::rdLineDown) viewport()->scroll(0, layout_.LineHeight());
  else viewport()->update();
}

void THexDump::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  const QRect area = event->rect();
  painter.fillRect(area, color_);
  const int height = layout_.LineHeight();
  if (height <= 0 || !layout_.HasData()) return;
  painter.setFont(font());
  for (int i = 0; i < layout_.VisibleLines(); ++i) {
    const int y = i * height;
    if (y >= area.bottom() + 1 || y + height <= area.top()) continue;
    const std::int64_t line = layout_.TopLine() + i;
    if (line >= layout_.LineCount()) break;
    DrawLine(painter, line, y);
  }
}

void THexDump::DrawLine(QPainter& painter, std::int64_t line, int y) {
  const int width = layout_.CharWidth();
  const int height = layout_.LineHeight();
  const int baseline = y + 1 + painter.fontMetrics().ascent();
  if (layout_.ShowAddress()) {
    painter.setPen(colors_[0]);
    painter.drawText(0, baseline, QString::fromStdString(layout_.AddressText(line)));
  }
  std::uint8_t bytes[THexLayout::kMaxBytesPerLine];
  const int count = layout_.LineBytes(line, bytes);
  // Every byte keeps its own cells, whatever the glyphs' widths.
  static const char digits[] = "0123456789ABCDEF";
  painter.setPen(colors_[1]);
  for (int i = 0; i < count; ++i) {
    const int x = layout_.HexX() + 3 * i * width;
    painter.drawText(x, baseline, QString(QChar(digits[bytes[i] >> 4])));
    painter.drawText(x + width, baseline, QString(QChar(digits[bytes[i] & 0x0F])));
  }
  if (layout_.ShowCharacters()) {
    painter.setPen(colors_[2]);
    for (int i = 0; i < count; ++i) {
      // Bytes as Latin-1 characters; control codes have no glyph and leave
      // their cell empty.
      const std::uint8_t b = bytes[i];
      if (b < 0x20 || (b >= 0x7F && b < 0xA0)) continue;
      painter.drawText(layout_.CharsX() + i * width, baseline, QString(QChar(b)));
    }
  }
  Q_UNUSED(height);
}

void THexDump::keyPressEvent(QKeyEvent* event) {
  THexLayout::TKey key = THexLayout::hkOther;
  switch (event->key()) {
    case Qt::Key_PageUp: key = THexLayout::hkPageUp; break;
    case Qt::Key_PageDown: key = THexLayout::hkPageDown; break;
    case Qt::Key_End: key = THexLayout::hkEnd; break;
    case Qt::Key_Home: key = THexLayout::hkHome; break;
    case Qt::Key_Up: key = THexLayout::hkUp; break;
    case Qt::Key_Down: key = THexLayout::hkDown; break;
    default: QAbstractScrollArea::keyPressEvent(event); return;
  }
  Redraw(layout_.Key(key));
  event->accept();
}

void THexDump::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  if (event->button() == Qt::LeftButton) Redraw(layout_.Click(event->position().toPoint().y()));
}

void THexDump::wheelEvent(QWheelEvent* event) {
  // Three lines a notch.
  const int notches = event->angleDelta().y() / 120;
  if (notches != 0) Redraw(layout_.SetTopLine(layout_.TopLine() - 3 * notches));
  event->accept();
}

}  // namespace vantrel::ui
