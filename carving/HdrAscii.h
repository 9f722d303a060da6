// The text-document signatures (HTML and XML) the segment profile asks
// about. A stand-in until the carving parsers exist: no text type is
// recognised.
#pragma once
#include <cstddef>
#include <cstdint>

class HdrAscii {
 public:
  // 242 (HTML), 29 (xml) or 255 (neither).
  static uint16_t SigFind(const uint8_t* text, size_t length);
};
