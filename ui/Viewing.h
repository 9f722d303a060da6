// The viewing tips: after a scan that found items, two tips (Tree View;
// sorting and filtering by the column headings) each with a small live
// illustration, and how long the command took.
#pragma once
#include <QDialog>

class CMBLstHdrCtrl;
class QFrame;
class QLabel;
class QPushButton;

class CViewing : public QDialog {
  Q_OBJECT

 public:
  enum { IDD = 169, kTip1 = 1117, kTip2 = 1149, kLine = 1290, kElapsed = 1273, kHeader = 1017 };
  // view: the main view (the dialog is centred over it, below the list's
  // top edge at list).
  CViewing(QWidget* view, QWidget* list, QWidget* parent = nullptr);
  CMBLstHdrCtrl* Header() const { return header_; }
  QLabel* Tip(int n) const { return n == 1 ? tip1_ : tip2_; }
  QPushButton* OkButton() const { return ok_; }
  QFrame* Line() const { return line_; }
  QPoint ImagePosition() const { return imagePos_; }
  // Lays out for the client width (grows the window when needed).
  void LayOut();
  // The requested top-left (the compositor may place it elsewhere).
  QPoint RequestedPosition() const { return requested_; }

 protected:
  void paintEvent(QPaintEvent*) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  QWidget* view_;
  QWidget* list_;
  QLabel* tip1_;
  QLabel* tip2_;
  QFrame* line_;
  QLabel* elapsed_;
  QPushButton* ok_;
  CMBLstHdrCtrl* header_;
  QPoint imagePos_;
  QPoint requested_;
};
