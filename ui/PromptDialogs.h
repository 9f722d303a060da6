// The four small question dialogs: overwrite mode (CDuplicate), replace or
// append (CExist), saving to the source's drive (CSameDrv) and skipping
// deleted files (CSkip). Each hands one answer back; the caller acts on it.
#pragma once
#include <QDialog>
#include <functional>

#include "platform/Text.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// Every modal dialog of the view runs through this, so that tests can
// answer them; the default is QDialog::exec.
using DialogRunner = std::function<int(QDialog&)>;
void SetDialogRunner(DialogRunner runner);  // empty restores exec
int RunDialog(QDialog& dialog);

class CDuplicate : public QDialog {
  Q_OBJECT
 public:
  enum { IDD = 178 };
  explicit CDuplicate(QWidget* parent = nullptr);
  // 0 the more recent file, 1 a new unique name, 2 overwrite, 3 skip.
  int mode = 0;
  int always = 0;
  void SetHideNotEmpty() { hideNotEmpty_ = 1; }
  bool HidesNotEmpty() const { return hideNotEmpty_ != 0; }
  // Shows the preset mode, flag and line (exec does it; a test runner
  // answering the dialog calls it first).
  void Prepare();
  int exec() override;
  void accept() override;
  QRadioButton* Radio(int m) const { return radios_[m]; }
  QCheckBox* AlwaysBox() const { return alwaysBox_; }
  QLabel* NotEmptyLine() const { return notEmpty_; }

 private:
  int hideNotEmpty_ = 0;
  QRadioButton* radios_[4] = {};
  QCheckBox* alwaysBox_ = nullptr;
  QLabel* notEmpty_ = nullptr;
  QLabel* prompt_ = nullptr;
};

class CExist : public QDialog {
  Q_OBJECT
 public:
  enum { IDD = 298 };
  explicit CExist(QWidget* parent = nullptr);
  void SetText(WStringView text);
  int result = 2;  // 6 replace, 7 append, 2 cancel
  void reject() override;
  QPushButton* ReplaceButton() const { return replace_; }
  QPushButton* AppendButton() const { return append_; }

 private:
  QLabel* text_ = nullptr;
  QPushButton* replace_ = nullptr;
  QPushButton* append_ = nullptr;
};

class CSameDrv : public QDialog {
  Q_OBJECT
 public:
  enum { IDD = 282 };
  explicit CSameDrv(QWidget* parent = nullptr);
  int warningRead = 0;
  WString code;
  // The overriding code (message 472, else the built-in word).
  static WString OverridingCode();
  QCheckBox* WarningBox() const { return warning_; }
  QLineEdit* CodeEdit() const { return edit_; }
  QPushButton* OkButton() const { return ok_; }

 private:
  QCheckBox* warning_ = nullptr;
  QLabel* codeLabel_ = nullptr;
  QLineEdit* edit_ = nullptr;
  QPushButton* ok_ = nullptr;
};

class CSkip : public QDialog {
  Q_OBJECT
 public:
  enum { IDD = 283 };
  explicit CSkip(QWidget* parent = nullptr);
  // Button 1 (the OK identity) reads "No. Display deleted files."; button 2
  // (the cancel identity) "Yes. Skip deleted files.".
  QPushButton* DisplayButton() const { return display_; }
  QPushButton* SkipButton() const { return skip_; }

 private:
  QPushButton* display_ = nullptr;
  QPushButton* skip_ = nullptr;
};
