// Document parsers: PDF (ends at an end-of-file marker that no incremental
// update follows), RTF (balanced braces) and DWG (measured from its section
// locators). XML is recognised by the probe and never carved.
#pragma once
#include <cstddef>
#include <cstdint>

#include "carving/HdrNode.h"

class HdrPDF : public HdrNode {
 public:
  int Reset() override;
  int Parse(const uint8_t* buffer, size_t length) override;

 private:
  // Sub-states: 1 search "%", 2 second "%", 3 "E", 4 "O", 5 "F", 6 end of
  // line, 7 line feed after a carriage return, 8 the byte after the line
  // end; 9 white space after a candidate end, 10 the text after it (an
  // update starts "xref" or "N G obj").
  uint64_t candidate_ = 0;  // file offset at which the file would end
  uint8_t look_[24] = {};
  uint32_t lookHave_ = 0;
};

// Whether `token` occurs in the first `length` bytes of `buffer`.
bool FindToken(const uint8_t* buffer, size_t length, const char* token);

class HdrRTF : public HdrNode {
 public:
  int Reset() override;
  int Parse(const uint8_t* buffer, size_t length) override;

 private:
  // Sub-states: 1 inside the document, 2 after the closing brace, 3 after a
  // carriage return there; 11 after a backslash, 12 a control word that
  // may be "\bin", 13 its byte count.
  int32_t depth_ = 0;
  uint32_t binLetters_ = 0;
  uint64_t binCount_ = 0;
  bool binNegative_ = false;
  bool binDigits_ = false;
};

class HdrDWG : public HdrNode {
 public:
  // Complete or rejected in one call, on the header sector.
  int Parse(const uint8_t* buffer, size_t length) override;
  static constexpr uint32_t kMaxLocators = 50;
};

class HdrXML : public HdrNode {};
