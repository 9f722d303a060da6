// The printf-style formatter of the message texts, type-safe: arguments are
// captured with their types, so a mismatched or missing argument shows a
// marker in the output instead of reading garbage. Conversions: s S c d i u
// x X o f e g p %, flags - 0 + blank #, width, precision, and the length
// prefixes h l ll I64 (d, u, x without I64/ll take 32 bits, as the texts
// expect). Text from a disk or a file is never passed as the format.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/Text.h"

class FmtArg {
 public:
  enum class Kind : uint8_t { Signed, Unsigned, Double, Wide, Narrow, Char, Pointer };

  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                          !std::is_same_v<T, char> && !std::is_same_v<T, char16_t>,
                                      int> = 0>
  FmtArg(T v) {
    if constexpr (std::is_signed_v<T>) { kind_ = Kind::Signed; i_ = int64_t(v); }
    else { kind_ = Kind::Unsigned; u_ = uint64_t(v); }
  }
  FmtArg(bool v) : kind_(Kind::Signed), i_(v ? 1 : 0) {}
  template <class E, std::enable_if_t<std::is_enum_v<E>, int> = 0>
  FmtArg(E v) : kind_(Kind::Signed), i_(int64_t(v)) {}
  FmtArg(char c) : kind_(Kind::Char), c_(char16_t(uint8_t(c))) {}
  FmtArg(char16_t c) : kind_(Kind::Char), c_(c) {}
  FmtArg(double v) : kind_(Kind::Double), d_(v) {}
  FmtArg(float v) : kind_(Kind::Double), d_(v) {}
  FmtArg(const char16_t* s) : kind_(Kind::Wide), w_(s ? WStringView(s) : WStringView(u"(null)")) {}
  FmtArg(const WString& s) : kind_(Kind::Wide), w_(s) {}
  FmtArg(WStringView s) : kind_(Kind::Wide), w_(s) {}
  FmtArg(const char* s) : kind_(Kind::Narrow), n_(s ? std::string_view(s) : std::string_view("(null)")) {}
  FmtArg(const std::string& s) : kind_(Kind::Narrow), n_(s) {}
  FmtArg(std::string_view s) : kind_(Kind::Narrow), n_(s) {}
  FmtArg(const void* p) : kind_(Kind::Pointer), u_(uint64_t(reinterpret_cast<uintptr_t>(p))) {}

  Kind kind() const { return kind_; }
  int64_t i() const { return i_; }
  uint64_t u() const { return u_; }
  double d() const { return d_; }
  char16_t c() const { return c_; }
  WStringView w() const { return w_; }
  std::string_view n() const { return n_; }

 private:
  Kind kind_;
  union {
    int64_t i_;
    uint64_t u_;
    double d_;
    char16_t c_;
  };
  WStringView w_;
  std::string_view n_;
};

using FmtArgs = std::initializer_list<FmtArg>;

// Marker written for a conversion whose argument is missing or of the wrong kind.
inline constexpr char16_t kFmtMismatch[] = u"<?>";

WString FormatWArgs(WStringView format, FmtArgs args);
std::string FormatAArgs(std::string_view format, FmtArgs args);

template <class... A>
WString FormatW(WStringView format, const A&... args) {
  return FormatWArgs(format, {FmtArg(args)...});
}
template <class... A>
std::string FormatA(std::string_view format, const A&... args) {
  return FormatAArgs(format, {FmtArg(args)...});
}

// Checks a format text: every "%" starts a known conversion. Returns the
// number of arguments it takes, or -1 for a malformed text.
int CountFormatArgs(WStringView format);
