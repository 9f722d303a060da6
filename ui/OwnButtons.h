// The program's own buttons: glass and tab buttons drawn from skins, a
// push button with an image above or beside its text, and a check box and
// radio button with bold text in a colour of their own. All track the
// mouse for a hover look and can show the hand cursor.
#pragma once
#include <QCheckBox>
#include <QEnterEvent>
#include <QIcon>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>

#include "ui/core/ControlLook.h"

class QStyle;

// Whether the own controls draw with the platform style ("themed") or with
// Fusion (the classic look). Themed unless switched off.
bool OwnControlsThemed();
void SetOwnControlsThemed(bool themed);
// The style the own controls draw with.
QStyle* OwnStyle(const QWidget* w);
QColor ToQColor(Rgb c);

// The shared base: hover tracking, the hand cursor, font and text colour.
template <class Base>
class CMBBaseBtnCtrl : public Base {
 public:
  explicit CMBBaseBtnCtrl(QWidget* parent = nullptr) : Base(parent) { this->setAttribute(Qt::WA_Hover, true); }
  void SetHandCursor(bool on) {
    hand_ = on;
    if (on)
      this->setCursor(Qt::PointingHandCursor);
    else
      this->unsetCursor();
  }
  bool HandCursor() const { return hand_; }
  // Enables or disables; the previous state.
  bool EnableButton(bool enable) {
    const bool was = this->isEnabled();
    this->setEnabled(enable);
    this->update();
    return was;
  }
  // Size in tenths of a point, the text colour, the face, bold.
  void SetFontInfo(int tenths, Rgb colour, const QString& face, bool bold) {
    fontTenths_ = tenths;
    colour_ = colour;
    face_ = face;
    bold_ = bold;
    fontMade_ = false;
  }
  bool Hovering() const { return hovering_; }
  Rgb TextColour() const { return colour_; }
  // The last drawing used the platform style (for tests).
  bool LastDrawThemed() const { return lastThemed_; }

 protected:
  void enterEvent(QEnterEvent* e) override {
    Base::enterEvent(e);
    if (!hovering_ && TracksHover()) {
      hovering_ = true;
      HoverChanged();
      this->update();
    }
  }
  void leaveEvent(QEvent* e) override {
    Base::leaveEvent(e);
    if (hovering_) {
      hovering_ = false;
      HoverChanged();
      this->update();
    }
  }
  virtual bool TracksHover() const { return true; }
  virtual void HoverChanged() {}
  // The font, made once from the size and face.
  QFont OwnFont(bool forceBold, bool underline = false) {
    if (!fontMade_ || underline != underlined_) {
      font_ = QFont();
      font_.setFamilies({face_, QStringLiteral("DejaVu Sans")});
      font_.setPointSizeF(fontTenths_ / 10.0);
      font_.setBold(bold_ || forceBold);
      font_.setUnderline(underline);
      underlined_ = underline;
      fontMade_ = true;
    }
    return font_;
  }

  bool hovering_ = false;
  bool hand_ = false;
  Rgb colour_{0, 0, 0};
  int fontTenths_ = 80;
  QString face_ = QStringLiteral("Tahoma");
  bool bold_ = false;
  bool fontMade_ = false;
  bool underlined_ = false;
  QFont font_;
  bool lastThemed_ = false;
};

class CGlassBtnCtrl : public CMBBaseBtnCtrl<QPushButton> {
 public:
  explicit CGlassBtnCtrl(QWidget* parent = nullptr);
  // Normal, disabled and hover icons drawn at w x h; false when none is
  // given.
  bool SetIcons(const QIcon& normal, const QIcon& disabled, const QIcon& hover, int w, int h);
  void SetSkin(bool on) { skin_ = on; update(); }
  // What the last painting chose (for tests).
  int LastState() const { return lastState_; }
  IconChoice LastIcon() const { return lastIcon_; }
  Rgb LastTextColour() const { return lastText_; }

 protected:
  void paintEvent(QPaintEvent*) override;
  QIcon normal_, disabled_, hover_;
  int iconW_ = 16, iconH_ = 16;
  bool skin_ = true;
  int lastState_ = -1;
  IconChoice lastIcon_ = IconChoice::kNone;
  Rgb lastText_;
};

// A step tab: the selected one is drawn light and joined to the band.
class CTabBtnCtrl : public CGlassBtnCtrl {
 public:
  explicit CTabBtnCtrl(QWidget* parent = nullptr);
  // Enables a disabled tab, stores, repaints.
  void SetSelected(bool selected);
  bool Selected() const { return isChecked(); }

 protected:
  void paintEvent(QPaintEvent*) override;
  bool selected_ = false;
};

// Push button with an image above or beside its text.
class CImgButton : public CMBBaseBtnCtrl<QToolButton> {
 public:
  explicit CImgButton(QWidget* parent = nullptr);
  // Normal, disabled and hover images (a null pixmap for none).
  void SetImages(const QPixmap& normal, const QPixmap& disabled, const QPixmap& hover);
  void SetLayout(bool imageAbove, bool drawBackground) {
    imageAbove_ = imageAbove;
    drawBackground_ = drawBackground;
  }
  void SetDefaultFrame(bool on) { defaultFrame_ = on; }
  IconChoice LastImage() const { return lastImage_; }
  int LastThemeState() const { return lastThemeState_; }
  bool Underlined() const { return underlined_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  void focusOutEvent(QFocusEvent* e) override;
  bool TracksHover() const override { return !hoverImage_.isNull() || !icon().isNull() || hand_; }
  void HoverChanged() override { fontMade_ = false; }

 private:
  QPixmap image_, disabledImage_, hoverImage_;
  bool imageAbove_ = false;
  bool drawBackground_ = true;
  bool defaultFrame_ = false;
  IconChoice lastImage_ = IconChoice::kNone;
  int lastThemeState_ = 0;
};

class CMyCheckboxCtrl : public CMBBaseBtnCtrl<QCheckBox> {
 public:
  explicit CMyCheckboxCtrl(QWidget* parent = nullptr);
  int LastThemeState() const { return lastState_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  int lastState_ = 0;
};

class CMyRadioBtnCtrl : public CMBBaseBtnCtrl<QRadioButton> {
 public:
  explicit CMyRadioBtnCtrl(QWidget* parent = nullptr);
  int LastThemeState() const { return lastState_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  int lastState_ = 0;
};
