#include "carving/HdrAscii.h"

#include <cstring>

#include "volumes/FileTypes.h"

namespace {

bool SameNoCase(const uint8_t* text, const char* lower, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = text[i];
    if (c >= 'A' && c <= 'Z') c = uint8_t(c + 32);
    if (c != uint8_t(lower[i])) return false;
  }
  return true;
}

bool IsSpace(uint8_t c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

}  // namespace

uint16_t HdrAscii::SigFind(const uint8_t* t, size_t n) {
  uint16_t result = kNoFileType;
  if (!t) return result;
  bool declaration = false;
  size_t i = 0;
  for (;;) {
    while (i < n && IsSpace(t[i])) ++i;
    if (i >= n || t[i] == 0 || n - i < 16 || t[i] != '<') return result;
    if (t[i + 1] == '!' && SameNoCase(t + i + 2, "doctype html", 12)) return kSigHtml;
    if ((t[i + 1] == 'h' || t[i + 1] == 'H') && SameNoCase(t + i + 2, "tml", 3)) return kSigHtml;
    if (t[i + 1] != '?' || std::memcmp(t + i + 2, "xml ", 4) != 0) return result;
    if (declaration) return kTypeXml;
    declaration = true;
    result = kTypeXml;
    const void* end = std::memchr(t + i, '>', n - i);
    if (!end) return result;
    i = size_t(static_cast<const uint8_t*>(end) - t) + 1;
  }
}
