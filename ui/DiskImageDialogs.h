// The disk-image dialog (a range of the current drive copied into a file
// as raw sectors or a hex listing, or a lost RAID member rebuilt) and its
// progress window, which runs the copy on a thread of its own. The rules
// are DiskImageRules (ui/core); the copy is storage's CopyDiskImageThread.
#pragma once
#include <QDialog>
#include <QElapsedTimer>
#include <atomic>
#include <cstdio>
#include <thread>

#include "storage/DiskImage.h"
#include "ui/DialogBase.h"
#include "ui/core/DiskImageRules.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QRadioButton;
class QTimer;

class CDumpingPrgrsDlg : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 331 };
  // The range, the rebuild kind, the format and the listing (text format
  // only; the copy closes it).
  CDumpingPrgrsDlg(int64_t first, int64_t last, int regenerate, int binary, FILE* text, QWidget* parent);
  ~CDumpingPrgrsDlg() override;
  void SetDriveName(WStringView name);
  bool Failed() const { return failed_; }
  // "%0.2f" seconds of the copy, for message 322.
  WString ElapsedSeconds() const;
  const DumpProgress& Progress() const { return progress_; }
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void StartCopy();
  void OnBytes(uint64_t total);
  void OnTimer();
  void OnStatus(int status);
  void Push();

  DumpJob job_;
  std::atomic<int> cancel_{0};
  std::thread thread_;
  bool started_ = false, finished_ = false, failed_ = false;
  DumpProgress progress_;
  QElapsedTimer clock_;
  QTimer* timer_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QLabel* drive_ = nullptr;
};

class CDISaveDlg : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 335 };
  // The current drive and its record give the name and the range; a drive
  // of a loaded session cannot be copied (Create stays disabled).
  explicit CDISaveDlg(QWidget* parent = nullptr, bool sessionDrive = false);
  void OnWarningRead();
  void OnCreate();
  void OnBrowse();
  const DiskImageRules& Rules() const { return rules_; }

 private:
  void ReadControls();
  void ShowSpace();
  void Refuse(int message, int focus, WString text = {});
  // The L and P commands of a set read through a schema file.
  bool MemberCommand(const DiskImageRules::Typed& typed);

  DiskImageRules rules_;
  bool session_ = false;
  QLineEdit* folder_ = nullptr;
  QLineEdit* first_ = nullptr;
  QLineEdit* last_ = nullptr;
  QLabel* space_ = nullptr;
  QRadioButton* binary_ = nullptr;
  QRadioButton* text_ = nullptr;
};

// Puts the dialog behind the view's Disk Image command.
void InstallDiskImageDialog();
