// Options > Trace: the Trace dialog (template 141) over the rules of
// diagnostics/DebugDlg.h, and the name prompt it opens (template 300).
#pragma once
#include <functional>

#include "diagnostics/DebugDlg.h"
#include "ui/DialogBase.h"

class QCheckBox;
class QLineEdit;

class CTraceDialog : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 141 };
  explicit CTraceDialog(QWidget* parent = nullptr);
  void accept() override;
  const CDebugDlg& Rules() const { return rules_; }
  // The prompts the dialog opens (the tests script them).
  CDebugDlg::Asks asks;

 private:
  void Load();
  void Store();
  CDebugDlg rules_;
  QCheckBox* box(int id) const;
};

// The one-line prompt: mode 0 a trace file name, 1 a content code.
bool AskDebugFn(QWidget* parent, int mode, WString* text);
