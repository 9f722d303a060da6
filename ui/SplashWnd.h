// The start-up picture: 520 x 320, centred over the main window, with the
// product line, the version and the notice over it; it goes after 4.5
// seconds, or at a click or key press (which goes no further).
#pragma once
#include <QPointer>
#include <QSplashScreen>

class QTimer;

class CSplashWnd : public QSplashScreen {
  Q_OBJECT
 public:
  static void EnableSplash(bool enable);
  // Shows the splash over parent when enabled and none is up; the timer's
  // interval can be shortened for tests.
  static void ShowSplash(QWidget* parent, int milliseconds = 0);
  static CSplashWnd* Current();
  // Hides and deletes the current splash.
  static void Hide();

  ~CSplashWnd() override;

 protected:
  void drawContents(QPainter* painter) override;
  bool event(QEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;

 private:
  explicit CSplashWnd(QWidget* parent);
  QPointer<QWidget> owner_;
};
