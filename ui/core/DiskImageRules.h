// The disk-image dialog without a window: the warning check that unlocks
// the fields, the disk space a copy needs, the checks of Create and what
// the typed file name comes to (an image file, the start sector after "<",
// a device, a rebuilt RAID member), the commands typed in the First sector
// field, and the texts of the progress window.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/Text.h"
#include "ui/core/DialogRules.h"

class Drive;

struct DiskImageRules {
  enum : int {
    kWarningCheck = 1014,
    kFolderEdit = 1097,
    kBrowse = 1011,
    kBinaryRadio = 1044,
    kTextRadio = 1310,
    kFirstEdit = 1039,
    kLastEdit = 1040,
    kSpace = 1305,
    kCreate = 1106,
    kSourceName = 1158,
  };
  // The controls the warning check enables and disables.
  static const std::vector<int>& GuardedControls();

  WString folder, firstText, lastText, spaceText, driveName;
  int binary = 1;
  int warningRead = 0;
  uint32_t sectorSize = 512;
  bool createEnabled = true;

  // Opening: the drive's name; a session's drive keeps Create disabled and
  // the range empty; else the whole drive and its space.
  void Init(WStringView name, bool sessionDrive, int64_t sectorCount, uint32_t driveSectorSize);
  // The space text for the current fields and format.
  void UpdateSpace();

  // What the First sector field asks besides a number.
  enum class Command { None, Notepad, ShowMembers, MapMemberSector, CopyRunsList };
  struct Typed {
    Command command = Command::None;
    WString first;     // the First text with a leading "N" dropped
    int64_t number = -1;  // L: the logical sector; P: the member sector
    int member = -1;      // P: the member index
    WString fileName;     // D: the file name
  };
  // Trims both fields and reads the command of the First field ("N" only
  // in text format; "L", "P" and "D:" only outside a session).
  Typed ReadCommand(bool sessionDrive) const;
  // Create's field checks, in its order: both texts present and at most
  // 12 characters (CheckPresent), then the destination, then both numbers
  // valid with first <= last (CheckRange, which checks presence too).
  // Close means go on.
  static DialogVerdict CheckPresent(WStringView first, WStringView last);
  static DialogVerdict CheckRange(WStringView first, WStringView last, int64_t* firstOut, int64_t* lastOut);
  // The destination folder test (the drive may be null).
  static DialogVerdict CheckDestination(WStringView folder, Drive* drive);
  // "dump_<first>_<last>.dsk" or ".txt".
  static WString ProposedName(int64_t first, int64_t last, bool binary);

  // Where the typed name sends the output.
  struct Output {
    WString name;           // as typed, "<..." cut
    int64_t startSector = 0;  // after "<", 0 without
    int diskNumber = -1;    // a physical drive named
    WString path;           // folder + "/" + name for a file
    int regenerate = 0;     // 1 or 2: a rebuilt RAID member
  };
  static Output ResolveOutput(WStringView folder, WStringView typedName);
  // Message 202 with a field's label (its "&" and ':' removed).
  static WString MissingText(WStringView label);
};

// The progress window's numbers, updated by the copy's reports and the
// one-second timer.
struct DumpProgress {
  uint64_t totalSectors = 0;
  uint32_t sectorSize = 512;
  uint64_t total = 0, sinceReset = 0;
  uint32_t ticks = 0, ticksSinceReset = 0;
  double elapsed = 0;
  WString caption, sectorsText, elapsedText, leftText, averageText, immediateText, totalText;
  int percent = 0;
  void Start(uint64_t sectors, uint32_t bytesPerSector);
  // A report of the bytes copied so far.
  void OnBytes(uint64_t bytes);
  // One timer tick; `measured` (seconds since the first report) replaces
  // the count of ticks every 30th tick.
  void OnTick(double measured);
};
