// Pictures of the program's own controls, drawn in code: the glass and tab
// button skins by state, the check pictures of the Look-for box, the menu
// images, the splash picture and the banner picture of the setup pages.
#pragma once
#include <QPainter>
#include <QPixmap>
#include <QRect>

namespace dvres {

// Glass button skin for state 0 disabled, 1 normal, 2 hot, 3 pressed.
void PaintGlassSkin(QPainter& p, const QRect& r, int state);
// Tab button skin for state 0 other, 1 selected, 2 hot.
void PaintTabSkin(QPainter& p, const QRect& r, int state);
// The 7 x 7 check pictures: 0 checked, 1 unchecked.
QPixmap CheckPicture(int index);
// Menu image by index: 0 Scan, 1 Save, 2 running, then the toolbar's
// images + 3 (3 Properties, 4 Preview, 5 Tree View, 6 List View, 7
// Advanced Volumes, 9 Help); a null pixmap for any other index.
QPixmap MenuImage(int index, int size = 16);
// The splash picture, 520 x 320.
QPixmap SplashPicture();
// The banner picture of the setup pages (square).
QPixmap BannerPicture(int size);

}  // namespace dvres
