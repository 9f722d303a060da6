// Wide text of the core: UTF-16 in std::u16string. UTF-8 only at the
// operating-system boundary (paths, text files, the trace file).
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

using WString = std::u16string;
using WStringView = std::u16string_view;

// UTF-16 to UTF-8. Surrogate pairs become one 4-byte sequence; a lone
// surrogate becomes U+FFFD.
std::string ToUtf8(WStringView text);
// UTF-8 to UTF-16. Malformed or overlong sequences become U+FFFD.
WString FromUtf8(std::string_view text);

// Heap form: *out receives a new zero-terminated block of 3 bytes per unit
// plus one (enough for every sequence); returns the byte count. Free with
// delete[].
int WideToUtf8(const char16_t* text, int count, char** out);
// Writes the UTF-8 form of the text, without terminator, to the stream.
void WriteUtf8(FILE* stream, WStringView text);

// Locale-independent ASCII case folding, used by every comparison and hash
// of the core. Characters outside A-Z are left alone.
constexpr char16_t AsciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; }
constexpr char16_t AsciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }
constexpr char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }
bool EqualsNoCase(WStringView a, WStringView b);
bool EqualsNoCase(std::string_view a, std::string_view b);
int CompareNoCase(WStringView a, WStringView b);
WString ToLowerAscii(WStringView text);

// Length of a zero-terminated UTF-16 text.
size_t WLen(const char16_t* text);
