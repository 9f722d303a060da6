// What the controllers of the option, volume and source dialogs share: the
// answer of a button press (close, or a message and the field to go back
// to), and the readers of the numbers people type.
#pragma once
#include <cstdint>
#include <optional>

#include "platform/Text.h"

// What a press of OK, Add, Next or Finish came to. A refusal keeps the
// dialog open: the message box (stop icon, product name as caption), then
// the focus on the field named.
struct DialogVerdict {
  bool close = false;
  int message = 0;  // message id shown, 0 for none
  WString text;     // the message text when it takes arguments (else the table's)
  int focus = 0;    // control id to focus, 0 for none

  static DialogVerdict Close() { return DialogVerdict{true, 0, {}, 0}; }
  static DialogVerdict Refuse(int message, int focus, WString text = {}) {
    return DialogVerdict{false, message, std::move(text), focus};
  }
  // The text to show: the given one, else the table's.
  WString MessageText() const;
};

// The message, else the window's own text (an empty message keeps it).
WString EntryName(int message, const char16_t* text);

// Digits with "," separators skipped: the value, 0 for an empty text;
// nothing for any other character or a value past 2^63 - 1.
std::optional<int64_t> ParseGroupedSigned(WStringView text);
// The same with one leading '-' set aside and the value negated.
std::optional<int64_t> ParseGroupedWithSign(WStringView text);
// A decimal integer as the C library reads one: blanks, a sign, then the
// leading digits (none gives 0). Nothing when the digits pass the 64-bit
// range.
std::optional<int64_t> ParseLeadingInteger(WStringView text);
// Blanks (space, tab, CR, LF) removed from both ends.
WString TrimBlanks(WStringView text);
// "%I64d" of the value.
WString DecimalText(int64_t value);
// a * b, nothing on overflow.
std::optional<int64_t> CheckedMul(int64_t a, int64_t b);
// The byte size of `count` units of `unit` bytes as the size formatter
// writes it; "?" when the product overflows.
WString SizeOfUnits(int64_t count, int64_t unit);
