// The sector exclusion dialog without its window: the working set of
// excluded byte ranges, the texts it shows (one list line per range, made
// when it is drawn), Add and Remove, and the reading of a text file of
// ranges ("Load file").
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>

#include "foundation/SectRanges.h"
#include "platform/Text.h"
#include "ui/core/DialogRules.h"

// The ranges of an exclusion-range text file, added to `set` as byte ranges
// of `unit`-byte sectors. Lines end with CR, LF or both; fields are parted
// by runs of ",", blank, tab and "|"; the first two fields are the first
// and last sector (a number prefix is taken, other text reads as 0). A line
// is taken when its last sector is not 0 and its first is not 0, except
// that a first line may start at 0. Lines with a negative first sector, a
// last sector below the first or a byte range past 2^63 are dropped. Lines
// of any length are whole (a line cut by the end of a read is completed by
// the next one). Returns the ranges taken.
class ExclusionFileReader {
 public:
  ExclusionFileReader(CSectRanges& set, uint32_t unit) : set_(set), unit_(unit ? unit : 512) {}
  // Feeds the next piece of the file (any length).
  void Feed(const char* data, size_t bytes);
  // The end of the file: the last line, when it has no line end.
  void Finish();
  uint64_t Taken() const { return taken_; }

 private:
  void Line(const char* begin, const char* end);
  CSectRanges& set_;
  uint32_t unit_;
  uint64_t taken_ = 0;
  std::string carry_;
};
// Reads the file in pieces of 1 MiB; false when it cannot be opened (the
// set keeps what was added before a read failed).
bool LoadExclusionFile(const std::string& path, CSectRanges& set, uint32_t unit, uint64_t* taken = nullptr);

class ExclusionRules {
 public:
  enum Control : int {
    kFirstEdit = 1202, kLastEdit = 1203, kAdd = 1204, kRemove = 1205, kList = 1053, kLoadFile = 1438,
    kDriveText = 1206, kRangeText = 1247,
  };

  ExclusionRules();
  // A copy of the source's ranges (null: none).
  void SetRanges(const CSectRanges* ranges);
  // The drive's first and end byte (the view passes 0 and the drive's size
  // in bytes) and its sector size.
  void SetBounds(uint64_t startByte, uint64_t endByte, uint32_t unit);
  // A path gives kind 2 (the path is shown), "X:" kind 1, a physical disk
  // kind 0 ("Disk n").
  void SetDriveName(WStringView name);
  void Init();

  int DriveKind() const { return kind_; }
  WString DriveText() const;
  WString RangeText() const;
  size_t LineCount() const;
  WString Line(size_t index) const;
  bool Changed() const { return changed_; }
  uint32_t Unit() const { return unit_; }

  // Typing in either edit: a grouped decimal number or nothing.
  static bool AcceptNumberText(WStringView text);
  // Add of the two texts. On success both texts read "0" and the focus goes
  // back to the first edit.
  DialogVerdict Add(WStringView firstText, WStringView lastText);
  // Remove of a line: its first and last sector as texts; false for no line.
  bool Remove(size_t index, WString* firstText, WString* lastText);
  // Load file of a chosen path: false when it cannot be opened (nothing
  // changes then).
  bool LoadFile(const std::string& path);
  // Whether Cancel asks "Discard unsaved changes?".
  bool CancelAsks() const { return changed_; }
  // OK: the flattened set, or null when it is empty (which clears the
  // drive's exclusions).
  std::unique_ptr<CSectRanges> TakeResult();

  WString firstText = u"0", lastText = u"0";

 private:
  std::unique_ptr<CSectRanges> set_;
  uint64_t boundStart_ = 0, boundEnd_ = 1;  // bounding range: start to end + 1
  uint32_t unit_ = 512;
  int kind_ = -1;
  int diskOrLetter_ = -1;
  WString path_;
  bool changed_ = false;
};
