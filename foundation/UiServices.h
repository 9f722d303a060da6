// How the core reaches the user: the view (found items, results, progress,
// log lines, start and end of a worker run, the recovery-list request) and
// the prompt service (message boxes and questions). The user interface
// implements both; headless implementations serve tools and tests.
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Format.h"
#include "platform/Text.h"

// Message-box styles and results, with the values the callers test.
enum : unsigned {
  kMbOk = 0x0,
  kMbOkCancel = 0x1,
  kMbYesNoCancel = 0x3,
  kMbYesNo = 0x4,
  kMbRetryCancel = 0x5,
  kMbButtonsMask = 0xF,
  kMbIconError = 0x10,
  kMbIconQuestion = 0x20,
  kMbIconWarning = 0x30,
  kMbIconInformation = 0x40,
};
enum : int { kIdOk = 1, kIdCancel = 2, kIdRetry = 4, kIdYes = 6, kIdNo = 7 };

inline constexpr char16_t kProductName[] = u"Delvora";
inline constexpr char16_t kProductVersion[] = u"Delvora 4.3";

class PromptService {
 public:
  virtual ~PromptService() = default;
  // Shows a message box and returns the button pressed. Callable from any
  // thread; a worker's call blocks until the user has answered.
  virtual int MessageBox(WStringView text, WStringView caption, unsigned style) = 0;
};

// Default without a user interface: prints the text to standard error and
// answers with the first button (OK or Yes).
class HeadlessPrompt : public PromptService {
 public:
  int MessageBox(WStringView text, WStringView caption, unsigned style) override;
};

// Test double: answers from a script in order and records every question.
class ScriptedPrompt : public PromptService {
 public:
  struct Asked {
    WString text;
    WString caption;
    unsigned style;
  };
  explicit ScriptedPrompt(std::vector<int> answers = {}) : answers_(answers.begin(), answers.end()) {}
  void Push(int answer);
  int MessageBox(WStringView text, WStringView caption, unsigned style) override;
  std::vector<Asked> asked() const;
  size_t remaining() const;

 private:
  mutable std::mutex m_;
  std::deque<int> answers_;
  std::vector<Asked> asked_;
};

// The current prompt service (never null: the headless one by default).
PromptService& Prompt();
void SetPromptService(PromptService* service);  // null restores the default

// Formats the text (at most 511 characters) and shows it with the product
// name as caption.
int ShowMessageArgs(unsigned style, WStringView format, FmtArgs args);
template <class... A>
int ShowMessage(unsigned style, WStringView format, const A&... args) {
  return ShowMessageArgs(style, format, {FmtArg(args)...});
}
template <class... A>
int ShowError(WStringView format, const A&... args) {
  return ShowMessageArgs(kMbIconError, format, {FmtArg(args)...});
}
// Sets the last error from the last system error and shows it.
int ShowLastError();

// ---- the view ----

struct FoundItem {
  WString folderPath;
  int32_t nodeIndex = -1;
  // Everything the view shows, so it never reads the engine's node table
  // while the worker appends to it.
  WString name;
  uint64_t size = 0;
  uint64_t time = 0;        // FILETIME of the last change, 0 for none
  uint16_t flags = 0;       // the node's flags (0x0002 deleted)
  uint16_t flags2 = 0;      // the node's second flags (0x0002 folder)
  int16_t condition = -1;   // message id 328 "Good", 329 "Poor", or -1
  uint16_t volumeIndex = 0xFFFF;
  bool symlink = false;  // a symbolic link: listed as one, never recovered
};

struct StatusItem {
  int32_t recordIndex = -1;
  int16_t status = 0;  // message id: 231 saved, 162 failed, 200 skipped, 155 corrupt
};

// One file the view hands to a recovery (the worker's own words are kept
// by the worker).
struct RecoveryListEntry {
  WString destinationPath;
  int32_t volumeIndex = -1;
  int32_t recordIndex = -1;  // the item's index in the view's list
  int32_t nodeIndex = -1;    // the item's index in the engine's node table
};

inline constexpr int kBatchSize = 500;
inline constexpr int kRecoveryListSize = 100;

class ViewSink {
 public:
  virtual ~ViewSink() = default;
  virtual void OperationStarted() = 0;
  // A batch of found items with the percentage done. The view takes the
  // items (the vector is left empty) and sets the hand-over event.
  virtual void FoundItems(std::vector<FoundItem>& items, int percent) = 0;
  // Per-file results of a recovery (codes 2 and 7); the view takes them and
  // sets the hand-over event.
  virtual void StatusItems(std::vector<StatusItem>& items, int code) = 0;
  virtual void ProgressText(int code, WStringView text) = 0;
  // Fills up to 100 entries (fewer means the list is exhausted) and sets the
  // recovery event.
  virtual void FillRecoveryList(std::vector<RecoveryListEntry>& list) = 0;
  // A line for the status dialog's log and, during a recovery, the
  // recovery log. Lines are taken whole (a recovery's status line carries a
  // destination path of up to 1022 characters); blocking.
  virtual void LogLine(WStringView line) = 0;
  virtual void OperationEnded(int64_t itemsFound) = 0;
};

// Where a view without windows also writes its log lines: the recovery
// log's buffered writer, which the engine installs; null: nowhere.
using HeadlessLogWriter = void (*)(WStringView line);
void SetHeadlessLogWriter(HeadlessLogWriter writer);

// A view without windows: keeps what it is given, so a headless run and the
// tests can read it back. Its log lines also go to the headless log writer.
class HeadlessView : public ViewSink {
 public:
  void OperationStarted() override;
  void FoundItems(std::vector<FoundItem>& items, int percent) override;
  void StatusItems(std::vector<StatusItem>& items, int code) override;
  void ProgressText(int code, WStringView text) override;
  void FillRecoveryList(std::vector<RecoveryListEntry>& list) override;
  void LogLine(WStringView line) override;
  void OperationEnded(int64_t itemsFound) override;

  // Entries handed out by FillRecoveryList, 100 at a time.
  void SetRecoveryList(std::vector<RecoveryListEntry> list);

  mutable std::mutex m;
  bool started = false, ended = false;
  int64_t itemsFoundAtEnd = 0;
  int lastPercent = 0;
  std::vector<FoundItem> found;
  std::vector<StatusItem> statuses;
  std::vector<WString> log;
  std::vector<WString> progress;
  bool echoLog = false;  // also print log lines to standard error

 private:
  std::vector<RecoveryListEntry> toRecover_;
  size_t nextToRecover_ = 0;
};
