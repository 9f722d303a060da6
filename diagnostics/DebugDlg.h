// The Trace dialog's rules (its window comes with the user interface): the
// boxes and their defaults, and what OK checks and applies before the
// binary I/O trace is opened.
#pragma once
#include <cstdint>
#include <functional>

#include "platform/Text.h"

// The content code's fixed prefix: these four characters, then a number.
inline constexpr char16_t kContentCodePrefix[] = u"DVC ";
inline constexpr char16_t kTraceHelpTopic[] = u"html\\afxc7bqf.htm";

class CDebugDlg {
 public:
  // The boxes, in the dialog's order, with their defaults when no trace is
  // set.
  bool warningRead = false;
  WString folder;
  bool executionPath = false, io = true, mft = true, raid = true, content = false, compression = false;
  bool unixFs = true, hfs = true, buffering = true, sequential = true;
  int32_t interval = 1;

  WString tracePath;
  int32_t contentCount = 0;
  bool contentCodeEntered = false;

  // What the window asks: a trace file name (false: Cancel), a content code
  // (false: Cancel), and for an existing file 0 Replace, 1 Append, 2 Cancel.
  struct Asks {
    std::function<bool(WString*)> traceFileName;
    std::function<bool(WString*)> contentCode;
    std::function<int(WStringView path)> replaceOrAppend;
  };

  // Dialog start: the current switches when a trace file is set.
  void Start();
  bool FolderControlsEnabled() const { return warningRead; }
  // The Ext3/UFS/XFS and HFS/HFS+ boxes: checked with interval 0 gives 1.
  void OnUnixFsBox(bool checked);
  void OnHfsBox(bool checked);
  // The Content box: cleared sets the count 0; checked asks for the code.
  void OnContentBox(bool checked, const Asks& asks);

  enum class Result { kStay, kOk, kCancel };
  // OK: checks, applies the switches and opens the binary trace. kStay
  // keeps the dialog open with the entries (the reason has been shown).
  Result OnOk(const Asks& asks);

  // The steps of OK, for the window's tests.
  bool CheckFolder();
  bool CheckTraceFileName(const Asks& asks);
  bool OpenTraceFile(const Asks& asks);
};

// The content code: the prefix, then a decimal number; 3 to 15 characters.
// The number, or -1.
int32_t ParseContentCode(WStringView code);
