// Conversions between the time forms the program meets: Unix seconds, file
// times (100-nanosecond units since 1601-01-01 UTC, as NTFS and the session
// files keep them) and the fixed-position date texts of picture metadata.
//
// A file time of 0 means "no time" throughout: every conversion that cannot
// give a real time returns 0 instead of a wrapped or made-up value.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

inline constexpr int64_t kFileTimeUnixEpochSeconds = 11644473600LL;  // 1601-01-01 to 1970-01-01
inline constexpr int64_t kFileTimeUnitsPerSecond = 10000000LL;

// (seconds + 11644473600) x 10^7; 0 for a time before 1601 or beyond what
// 64 bits hold.
uint64_t UnixTimeToFileTime(int64_t seconds) noexcept;
// (fileTime - 116444736000000000) / 10^7, rounded toward zero.
int64_t FileTimeToUnixTime(uint64_t fileTime) noexcept;
// The current time as a file time.
uint64_t CurrentFileTime() noexcept;

// File time of a calendar date and time (taken as UTC), or 0 when a field is
// out of range: year 1601 to 9999, month 1-12, a day the month has, hour
// 0-23, minute and second 0-59, millisecond 0-999.
uint64_t CivilTimeToFileTime(int year, int month, int day, int hour, int minute, int second,
                             int millisecond = 0) noexcept;

// A 19-character date text, "YYYY?MM?DD?hh?mm?ss" with one separator of any
// non-digit character between the fields (EXIF "2024:02:29 12:00:00", ISO
// "2024-02-29T12:00:00"). Only the first 19 characters are read. Every field
// must be all digits and in range; otherwise, as for the EXIF null date
// "0000:00:00 00:00:00" that cameras write, the result is 0 (no time), as it
// is for 1601-01-01 00:00:00, whose file time is 0.
uint64_t DateTextToFileTime(std::string_view text) noexcept;
// The same text as Unix seconds; empty for no time. The text is only read:
// callers pass pointers into sector buffers whose data must stay as read.
std::optional<int64_t> DateTextToUnixTime(std::string_view text) noexcept;

// The program's build time (the compiler's date and time texts, local time)
// as a UTC file time. Returns 1, or 0 with *out = 0 when the texts cannot
// be read (a build that hides its date).
int ParseBuildDate(uint64_t* out) noexcept;
// The conversion behind ParseBuildDate: "Mmm dd yyyy" (blanks between, the
// day may be blank-padded) and "hh:mm:ss", as local time; 0 when malformed.
uint64_t BuildDateToFileTime(std::string_view date, std::string_view time) noexcept;
