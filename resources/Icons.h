// The program's bitmaps and icons, drawn here with QPainter so that no
// image file has to be shipped: the application icon, the Scan, Save and
// Pause button images, the toolbar images, the tab band and the background
// band of the view.
#pragma once
#include <QColor>
#include <QIcon>
#include <QPixmap>

namespace dvres {

enum class Image {
  AppIcon,
  Scan,
  Save,
  Pause,
  Properties,
  Preview,
  TreeView,
  ListView,
  Help,
  AdvancedVolumes,
  Browse,
  FileDoc,
  Folder,
};

// An image of the given size in pixels (square), drawn for the device pixel
// ratio given.
QPixmap Draw(Image image, int size, qreal devicePixelRatio = 1.0);
QIcon Icon(Image image);

// Colours of the view's top band.
inline QColor BandTop() { return QColor(0x1f, 0x4e, 0x8c); }
inline QColor BandBottom() { return QColor(0x12, 0x33, 0x63); }
inline QColor Accent() { return QColor(0x29, 0xAE, 0xFF); }

}  // namespace dvres
