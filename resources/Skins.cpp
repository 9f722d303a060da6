#include "resources/Skins.h"

#include <QLinearGradient>
#include <QPainterPath>
#include <QRadialGradient>

#include "resources/Icons.h"

namespace dvres {

void PaintGlassSkin(QPainter& p, const QRect& r, int state) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  QColor top(0xf4, 0xf8, 0xfd), bottom(0xc9, 0xd9, 0xee), rim(0x6d, 0x8c, 0xb8);
  switch (state) {
    case 0: top = QColor(0xee, 0xee, 0xf2), bottom = QColor(0xd6, 0xd6, 0xde), rim = QColor(0xa8, 0xa8, 0xb8); break;
    case 2: top = QColor(0xff, 0xff, 0xff), bottom = QColor(0xb4, 0xd6, 0xff), rim = QColor(0x3c, 0x7f, 0xd9); break;
    case 3: top = QColor(0xa9, 0xc4, 0xe6), bottom = QColor(0xe4, 0xee, 0xfa), rim = QColor(0x2c, 0x5a, 0x9a); break;
    default: break;
  }
  const QRectF f = QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5);
  QLinearGradient g(f.topLeft(), f.bottomLeft());
  g.setColorAt(0, top);
  g.setColorAt(0.48, top.darker(104));
  g.setColorAt(0.52, bottom.lighter(104));
  g.setColorAt(1, bottom);
  p.setPen(QPen(rim, 1));
  p.setBrush(g);
  p.drawRoundedRect(f, 4, 4);
  p.setPen(QPen(QColor(255, 255, 255, state == 3 ? 40 : 140), 1));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(f.adjusted(1, 1, -1, -1), 3, 3);
  p.restore();
}

void PaintTabSkin(QPainter& p, const QRect& r, int state) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF f = QRectF(r).adjusted(0.5, 3.5, -0.5, 0);
  QPainterPath path;
  path.moveTo(f.bottomLeft());
  path.lineTo(f.left(), f.top() + 6);
  path.quadTo(f.topLeft(), QPointF(f.left() + 6, f.top()));
  path.lineTo(f.right() - 6, f.top());
  path.quadTo(f.topRight(), QPointF(f.right(), f.top() + 6));
  path.lineTo(f.bottomRight());
  QLinearGradient g(f.topLeft(), f.bottomLeft());
  if (state == 1) {
    // The current step: a light tab joined to the band below.
    g.setColorAt(0, QColor(0xff, 0xff, 0xff));
    g.setColorAt(1, QColor(0xd7, 0xe8, 0xfa));
    p.setPen(QPen(Accent(), 1.5));
  } else if (state == 2) {
    g.setColorAt(0, QColor(0xe8, 0xf2, 0xff));
    g.setColorAt(1, QColor(0x9f, 0xc4, 0xee));
    p.setPen(QPen(QColor(0x9f, 0xc4, 0xee), 1));
  } else {
    g.setColorAt(0, QColor(0x3d, 0x6d, 0xad));
    g.setColorAt(1, QColor(0x24, 0x4c, 0x86));
    p.setPen(QPen(QColor(0x5a, 0x86, 0xc2), 1));
  }
  p.setBrush(g);
  p.drawPath(path);
  p.restore();
}

QPixmap CheckPicture(int index) {
  QPixmap pm(7, 7);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setPen(QColor(0x40, 0x40, 0x40));
  p.setBrush(Qt::white);
  p.drawRect(0, 0, 6, 6);
  if (index == 0) {
    p.setPen(QPen(QColor(0x10, 0x60, 0x10), 1));
    p.drawLine(1, 3, 2, 4);
    p.drawLine(2, 4, 5, 1);
    p.drawLine(1, 4, 2, 5);
    p.drawLine(2, 5, 5, 2);
  }
  return pm;
}

QPixmap MenuImage(int index, int size) {
  switch (index) {
    case 0: return Draw(Image::Scan, size);
    case 1: return Draw(Image::Save, size);
    case 2: return Draw(Image::Pause, size);
    case 3: return Draw(Image::Properties, size);
    case 4: return Draw(Image::Preview, size);
    case 5: return Draw(Image::TreeView, size);
    case 6: return Draw(Image::ListView, size);
    case 7: return Draw(Image::AdvancedVolumes, size);
    case 9: return Draw(Image::Help, size);
    default: return QPixmap();
  }
}

QPixmap SplashPicture() {
  QPixmap pm(520, 320);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient g(0, 0, 0, 320);
  g.setColorAt(0, BandTop().lighter(115));
  g.setColorAt(0.55, BandBottom());
  g.setColorAt(0.551, QColor(0xf2, 0xf6, 0xfb));
  g.setColorAt(1, QColor(0xdc, 0xe6, 0xf2));
  p.fillRect(pm.rect(), g);
  // A soft light behind the product picture.
  QRadialGradient glow(QPointF(105, 120), 110);
  glow.setColorAt(0, QColor(255, 255, 255, 90));
  glow.setColorAt(1, QColor(255, 255, 255, 0));
  p.fillRect(QRect(0, 0, 260, 260), glow);
  p.drawPixmap(35, 45, Draw(Image::AppIcon, 140));
  p.setPen(QPen(Accent(), 2));
  p.drawLine(200, 150, 500, 150);
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setBold(true);
  f.setPixelSize(40);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(QRect(200, 50, 310, 60), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Delvora"));
  p.setPen(QPen(QColor(0xb8, 0xc8, 0xdc), 1));
  p.setBrush(Qt::NoBrush);
  p.drawRect(pm.rect().adjusted(0, 0, -1, -1));
  return pm;
}

QPixmap BannerPicture(int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::white);
  QPainter p(&pm);
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  p.drawPixmap(QRect(0, 0, size, size), Draw(Image::AppIcon, size));
  return pm;
}

}  // namespace dvres
