// Disk Image Create with the support option: the support command dialog
// (template 381) over diagnostics/Macro.h.
#pragma once
#include <QDialog>

#include "diagnostics/Macro.h"

class QLineEdit;

class CMacroDialog : public QDialog {
  Q_OBJECT
 public:
  enum { IDD = 381 };
  explicit CMacroDialog(QWidget* parent = nullptr);
  void accept() override;
  int lastResult = -1;
  CMacro macro;

 private:
  QLineEdit* edit_ = nullptr;
};
