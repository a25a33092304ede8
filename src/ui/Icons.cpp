#include "ui/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <array>
#include <functional>

namespace vantrel::ui {

namespace {

// Every picture is drawn on a 32-unit square and scaled to the size asked for.
using Drawing = std::function<void(QPainter&)>;

QPixmap Render(const Drawing& draw, int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 32.0, size / 32.0);
  draw(p);
  return pixmap;
}

QIcon MakeIcon(const Drawing& draw) {
  QIcon icon;
  for (int size : {16, 24, 32, 48}) icon.addPixmap(Render(draw, size));
  return icon;
}

const QColor kFolder(0xF2, 0xC2, 0x4B), kFolderEdge(0xA8, 0x7A, 0x12);
const QColor kGrey(0xB8, 0xB8, 0xB8), kGreyEdge(0x70, 0x70, 0x70);
const QColor kRed(0xD0, 0x2B, 0x2B), kBlue(0x2F, 0x6F, 0xC8);

void Folder(QPainter& p, QColor fill, QColor edge) {
  p.setPen(QPen(edge, 1.5));
  p.setBrush(fill.darker(110));
  QPainterPath tab;
  tab.moveTo(3, 8);
  tab.lineTo(12, 8);
  tab.lineTo(14, 11);
  tab.lineTo(29, 11);
  tab.lineTo(29, 26);
  tab.lineTo(3, 26);
  tab.closeSubpath();
  p.drawPath(tab);
  p.setBrush(fill);
  p.drawRect(QRectF(3, 13, 26, 13));
}

void OpenFolder(QPainter& p, QColor fill, QColor edge) {
  p.setPen(QPen(edge, 1.5));
  p.setBrush(fill.darker(115));
  QPainterPath back;
  back.moveTo(3, 7);
  back.lineTo(11, 7);
  back.lineTo(13, 10);
  back.lineTo(26, 10);
  back.lineTo(26, 15);
  back.lineTo(3, 26);
  back.closeSubpath();
  p.drawPath(back);
  p.setBrush(fill);
  QPainterPath front;
  front.moveTo(8, 15);
  front.lineTo(31, 15);
  front.lineTo(26, 26);
  front.lineTo(3, 26);
  front.closeSubpath();
  p.drawPath(front);
}

void Page(QPainter& p, QColor fill, QColor edge) {
  p.setPen(QPen(edge, 1.5));
  p.setBrush(fill);
  QPainterPath page;
  page.moveTo(7, 3);
  page.lineTo(20, 3);
  page.lineTo(26, 9);
  page.lineTo(26, 29);
  page.lineTo(7, 29);
  page.closeSubpath();
  p.drawPath(page);
  p.drawLine(QPointF(20, 3), QPointF(20, 9));
  p.drawLine(QPointF(20, 9), QPointF(26, 9));
  p.setPen(QPen(edge.lighter(130), 1.2));
  for (int y = 13; y <= 25; y += 4) p.drawLine(QPointF(10, y), QPointF(23, y));
}

void Cross(QPainter& p) {
  p.setPen(QPen(kRed, 3.5, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(18, 18), QPointF(29, 29));
  p.drawLine(QPointF(29, 18), QPointF(18, 29));
}

void Lens(QPainter& p, QPointF centre, double radius) {
  p.setPen(QPen(QColor(0x40, 0x40, 0x40), 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(centre + QPointF(radius * 0.7, radius * 0.7), centre + QPointF(radius * 1.8, radius * 1.8));
  p.setPen(QPen(QColor(0x40, 0x40, 0x40), 2.2));
  p.setBrush(QColor(0xCF, 0xE6, 0xFA));
  p.drawEllipse(centre, radius, radius);
}

void Bin(QPainter& p) {
  p.setPen(QPen(kGreyEdge, 1.5));
  p.setBrush(QColor(0xD8, 0xDC, 0xE0));
  QPainterPath body;
  body.moveTo(8, 9);
  body.lineTo(24, 9);
  body.lineTo(22, 29);
  body.lineTo(10, 29);
  body.closeSubpath();
  p.drawPath(body);
  p.drawRect(QRectF(6, 6, 20, 3));
  p.drawRect(QRectF(13, 3, 6, 3));
  for (double x : {12.5, 16.0, 19.5}) p.drawLine(QPointF(x, 12), QPointF(x, 26));
}

void Question(QPainter& p, QPointF at, QColor colour, double size) {
  QFont font;
  font.setBold(true);
  font.setPixelSize(static_cast<int>(size));
  p.setFont(font);
  p.setPen(colour);
  p.drawText(QRectF(at.x(), at.y(), size, size), Qt::AlignCenter, "?");
}

void Disk(QPainter& p, QColor body, bool light) {
  p.setPen(QPen(QColor(0x50, 0x50, 0x50), 1.5));
  p.setBrush(body);
  p.drawRoundedRect(QRectF(3, 10, 26, 13), 3, 3);
  p.setBrush(QColor(0x70, 0x70, 0x70));
  p.drawRect(QRectF(6, 19, 12, 1.5));
  p.setBrush(light ? QColor(0x3C, 0xC0, 0x3C) : QColor(0x80, 0x80, 0x80));
  p.drawEllipse(QPointF(24, 19.5), 1.6, 1.6);
}

const std::array<Drawing, kItemImageCount>& ItemDrawings() {
  static const std::array<Drawing, kItemImageCount> drawings{
      [](QPainter& p) { Folder(p, kFolder, kFolderEdge); },
      [](QPainter& p) { OpenFolder(p, kFolder, kFolderEdge); },
      [](QPainter& p) { Bin(p); },
      [](QPainter& p) {
        Folder(p, QColor(0xC8, 0xD8, 0xF0), kBlue.darker(130));
        Question(p, QPointF(8, 11), kBlue.darker(120), 17);
      },
      [](QPainter& p) { Lens(p, QPointF(13, 13), 8); },
      [](QPainter& p) { Page(p, Qt::white, QColor(0x60, 0x60, 0x60)); },
      [](QPainter& p) {
        Folder(p, kGrey, kGreyEdge);
        Cross(p);
      },
      [](QPainter& p) {
        OpenFolder(p, kGrey, kGreyEdge);
        Cross(p);
      },
      [](QPainter& p) {
        Page(p, QColor(0xEE, 0xEE, 0xEE), kGreyEdge);
        Cross(p);
      },
  };
  return drawings;
}

}  // namespace

QIcon ItemImage(int index) {
  static std::array<QIcon, kItemImageCount> icons;
  if (index < 0 || index >= kItemImageCount) index = 5;
  auto& icon = icons[static_cast<std::size_t>(index)];
  if (icon.isNull()) icon = MakeIcon(ItemDrawings()[static_cast<std::size_t>(index)]);
  return icon;
}

QIcon ToolImage(int index) {
  switch (index) {
    case 0:
      return MakeIcon([](QPainter& p) {
        Disk(p, QColor(0xC8, 0xCC, 0xD4), true);
        p.setPen(QPen(kBlue, 2.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(16, 2), QPointF(16, 8));
        p.drawLine(QPointF(13, 5), QPointF(16, 8));
        p.drawLine(QPointF(19, 5), QPointF(16, 8));
      });
    case 1:
      return MakeIcon([](QPainter& p) {
        p.setPen(QPen(QColor(0x20, 0x30, 0x60), 1.5));
        p.setBrush(kBlue);
        p.drawRoundedRect(QRectF(4, 4, 24, 24), 2, 2);
        p.setBrush(Qt::white);
        p.drawRect(QRectF(8, 4, 16, 9));
        p.setBrush(QColor(0x20, 0x30, 0x60));
        p.drawRect(QRectF(10, 19, 12, 9));
        p.setBrush(QColor(0xC0, 0xC0, 0xC0));
        p.drawRect(QRectF(18, 20, 3, 6));
      });
    case 2:
      return MakeIcon([](QPainter& p) {
        Page(p, Qt::white, QColor(0x60, 0x60, 0x60));
        Lens(p, QPointF(14, 15), 6.5);
      });
    case 3:
      return MakeIcon([](QPainter& p) {
        Folder(p, QColor(0xC8, 0xD8, 0xF0), kBlue.darker(130));
        Lens(p, QPointF(14, 16), 6.5);
        Question(p, QPointF(7.5, 9.5), kRed, 13);
      });
    case 4:
      return MakeIcon([](QPainter& p) {
        Folder(p, kFolder, kFolderEdge);
        p.setPen(QPen(QColor(0x2E, 0x7D, 0x32), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(16, 24), QPointF(16, 15));
        p.drawLine(QPointF(11, 19), QPointF(16, 14));
        p.drawLine(QPointF(21, 19), QPointF(16, 14));
      });
    default:
      return MakeIcon([](QPainter& p) {
        p.setPen(QPen(kBlue.darker(120), 1.5));
        p.setBrush(kBlue);
        p.drawEllipse(QPointF(16, 16), 13, 13);
        QFont font("serif");
        font.setBold(true);
        font.setPixelSize(20);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRectF(3, 3, 26, 26), Qt::AlignCenter, "i");
      });
  }
}

QIcon DriveImage(int index) {
  switch (index) {
    case 0:
      return MakeIcon([](QPainter& p) {
        p.setPen(QPen(QColor(0x30, 0x30, 0x30), 1.5));
        p.setBrush(QColor(0x40, 0x48, 0x58));
        p.drawRect(QRectF(5, 5, 22, 22));
        p.setBrush(QColor(0xD0, 0xD0, 0xD0));
        p.drawRect(QRectF(10, 5, 12, 8));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(8, 17, 16, 10));
      });
    case 2:
      return MakeIcon([](QPainter& p) {
        p.setPen(QPen(QColor(0x60, 0x60, 0x60), 1.2));
        p.setBrush(QColor(0xE0, 0xE4, 0xF0));
        p.drawEllipse(QPointF(16, 16), 13, 13);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(16, 16), 3.5, 3.5);
      });
    case 3:
      return MakeIcon([](QPainter& p) {
        Disk(p, QColor(0xC8, 0xCC, 0xD4), true);
        p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1.5));
        p.drawLine(QPointF(16, 23), QPointF(16, 29));
        p.drawLine(QPointF(6, 29), QPointF(26, 29));
      });
    default:
      return MakeIcon([](QPainter& p) { Disk(p, QColor(0xC8, 0xCC, 0xD4), true); });
  }
}

}  // namespace vantrel::ui
