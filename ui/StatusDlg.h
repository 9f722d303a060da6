// The modeless status window of scans, session loads and recoveries:
// progress lines, bar and percentage, rate and remaining time, counters and
// a log, refreshed from the progress object once a second.
#pragma once
#include <QDialog>
#include <QPointer>
#include <functional>
#include <map>

#include "platform/Text.h"
#include "ui/core/StatusTexts.h"

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;

class CStatusDlg : public QDialog {
  Q_OBJECT
 public:
  enum { IDD = 373, kTimerId = 1015 };
  // Control ids.
  enum : int {
    kProgressGroup = 1372, kLine1 = 1373, kLine2 = 1376, kBar = 1371, kPercent = 1374,
    kRateLabel = 1427, kRateValue = 1383, kRemainingLabel = 1428, kRemainingValue = 1389,
    kScanGroup = 1273, kTotalLabel = 1375, kTotalValue = 1382, kDisplayedLabel = 1377, kDisplayedValue = 1384,
    kThirdLabel = 1378, kThirdValue = 1385, kRecoveryGroup = 1274, kSavedLabel = 1379, kSavedValue = 1386,
    kSkippedLabel = 1381, kSkippedValue = 1388, kFailedLabel = 1380, kFailedValue = 1387,
    kLogCaption = 1430, kLog = 1158,
  };

  // Created hidden by the main frame, which it docks under.
  explicit CStatusDlg(QWidget* frame = nullptr);
  ~CStatusDlg() override;

  void ShowProgress(bool on);
  void ShowRate(bool on);
  void ShowLog(bool on);
  void ClearProgress();
  void ClearLog();
  void ResetForRun();
  void AddLogLine(WStringView text);
  void UpdateProgress();
  void UpdateCounters();

  // Sources of the activity code (idle -1 by default) and of the clock
  // (SteadyNowNs by default; tests give a fake one).
  void SetActivityReader(std::function<int()> reader) { activity_ = std::move(reader); }
  void SetClock(std::function<int64_t()> nowTicks) { clock_ = std::move(nowTicks); }
  // Local date and time of log lines (tests give a fake one).
  struct LocalStamp {
    int year, month, day, hour, minute, second;
  };
  void SetLocalClock(std::function<LocalStamp()> now) { localClock_ = std::move(now); }
  // The least height the widgets above the docked panel need (the view with
  // a usable list): the panel takes its room from the rest.
  void SetRoomAbove(std::function<int()> minimum) { roomAbove_ = std::move(minimum); }
  // The view forgets the date of the last recovery-log date line when it
  // clears results, so the next recovery log starts with one.
  static void ForgetLogDate();

  // The control with that id (null for an unknown id), and its text.
  QWidget* Control(int id) const;
  QString ControlText(int id) const;
  int LogLineCount() const { return logLines_; }

  // Docking under the frame: the frame calls this when it moves or resizes.
  bool IsDocked() const { return docked_; }
  void FollowFrame();
  static int DockGap(double scale, bool composition);

 protected:
  void reject() override;  // Esc and the close box only hide
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void timerEvent(QTimerEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

 private:
  StatusReading Read() const;
  void SyncRecoverySection();
  void Layout();
  void Measure();
  void RemoveTopLines(int n);

  std::function<int()> activity_;
  std::function<int64_t()> clock_;
  std::function<LocalStamp()> localClock_;
  QWidget* frame_;
  // Docked inside the frame the panel takes its room from the list; the
  // frame grows (not when maximised) only by what the list lacks of its
  // minimum, and gives back what it grew (down to baseHeight_, its height
  // before) when no longer needed.
  void FitFrame();
  std::function<int()> roomAbove_;
  int baseHeight_ = 0;
  std::map<int, QWidget*> controls_;
  QGroupBox* progressGroup_ = nullptr;
  QGroupBox* scanGroup_ = nullptr;
  QGroupBox* recoveryGroup_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QPlainTextEdit* log_ = nullptr;
  bool progressShown_ = false, rateShown_ = false, logShown_ = false;
  bool docked_ = true, measured_ = false, redock_ = false, placing_ = false;
  int valueWidth_ = 0, lineHeight_ = 0, rateWidth_ = 0;
  int labelWidths_[3] = {0, 0, 0};
  int logLines_ = 0, linesAdded_ = 0;
  int64_t lastRefresh_ = 0;
  int timerId_ = 0;
  int lastPhase_ = -1;
};
