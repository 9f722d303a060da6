#include "ui/OwnButtons.h"

#include <QPainter>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOption>
#include <memory>

#include "foundation/AppState.h"
#include "resources/Skins.h"

namespace {

bool g_themed = true;
double Scale() { return g_appState ? g_appState->displayScale : 1.0; }

void FocusRect(QPainter& p, const QWidget* w, const QRect& r) {
  QStyleOptionFocusRect o;
  o.initFrom(w);
  o.rect = r;
  OwnStyle(w)->drawPrimitive(QStyle::PE_FrameFocusRect, &o, &p, w);
}

}  // namespace

bool OwnControlsThemed() { return g_themed; }
void SetOwnControlsThemed(bool themed) { g_themed = themed; }

QStyle* OwnStyle(const QWidget* w) {
  if (g_themed) return w->style();
  static std::unique_ptr<QStyle> classic(QStyleFactory::create(QStringLiteral("Fusion")));
  return classic ? classic.get() : w->style();
}

QColor ToQColor(Rgb c) { return QColor(c.r, c.g, c.b); }

// ---- glass ----

CGlassBtnCtrl::CGlassBtnCtrl(QWidget* parent) : CMBBaseBtnCtrl<QPushButton>(parent) {
  SetHandCursor(true);
  setAttribute(Qt::WA_TranslucentBackground);
}

bool CGlassBtnCtrl::SetIcons(const QIcon& normal, const QIcon& disabled, const QIcon& hover, int w, int h) {
  normal_ = normal;
  disabled_ = disabled;
  hover_ = hover;
  iconW_ = w;
  iconH_ = h;
  update();
  return !normal.isNull() || !disabled.isNull() || !hover.isNull();
}

void CGlassBtnCtrl::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const bool pressed = isDown();
  const bool disabled = !isEnabled();
  lastThemed_ = OwnControlsThemed();
  lastState_ = GlassStateIndex(pressed, disabled, hovering_);
  if (skin_) dvres::PaintGlassSkin(p, rect(), lastState_);
  lastText_ = GlassTextColour(disabled, hovering_);
  lastIcon_ = GlassIcon(disabled, hovering_, !disabled_.isNull(), !hover_.isNull());
  const QIcon& icon = lastIcon_ == IconChoice::kDisabled ? disabled_ : lastIcon_ == IconChoice::kHover ? hover_ : normal_;
  const int off = pressed ? 1 : 0;
  if (!icon.isNull())
    p.drawPixmap(10 + off, (height() - iconH_) / 2 + off, icon.pixmap(iconW_, iconH_));
  QFont f;
  f.setFamilies({face_, QStringLiteral("DejaVu Sans")});
  f.setPointSizeF(fontTenths_ / 10.0);
  p.setFont(f);
  p.setPen(ToQColor(lastText_));
  const QRect tr = rect().adjusted(12, 0, 0, 0).translated(off, off);
  p.drawText(tr, Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, text());
  if (!disabled && hasFocus()) FocusRect(p, this, rect().adjusted(2, 2, -2, -2));
}

// ---- tab ----

CTabBtnCtrl::CTabBtnCtrl(QWidget* parent) : CGlassBtnCtrl(parent) {
  setCheckable(true);
  fontTenths_ = 80;
}

void CTabBtnCtrl::SetSelected(bool selected) {
  if (!isEnabled()) setEnabled(true);
  selected_ = selected;
  setChecked(selected);
  update();
}

void CTabBtnCtrl::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const bool disabled = !isEnabled();
  lastThemed_ = OwnControlsThemed();
  selected_ = isChecked();
  lastState_ = TabStateIndex(selected_, hovering_);
  dvres::PaintTabSkin(p, rect(), lastState_);
  lastText_ = TabTextColour(selected_, hovering_, disabled);
  const TabInsets in = TabTextInsets(selected_);
  QFont f;
  f.setFamilies({face_, QStringLiteral("DejaVu Sans")});
  f.setPointSizeF(8);
  f.setWeight(QFont::DemiBold);
  p.setFont(f);
  p.setPen(ToQColor(lastText_));
  QRect tr = rect().adjusted(0, in.textTop, 0, -in.textBottom);
  if (!normal_.isNull()) {
    const int textW = p.fontMetrics().horizontalAdvance(QString(text()).remove(QLatin1Char('&')));
    const int x = (width() - textW) / 2 - iconW_ - 4;
    p.drawPixmap(std::max(4, x), tr.top() + (tr.height() - iconH_) / 2, normal_.pixmap(iconW_, iconH_, disabled && !selected_ ? QIcon::Disabled : QIcon::Normal));
    tr.adjust(iconW_ / 2 + 2, 0, iconW_ / 2 + 2, 0);
  }
  p.drawText(tr, Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, text());
  if (!disabled && hasFocus()) {
    p.setPen(Qt::black);
    FocusRect(p, this, rect().adjusted(2, in.focusTop, -2, -2));
  }
}

// ---- image button ----

CImgButton::CImgButton(QWidget* parent) : CMBBaseBtnCtrl<QToolButton>(parent) {
  setAutoRaise(true);
  setAttribute(Qt::WA_TranslucentBackground);
}

void CImgButton::SetImages(const QPixmap& normal, const QPixmap& disabled, const QPixmap& hover) {
  image_ = normal;
  disabledImage_ = disabled;
  hoverImage_ = hover;
  update();
}

QSize CImgButton::sizeHint() const {
  QFont f = const_cast<CImgButton*>(this)->OwnFont(false);
  const QFontMetrics fm(f);
  const QString t = QString(text()).remove(QLatin1Char('&'));
  int w = image_.isNull() ? 0 : int(image_.width() / image_.devicePixelRatio());
  int h = image_.isNull() ? 0 : int(image_.height() / image_.devicePixelRatio());
  if (image_.isNull() && !icon().isNull()) w = iconSize().width(), h = iconSize().height();
  if (imageAbove_) return QSize(std::max(w, fm.horizontalAdvance(t)) + 20, h + fm.height() + 12);
  return QSize(w + fm.horizontalAdvance(t) + 24, std::max(h, fm.height()) + 10);
}

void CImgButton::focusOutEvent(QFocusEvent* e) {
  QToolButton::focusOutEvent(e);
  update();
}

void CImgButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const bool pressed = isDown();
  const bool disabled = !isEnabled();
  const bool focused = hasFocus();
  const bool themed = OwnControlsThemed();
  lastThemed_ = themed;
  QRect r = rect();
  if (defaultFrame_) r.adjust(1, 1, -1, -1);
  lastThemeState_ = ImgButtonThemeState(disabled, pressed, hovering_, focused);
  if (drawBackground_) {
    QStyleOptionButton o;
    o.initFrom(this);
    o.rect = r;
    o.state = QStyle::State_None;
    if (!disabled) o.state |= QStyle::State_Enabled;
    if (pressed) o.state |= QStyle::State_Sunken;
    else o.state |= QStyle::State_Raised;
    if (hovering_) o.state |= QStyle::State_MouseOver;
    if (focused) o.state |= QStyle::State_HasFocus;
    OwnStyle(this)->drawControl(QStyle::CE_PushButtonBevel, &o, &p, this);
  }
  const bool underline = hovering_ && hand_;
  const QFont f = OwnFont(false, underline);
  p.setFont(f);
  const QFontMetrics fm(f);
  const QString t = text();
  // Without images of its own the button's icon gives all three looks.
  QPixmap normal = image_, disabledImg = disabledImage_, hoverImg = hoverImage_;
  if (normal.isNull() && !icon().isNull()) {
    normal = icon().pixmap(iconSize());
    disabledImg = icon().pixmap(iconSize(), QIcon::Disabled);
    hoverImg = icon().pixmap(iconSize(), QIcon::Active);
  }
  const int w = normal.isNull() ? 0 : int(normal.width() / normal.devicePixelRatio());
  const int h = normal.isNull() ? 0 : int(normal.height() / normal.devicePixelRatio());
  const ImgButtonLayout l = LayOutImgButton(width(), height(), w, h, fm.height(), imageAbove_, !t.isEmpty(),
                                            g_appState ? g_appState->displayScale : 1.0);
  lastImage_ = ImgButtonImage(disabled, hovering_, !disabledImg.isNull(), !hoverImg.isNull());
  const int off = pressed ? 1 : 0;
  const QPixmap img = lastImage_ == IconChoice::kDisabled ? disabledImg
                      : lastImage_ == IconChoice::kHover  ? hoverImg
                      : lastImage_ == IconChoice::kNormal ? normal
                                                          : QPixmap();
  if (!img.isNull()) p.drawPixmap(l.imageX + off, l.imageY + off, img);
  if (!t.isEmpty()) {
    QRect tr = imageAbove_ ? QRect(0, l.textTop, width(), fm.height()) : QRect(l.textLeft, l.textTop, width() - l.textLeft, fm.height());
    tr.translate(off, off);
    if (!disabled && !(colour_ == Rgb{0, 0, 0})) {
      p.setPen(ToQColor(ImgButtonTextColour(colour_, pressed, hand_)));
      p.drawText(tr, Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, t);
    } else if (!disabled) {
      p.setPen(palette().color(QPalette::ButtonText));
      p.drawText(tr, Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, t);
    } else {
      // Embossed: the light copy one pixel down and right, the shadow on top.
      p.setPen(palette().color(QPalette::Light));
      p.drawText(tr.translated(1, 1), Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, t);
      p.setPen(palette().color(QPalette::Dark));
      p.drawText(tr, Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, t);
    }
  }
  if (!disabled && focused) {
    if (colour_ == Rgb{0, 0, 0}) {
      FocusRect(p, this, r.adjusted(2, 2, -2, -2));
    } else {
      // A label in its own colour stands on a dark panel, where the style's
      // focus frame hardly shows: a dotted frame in the label's colour.
      QPen pen(ToQColor(colour_), 1, Qt::DotLine);
      p.setPen(pen);
      p.setBrush(Qt::NoBrush);
      p.drawRect(r.adjusted(2, 2, -3, -3));
    }
  }
}

// ---- check box and radio ----

namespace {

template <class B>
void PaintCheck(B* b, QPainter& p, QStyle::PrimitiveElement element, bool hovering, Rgb colour, const QFont& font,
                int* lastState) {
  const double s = Scale();
  const bool checked = b->isChecked();
  const bool pressed = b->isDown();
  const bool disabled = !b->isEnabled();
  *lastState = CheckBoxThemeState(checked, pressed, hovering, disabled);
  QStyleOptionButton o;
  o.initFrom(b);
  QStyle* st = OwnStyle(b);
  const int ind = st->pixelMetric(element == QStyle::PE_IndicatorRadioButton ? QStyle::PM_ExclusiveIndicatorWidth
                                                                               : QStyle::PM_IndicatorWidth,
                                  &o, b);
  const int boxW = std::max(int(14 * s), ind);
  o.rect = QRect(0, (b->height() - ind) / 2, std::min(ind, boxW), ind);
  o.state = QStyle::State_None;
  if (!disabled) o.state |= QStyle::State_Enabled;
  o.state |= checked ? QStyle::State_On : QStyle::State_Off;
  if (pressed) o.state |= QStyle::State_Sunken;
  if (hovering) o.state |= QStyle::State_MouseOver;
  // The mark is drawn in the palette's text colour on the white box.
  o.palette.setColor(QPalette::Text, Qt::black);
  o.palette.setColor(QPalette::Base, Qt::white);
  st->drawPrimitive(element, &o, &p, b);
  const QString t = b->text();
  if (t.isEmpty()) return;
  p.setFont(font);
  p.setPen(ToQColor(CheckTextColour(colour, !disabled)));
  const int left = std::max(int(18 * s), ind + 4);
  const QRect tr(left, 0, b->width() - left, b->height());
  p.drawText(tr, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, t);
  if (!disabled && b->hasFocus()) {
    const QFontMetrics fm(font);
    const int tw = fm.horizontalAdvance(QString(t).remove(QLatin1Char('&')));
    QStyleOptionFocusRect fo;
    fo.initFrom(b);
    fo.rect = QRect(left - 2, (b->height() - fm.height()) / 2 - 1, tw + 4, fm.height() + 2);
    st->drawPrimitive(QStyle::PE_FrameFocusRect, &fo, &p, b);
  }
}

QSize CheckHint(const QWidget* w, const QFont& f, const QString& text) {
  const QFontMetrics fm(f);
  const int left = std::max(int(18 * Scale()), 17);
  return QSize(left + fm.horizontalAdvance(QString(text).remove(QLatin1Char('&'))) + 4, std::max(fm.height() + 4, 16));
  (void)w;
}

}  // namespace

CMyCheckboxCtrl::CMyCheckboxCtrl(QWidget* parent) : CMBBaseBtnCtrl<QCheckBox>(parent) { bold_ = true; }
CMyRadioBtnCtrl::CMyRadioBtnCtrl(QWidget* parent) : CMBBaseBtnCtrl<QRadioButton>(parent) { bold_ = true; }

QSize CMyCheckboxCtrl::sizeHint() const {
  return CheckHint(this, const_cast<CMyCheckboxCtrl*>(this)->OwnFont(true), text());
}
QSize CMyRadioBtnCtrl::sizeHint() const {
  return CheckHint(this, const_cast<CMyRadioBtnCtrl*>(this)->OwnFont(true), text());
}

void CMyCheckboxCtrl::paintEvent(QPaintEvent*) {
  QPainter p(this);
  lastThemed_ = OwnControlsThemed();
  PaintCheck(this, p, QStyle::PE_IndicatorCheckBox, hovering_, colour_, OwnFont(true), &lastState_);
}

void CMyRadioBtnCtrl::paintEvent(QPaintEvent*) {
  QPainter p(this);
  lastThemed_ = OwnControlsThemed();
  PaintCheck(this, p, QStyle::PE_IndicatorRadioButton, hovering_, colour_, OwnFont(true), &lastState_);
}
