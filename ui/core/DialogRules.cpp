#include "ui/core/DialogRules.h"

#include "foundation/Messages.h"
#include "foundation/Utilities.h"
#include "platform/Format.h"
#include "storage/VolumeDefinition.h"

WString DialogVerdict::MessageText() const { return !text.empty() ? text : message > 0 ? Msg(message) : WString(); }

WString EntryName(int message, const char16_t* text) {
  const WString& m = Msg(message);
  return m.empty() ? WString(text) : m;
}

std::optional<int64_t> ParseGroupedSigned(WStringView text) {
  const uint64_t v = ParseGroupedNumber(text);
  if (v > uint64_t(INT64_MAX)) return std::nullopt;
  return int64_t(v);
}

std::optional<int64_t> ParseGroupedWithSign(WStringView text) {
  const bool negative = !text.empty() && text[0] == u'-';
  const std::optional<int64_t> v = ParseGroupedSigned(negative ? text.substr(1) : text);
  if (!v) return std::nullopt;
  return negative ? -*v : *v;
}

std::optional<int64_t> ParseLeadingInteger(WStringView text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\r' || text[i] == u'\n')) i++;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  uint64_t v = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; i++) {
    const uint64_t digit = uint64_t(text[i] - u'0');
    if (v > (uint64_t(INT64_MAX) + (negative ? 1 : 0) - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  if (negative) return v == uint64_t(INT64_MAX) + 1 ? INT64_MIN : -int64_t(v);
  return int64_t(v);
}

WString TrimBlanks(WStringView text) {
  auto blank = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
  size_t a = 0, b = text.size();
  while (a < b && blank(text[a])) a++;
  while (b > a && blank(text[b - 1])) b--;
  return WString(text.substr(a, b - a));
}

WString DecimalText(int64_t value) { return FormatW(u"%I64d", value); }

std::optional<int64_t> CheckedMul(int64_t a, int64_t b) {
  int64_t r = 0;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

WString SizeOfUnits(int64_t count, int64_t unit) {
  const std::optional<int64_t> bytes = CheckedMul(count, unit);
  return bytes ? FormatSize(*bytes) : WString(u"?");
}
