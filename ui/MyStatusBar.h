// The main frame's status bar: one pane, always as wide as its text (plus
// 2), that re-applies the last text other than the F1 prompt at each idle
// update, and refreshes the minimised frame's title with the progress.
#pragma once
#include <QStatusBar>
#include <functional>

#include "platform/Text.h"

class QLabel;

class CMyStatusBar : public QStatusBar {
  Q_OBJECT
 public:
  explicit CMyStatusBar(QWidget* parent = nullptr);
  // minimisedWithProgress: the frame is minimised and shows progress;
  // refreshTitle: the frame's UpdateTitle(1).
  void SetFrameHooks(std::function<bool()> minimisedWithProgress, std::function<void()> refreshTitle);

  bool SetPaneText(int index, const QString& text, bool update = true);
  void FitPaneToText(int index, const QString& text);
  // The idle update: message 172 gives way to the last other text.
  void OnIdleUpdate();
  QLabel* Pane() const { return pane_; }
  QString PaneText() const;

 private:
  QLabel* pane_ = nullptr;
  std::function<bool()> minimisedWithProgress_;
  std::function<void()> refreshTitle_;
  bool routing_ = false;
};
