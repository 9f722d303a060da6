// Small shared helpers: size, number and duration texts from the message
// table, the power-of-two tests that validate sector, cluster and record
// sizes, the run-list file of the disk-image dialog, two key-store readers,
// and the stand-ins for the theme library and the dialog fitting of other
// languages. Time conversions are in TimeUtil.h, paths and
// sector sizes in PathUtil.h; both come with this header.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Md5.h"  // HexEncode lives with the digest code that prints digests
#include "foundation/PathUtil.h"
#include "foundation/TimeUtil.h"
#include "platform/Format.h"
#include "platform/Text.h"

// ---- sizes, numbers and durations ----

// "0 KB" for 0, "1 KB" for 1 to 1024 bytes and for a negative count, else
// "%3.2f %s" in KB below 1 MiB, MB below 1 GiB, GB below 1 TiB, TB from
// there; with exact, " (%I64d)" with the count is appended.
WString FormatSize(int64_t bytes, bool exact = false);
// Digits grouped by threes with the settings object's thousands separator
// ("," without one), "-" in front of a negative value.
WString FormatNumber64(int64_t value);
// "1 hour 2 minutes", "5 minutes 3 seconds", "7 seconds"; rounded keeps the
// larger unit only when it is hours (10 or more) or minutes. A negative
// count reads as 0.
WString FormatDuration(int64_t seconds, bool rounded = false);
// "%0.2f %s" in TB, GB, MB or KB, below 1024 "%I64d byte(s)"; with perSecond
// "/second" is appended.
WString FormatByteCount(int64_t bytes, bool perSecond = false);
// The decimal digits.
std::string FormatUInt64(uint64_t value);
// Paths of the old fixed buffers: the formatted text cut to 259 characters.
// Returns the length, or -1 when the text had to be cut (so a caller never
// uses a cut path unknowingly).
int FormatMaxPathArgs(WString& out, WStringView format, FmtArgs args);
template <class... A>
int FormatMaxPath(WString& out, WStringView format, const A&... args) {
  return FormatMaxPathArgs(out, format, {FmtArg(args)...});
}
inline constexpr size_t kMaxPathChars = 260;  // including the terminator of the old buffers
WString ConcatString(WStringView text, WStringView tail);
// Whether the plural word goes with a count: above 1 always, exactly 1
// never, 0 or less only for language index 1.
bool UsesPluralForm(int64_t count);

// ---- powers of two ----

// The result of IsSectorSize. The code is the size rounded up to a power of
// two from 512 (512 for a size above the limit), with its low bit set when
// the size is exactly that power; true when the size is a power of two from
// 512 to the limit.
struct SectorSizeCheck {
  int64_t code;
  explicit operator bool() const { return (code & 1) != 0; }
  int64_t RoundedUp() const { return code & ~int64_t(0xFF); }
  friend int64_t operator&(SectorSizeCheck c, int64_t mask) { return c.code & mask; }
};
SectorSizeCheck IsSectorSize(int64_t size, int64_t limit);
// log2 of a power of two; -1 for any other value above 1; 0 for 1 or less.
int Log2Exact(int64_t n);
// Doublings from 1 to reach n or more, at most 32; *exact (when given) is 1
// when n is exactly that power of two, else 0.
int Log2Ceil(int64_t n, int* exact = nullptr);

// Frees an array of new[]-allocated texts and the array; null is ignored.
void FreeStringArray(char16_t** array, int count);

// ---- run-list file ----

// One run of the list: the first number, the second, and the second plus
// the third (its end).
struct RunListRun {
  int64_t first = 0, start = 0, end = 0;
  bool operator==(const RunListRun&) const = default;
};

// Reads a run-list file (see docs/DESIGN.md): line 1 "first,second", line 2
// "third,count", then "a,b,c,value" per run. Returns 1 and fills the
// outputs, or 0 with the run arrays emptied and the scalars untouched. Values
// whose lines are missing keep what the caller put in them. Runs are capped
// by the lines present, whatever the count claims; a negative number,
// a second value (cluster size) of 0 or less, a 64-bit overflow (in a
// number or in b + c), or a file over 256 MiB fails the read.
int ReadTextFile(WStringView path, int64_t* firstValue, int32_t* secondValue, std::vector<RunListRun>* runs,
                 int64_t* thirdValue, std::vector<int64_t>* runValues);
inline constexpr int64_t kMaxRunListFileBytes = int64_t(256) << 20;

// ---- key-store readers and the stand-ins for theme and dialog code ----

// The one failure result of the two key-store readers.
inline constexpr int32_t kEInvalidArg = int32_t(0x80070057u);
struct KeyHandle;
// A string value (types 1 and 2) of an open key of the key store
// (RegKey.h); an empty name is the key's default value. 0 with the text in
// *out, else kEInvalidArg with *out untouched (missing, not a string).
int32_t QueryRegString(const KeyHandle& key, WStringView valueName, WString* out);
// The default value of "keyName\subKey" below the classes root, which has
// no store here: always kEInvalidArg.
int32_t QueryClassesRootValue(WStringView keyName, WStringView subKey, WString* out);

// There is no theme library to load: false, and themed drawing stays off.
bool LoadUxTheme();
void FreeUxTheme();
bool UxThemeAvailable();

// The layouts of the user interface size controls to their texts in every
// language, so this does nothing; it stays for the two setup pages that
// call it. The dialog is opaque here.
void FitControlToText(const void* dialog, int firstControlId, int secondControlId);
