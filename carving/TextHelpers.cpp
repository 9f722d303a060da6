#include "carving/TextHelpers.h"

#include <cstring>

#include "volumes/FileTypes.h"
#include "foundation/TimeUtil.h"


TextCharCounts CountTextChars(const void* buffer, size_t length) {
  TextCharCounts counts;
  if (!buffer) return counts;
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  for (size_t i = 0; i < length; ++i) {
    if (p[i] != 0) {
      ++counts.nonZero;
      counts.trailingZeros = 0;
    } else {
      ++counts.trailingZeros;
    }
    counts.printable += kPrintableByte[p[i]];
  }
  return counts;
}

const char* FindExifDateTime(const void* buffer, size_t length) {
  static constexpr char kLow[] = "0000:00:00 00:00:00";
  static constexpr char kHigh[] = "9999:99:99 99:99:99";
  constexpr size_t kChars = sizeof(kLow) - 1;
  if (!buffer || length < kChars) return nullptr;
  const char* p = static_cast<const char*>(buffer);
  size_t k = 0;
  for (size_t i = 0; i < length; ++i) {
    // A byte that breaks a partial match is not tried again as a first one.
    if (p[i] >= kLow[k] && p[i] <= kHigh[k]) {
      if (++k == kChars) return p + i + 1 - kChars;
    } else {
      k = 0;
    }
  }
  return nullptr;
}

std::optional<std::string_view> FindXmlTagText(const char* data, size_t length, std::string_view tag) {
  if (!data || tag.empty()) return std::nullopt;
  const void* nul = memchr(data, 0, length);
  std::string_view text(data, nul ? size_t(static_cast<const char*>(nul) - data) : length);
  size_t at = text.find(tag);
  if (at == std::string_view::npos) return std::nullopt;
  size_t open = text.find('>', at + tag.size());
  if (open == std::string_view::npos) return std::nullopt;
  size_t close = text.find('<', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return text.substr(open + 1, close - open - 1);
}

void AppendTextLine(std::string_view text, std::string* out) {
  if (!out || text == "\r\n") return;
  out->append(text);
  out->append("\r\n");
}

uint64_t GetCoreXmlModified(const char* data, size_t length) {
  if (auto text = FindXmlTagText(data, length, "<dcterms:modified")) {
    if (uint64_t time = DateTextToFileTime(*text)) return time;
  }
  return CurrentFileTime();
}

std::optional<std::string_view> GetCoreXmlLastModifiedBy(const char* data, size_t length) {
  return FindXmlTagText(data, length, "<cp:lastModifiedBy");
}

int ClassifyTiffKind(const uint8_t* header, size_t length) {
  if (header && length >= 10 && header[8] == 'C' && header[9] == 'R') return kTypeCr2;
  return kTypeTif;
}
