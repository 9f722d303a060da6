// A borderless tip laid exactly over a list cell whose text is cut off,
// showing the whole text.
#pragma once
#include <QAbstractScrollArea>
#include <QWidget>

class CTitleTip : public QWidget {
  Q_OBJECT
 public:
  explicit CTitleTip(QWidget* parent = nullptr);
  // Remembers the list and measures a blank in its font.
  bool Create(QAbstractScrollArea* list);
  // cell in list viewport coordinates; offset as the list gives it. Shown
  // only when the text does not fit.
  void Show(const QRect& cell, const QString& text, int offset, bool firstColumn);
  void Hide();
  bool IsShown() const { return isVisible(); }
  QString Text() const { return text_; }
  int Margin() const { return margin_; }
  // The tip's area in the list viewport's coordinates, for hit tests.
  QRect HitRect() const { return hit_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QAbstractScrollArea* list_ = nullptr;
  int margin_ = 0;
  QString text_;
  QRect hit_;
};
