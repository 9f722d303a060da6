// Tells HTML from XML text at the start of a sector.
#pragma once
#include <cstddef>
#include <cstdint>

class HdrAscii {
 public:
  // 242 (HTML), 29 (xml) or 255 (neither). Leading white space is skipped;
  // a tag is looked at only with 16 bytes left from its "<". An XML
  // declaration makes the text xml unless the next tag starts HTML.
  static uint16_t SigFind(const uint8_t* text, size_t length);
};

inline constexpr uint16_t kSigHtml = 242;
