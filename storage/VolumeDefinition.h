// Drive-definition strings: the texts that name RAID and spanned sets and
// chains of virtual-disk files, the classifiers the rest of the program
// asks, the one member splitter the sets' readers share, the parsed tree
// (VolSpec) with its text form, and the member record of the set dialogs.
//
//   RAID0( RAID5( RAID6( RAIDZ1( RAIDZ2( RAID(   members ")"
//   SPAN(                                        extents ")"
//   member: "Missing" | device "<" first ":" last ">" | set "<" first ":" last ">"
//
// A device is "\\.\PhysicalDriveN", a block-device path or an image file's
// absolute path. Keywords are upper case and compared case-sensitively; no
// blanks are allowed between the parts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Text.h"

// Kind codes of RAID definitions (GetRaidType) and of VolSpec nodes.
inline constexpr int kRaidNone = 0;
inline constexpr int kSpanKind = 2;
inline constexpr int kRaid0 = 3;
inline constexpr int kRaid5 = 4;
inline constexpr int kRaidZ1 = 5;
inline constexpr int kRaidCustom = 8;
inline constexpr int kRaid6 = 9;
inline constexpr int kRaidZ2 = 10;

inline constexpr size_t kMaxRaidMembers = 64;
inline constexpr size_t kMaxSpanMembers = 65;
// A member text of this many characters or more ends a member list.
inline constexpr size_t kMaxMemberChars = 1023;

// 0 unless the text begins "RAID"; then by the fifth character: "(" 8,
// "0" 3, "5" 4, "6" 9, "Z1" 5, "Z2" 10, anything else 0.
int GetRaidType(WStringView text);
// 0 unless the text begins "SPAN"; then 2 with a comma anywhere, else 1.
int GetSpanType(WStringView text);
// A spanned set of more than one extent or any RAID definition.
bool IsMultiDiskDefinition(WStringView text);
// A spanned set holding a RAID set.
bool HasNestedRaid(WStringView text);
// A RAID 0 set over a RAID 0, 5 or 6 set (RAID-Z members do not count).
bool IsRaid0OverRaid(WStringView text);
// Where the disk-image list accepts an image's folder: an absolute path
// ("/x"), a drive root ("X:\") or a share ("\\server\x").
bool IsDriveOrSharePath(WStringView path);
// A sector number of a range: decimal digits only, at most 2^63 - 1.
bool ParseSectorNumber(WStringView digits, int64_t* out);
// Decimal digits with thousands separators (commas) skipped; any other
// character, or a value past 2^64 - 1, gives all ones; "" gives 0.
uint64_t ParseGroupedNumber(WStringView text);

// Splits the member list of a compound definition, from `from` (the
// character after its "(") to the ")" that closes it. Parentheses nest, so
// a member may itself be a set with its range. Stops at an empty member or
// one of kMaxMemberChars characters or more. *closed says whether the
// closing ")" was met; *end is where the walk stopped (after the ")").
std::vector<WStringView> SplitDefinitionMembers(WStringView definition, size_t from, bool* closed = nullptr,
                                                size_t* end = nullptr);

// A member text cut into its device (or nested definition) and its range.
struct MemberText {
  WStringView device;  // "Missing", a device or a whole nested definition
  bool hasRange = false;
  int64_t first = 0, last = 0;
  bool nested = false;  // a RAID definition
};
// False when the text is malformed: a nested set without its closing ")",
// a range without ":" or ">", numbers that are not decimal or pass 2^63 - 1,
// text after the range, or a device path holding a character of the
// grammar (",()<>|").
bool ParseMemberText(WStringView member, MemberText* out);

// One node of a parsed definition.
struct VolSpec {
  // 0 not recognised, 1 drive letter "X:", 2 SPAN, 3 RAID0, 4 RAID5,
  // 5 RAIDZ1, 6 path, 7 physical drive, 10 RAIDZ2.
  int kind = 0;
  std::vector<std::unique_ptr<VolSpec>> children;
  WString text;  // the device without its range (kinds 6 and 7)
  int64_t first = 0, last = 0;

  // Fills the node and its children; the kind. Throws DvCodeError{0} on a
  // malformed range or a missing "(".
  int Parse(WStringView definition);
  // Parse of at most the first 1024 characters.
  int ParseString(const WString& definition);
  // Writes the text form (NUL-terminated) into buffer; the length written,
  // 0 when it does not fit or the node has no text form (kinds 0 and 1).
  size_t Format(char16_t* buffer, size_t capacity) const;
  WString Format() const;
};

// One member as the RAID and spanned-set dialogs collect it.
struct MemberExtent {
  int64_t first = 0, last = 0;
  int64_t sectors = 0;
  WString name;
  int sectorSize = 512;
  // name + "<first:last>" (the range is always written).
  WString Format() const;
  int64_t Bytes() const { return int64_t(sectorSize) * sectors; }
};
