// The program's other own controls: a group box with a rounded frame and a
// bold caption, a bold static text in a colour of its own, a read-only edit
// that leaves Enter and Escape to its dialog, a white wizard page, the
// banner across the top of the setup pages, and the splitter bar between
// the folder tree and the file list.
#pragma once
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QWizardPage>

#include "ui/core/ControlLook.h"

class CMyGroupBoxCtrl : public QGroupBox {
 public:
  explicit CMyGroupBoxCtrl(const QString& title = {}, QWidget* parent = nullptr);
  void SetFontInfo(int tenths, Rgb colour, const QString& face);
  Rgb LastCaptionColour() const { return lastCaption_; }
  bool LastDrewCaption() const { return lastDrewCaption_; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QFont Font() const;
  Rgb colour_{0, 0, 0};
  int tenths_ = 100;
  QString face_ = QStringLiteral("MS Shell Dlg");
  Rgb lastCaption_;
  bool lastDrewCaption_ = false;
};

class CMyStatic : public QLabel {
 public:
  explicit CMyStatic(const QString& text = {}, QWidget* parent = nullptr);
  void SetFontInfo(int tenths, Rgb colour, const QString& face, bool bold = true);
  // The previous flag.
  bool SetEnabledLook(bool on);
  Rgb LastTextColour() const { return lastText_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QFont Font() const;
  Rgb colour_{0, 0, 0};
  int tenths_ = 80;
  QString face_ = QStringLiteral("MS Shell Dlg");
  bool bold_ = true;
  bool enabledLook_ = true;
  Rgb lastText_;
};

class CMyROEdit : public QLineEdit {
 public:
  explicit CMyROEdit(QWidget* parent = nullptr);
  void SetWhite(bool white);

 protected:
  void keyPressEvent(QKeyEvent* e) override;
};

class CMyPP : public QWizardPage {
 public:
  explicit CMyPP(QWidget* parent = nullptr);
};

class CDlgHeaderCtrl : public QWidget {
 public:
  explicit CDlgHeaderCtrl(QWidget* parent = nullptr);
  void SetTitle(const QString& t) { title_ = t; update(); }
  void SetSubtitle(const QString& t) { subtitle_ = t; update(); }
  // Takes the parent's width and the picture's height (done once, at the
  // first painting, or by a call).
  void LayOut();

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  bool laidOut_ = false;
  QString title_, subtitle_;
  int textRight_ = 400;
  QWidget* line_ = nullptr;
};

class CDlgSplitterCtrl : public QWidget {
  Q_OBJECT
 public:
  // vertical: the bar moves up and down and reports y; otherwise sideways
  // and reports x (in the parent's coordinates).
  CDlgSplitterCtrl(bool vertical, const QRect& rect, QWidget* parent, int id = 15000);
  void SetRange(int lowest, int highest) {
    lo_ = lowest;
    hi_ = highest;
  }
  int Lowest() const { return lo_; }
  int Highest() const { return hi_; }
  bool Dragging() const { return dragging_; }

 signals:
  // The clamped position while and after dragging.
  void splitterMoved(int position);

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void paintEvent(QPaintEvent*) override;

 private:
  void Report(const QPointF& local);
  bool dragging_ = false;
  bool vertical_ = false;
  int lo_ = 0, hi_ = 0;
};
