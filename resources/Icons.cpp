#include "resources/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <initializer_list>

namespace dvres {
namespace {

// A closed outline through points given as fractions of the icon size.
QPainterPath Polygon(qreal s, std::initializer_list<QPointF> points) {
  QPainterPath path(*points.begin() * s);
  for (auto pt = points.begin() + 1; pt != points.end(); ++pt) path.lineTo(*pt * s);
  path.closeSubpath();
  return path;
}

void Magnifier(QPainter& p, qreal s, const QColor& glass, const QColor& rim) {
  p.setPen(QPen(rim, s * 0.09, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(glass);
  p.drawEllipse(QRectF(s * 0.14, s * 0.12, s * 0.5, s * 0.5));
  p.setPen(QPen(rim, s * 0.14, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(s * 0.56, s * 0.56), QPointF(s * 0.86, s * 0.86));
}

void Disk(QPainter& p, qreal s, const QColor& body) {
  QRectF r(s * 0.12, s * 0.22, s * 0.76, s * 0.58);
  p.setPen(QPen(body.darker(160), s * 0.04));
  p.setBrush(body);
  p.drawRoundedRect(r, s * 0.08, s * 0.08);
  p.setBrush(QColor(0x7d, 0xe0, 0x7a));
  p.setPen(Qt::NoPen);
  p.drawEllipse(QRectF(s * 0.70, s * 0.64, s * 0.08, s * 0.08));
  p.setPen(QPen(body.darker(140), s * 0.03));
  p.drawLine(QPointF(s * 0.2, s * 0.5), QPointF(s * 0.8, s * 0.5));
}

void Document(QPainter& p, qreal s, const QColor& paper) {
  p.setPen(QPen(QColor(0x55, 0x60, 0x70), s * 0.05));
  p.setBrush(paper);
  p.drawPath(Polygon(s, {{0.22, 0.08}, {0.62, 0.08}, {0.80, 0.26}, {0.80, 0.92}, {0.22, 0.92}}));
  p.setPen(QPen(QColor(0x8a, 0x96, 0xa8), s * 0.04));
  for (int i = 0; i < 3; i++) p.drawLine(QPointF(s * 0.32, s * (0.42 + 0.14 * i)), QPointF(s * 0.70, s * (0.42 + 0.14 * i)));
}

void FolderShape(QPainter& p, qreal s) {
  p.setPen(QPen(QColor(0xb0, 0x80, 0x20), s * 0.05));
  p.setBrush(QColor(0xf5, 0xc8, 0x4c));
  p.drawPath(Polygon(s, {{0.08, 0.24}, {0.38, 0.24}, {0.46, 0.34}, {0.92, 0.34}, {0.92, 0.84}, {0.08, 0.84}}));
}

}  // namespace

QPixmap Draw(Image image, int size, qreal dpr) {
  QPixmap pm(QSize(int(size * dpr), int(size * dpr)));
  pm.setDevicePixelRatio(dpr);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  switch (image) {
    case Image::AppIcon: {
      Disk(p, s, QColor(0x3a, 0x6e, 0xb5));
      Magnifier(p, s * 0.9, QColor(255, 255, 255, 150), QColor(0xff, 0xb0, 0x20));
      break;
    }
    case Image::Scan:
      Disk(p, s, QColor(0xd8, 0xe2, 0xee));
      Magnifier(p, s, QColor(255, 255, 255, 170), QColor(0xff, 0xb0, 0x20));
      break;
    case Image::Save:
      FolderShape(p, s);
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x2e, 0xa0, 0x43));
      p.drawPath(
          Polygon(s, {{0.50, 0.92}, {0.26, 0.62}, {0.41, 0.62}, {0.41, 0.30}, {0.59, 0.30}, {0.59, 0.62}, {0.74, 0.62}}));
      break;
    case Image::Pause:
      p.setPen(QPen(QColor(0x90, 0x40, 0x00), s * 0.04));
      p.setBrush(QColor(0xff, 0xa5, 0x2a));
      p.drawEllipse(QRectF(s * 0.08, s * 0.08, s * 0.84, s * 0.84));
      p.setPen(Qt::NoPen);
      p.setBrush(Qt::white);
      p.drawRect(QRectF(s * 0.34, s * 0.28, s * 0.11, s * 0.44));
      p.drawRect(QRectF(s * 0.55, s * 0.28, s * 0.11, s * 0.44));
      break;
    case Image::Properties:
      Document(p, s, Qt::white);
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x2f, 0x6f, 0xd0));
      p.drawEllipse(QRectF(s * 0.50, s * 0.54, s * 0.40, s * 0.40));
      p.setBrush(Qt::white);
      p.drawRect(QRectF(s * 0.675, s * 0.68, s * 0.05, s * 0.18));
      p.drawEllipse(QRectF(s * 0.672, s * 0.59, s * 0.056, s * 0.056));
      break;
    case Image::Preview:
      p.setPen(QPen(QColor(0x50, 0x50, 0x50), s * 0.05));
      p.setBrush(QColor(0x9c, 0xd3, 0xff));
      p.drawRect(QRectF(s * 0.1, s * 0.18, s * 0.8, s * 0.64));
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x3c, 0x9a, 0x3c));
      p.drawPath(Polygon(s, {{0.13, 0.79}, {0.40, 0.45}, {0.60, 0.66}, {0.70, 0.55}, {0.87, 0.79}}));
      p.setBrush(QColor(0xff, 0xd0, 0x30));
      p.drawEllipse(QRectF(s * 0.64, s * 0.25, s * 0.13, s * 0.13));
      break;
    case Image::TreeView:
      p.setPen(QPen(QColor(0x50, 0x60, 0x70), s * 0.05));
      p.drawLine(QPointF(s * 0.25, s * 0.3), QPointF(s * 0.25, s * 0.78));
      p.drawLine(QPointF(s * 0.25, s * 0.52), QPointF(s * 0.45, s * 0.52));
      p.drawLine(QPointF(s * 0.25, s * 0.78), QPointF(s * 0.45, s * 0.78));
      p.save();
      p.scale(0.5, 0.5);
      FolderShape(p, s);
      p.translate(s * 0.8, s * 0.8);
      FolderShape(p, s);
      p.translate(0, s * 0.5);
      FolderShape(p, s);
      p.restore();
      break;
    case Image::ListView:
      p.setPen(Qt::NoPen);
      for (int i = 0; i < 4; i++) {
        p.setBrush(QColor(0x2f, 0x6f, 0xd0));
        p.drawRect(QRectF(s * 0.12, s * (0.16 + 0.19 * i), s * 0.14, s * 0.12));
        p.setBrush(QColor(0x60, 0x6a, 0x78));
        p.drawRect(QRectF(s * 0.32, s * (0.18 + 0.19 * i), s * 0.56, s * 0.08));
      }
      break;
    case Image::Help: {
      p.setPen(QPen(QColor(0x1c, 0x4f, 0x9c), s * 0.05));
      p.setBrush(QColor(0x3f, 0x84, 0xe5));
      p.drawEllipse(QRectF(s * 0.08, s * 0.08, s * 0.84, s * 0.84));
      QFont f(QStringLiteral("DejaVu Sans"));
      f.setBold(true);
      f.setPixelSize(int(s * 0.62));
      p.setFont(f);
      p.setPen(Qt::white);
      p.drawText(QRectF(0, 0, s, s), Qt::AlignCenter, QStringLiteral("?"));
      break;
    }
    case Image::AdvancedVolumes:
      for (int i = 0; i < 3; i++) {
        p.save();
        p.translate(s * (0.05 + 0.12 * i), s * (0.30 - 0.14 * i));
        p.scale(0.7, 0.7);
        Disk(p, s, QColor(0x8a, 0x9b, 0xb8).lighter(100 + 15 * i));
        p.restore();
      }
      break;
    case Image::Browse:
      FolderShape(p, s);
      break;
    case Image::FileDoc:
      Document(p, s, Qt::white);
      break;
    case Image::Folder:
      FolderShape(p, s);
      break;
  }
  return pm;
}

QIcon Icon(Image image) {
  QIcon icon;
  for (int size : {16, 24, 32, 48}) icon.addPixmap(Draw(image, size));
  return icon;
}

}  // namespace dvres
