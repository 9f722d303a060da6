// ZIP archives and the Office Open XML documents inside them: the carving
// walk from the first local header to the end of the central directory
// (member data is skipped, or searched when its size follows it), which also
// tells docx, xlsx and pptx from plain archives by their member names; and
// the diagnostic record scan that traces every ZIP record on a disk and
// inflates the document properties and text it meets.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "carving/HdrNode.h"

class HdrZIP : public HdrNode {
 public:
  HdrZIP();
  ~HdrZIP() override;
  int Reset() override;
  int Parse(const uint8_t* buffer, size_t length) override;

  // Member data whose end must be searched for is given this much room
  // (from the member's data start) to show a following record: the most a
  // data descriptor's 32-bit size can state. Writers stream every member
  // so (LibreOffice, jar), photos and videos inside them included.
  static constexpr uint64_t kScannerLimit = uint64_t(1) << 32;

  // ---- diagnostic record scan ----
  // Makes the work buffer; mode 1 searches records. `wanted` is the byte
  // count of the first search step.
  void SetScanMode(uint8_t mode, uint32_t wanted);
  // Traces every ZIP record in the buffer (records may run across
  // buffers), inflates docProps/core.xml and word/document.xml members.
  // Buffers are taken to follow one another on the disk from byte 0 unless
  // SetScanPosition says otherwise. Always 0.
  int ZIPHdrScan(const uint8_t* buffer, size_t length);
  // The disk byte offset of the next buffer handed to ZIPHdrScan (a gap
  // drops a record that was being collected).
  void SetScanPosition(uint64_t byteOffset);
  // The sector size for the positions of the traced records (512 unless
  // set).
  void SetScanSectorSize(uint32_t bytes);

 private:
  // ---- carving walk ----
  // What a local header announced, until its data is passed.
  struct Member {
    uint16_t flags = 0, method = 0;
    uint32_t crc = 0;
    uint64_t compressed = 0, uncompressed = 0;
    uint32_t nameLength = 0, extraLength = 0;
    bool zip64 = false;  // a Zip64 extra field: descriptors have 8-byte sizes
  };
  // The sizes a local header announced for a member whose descriptor
  // follows its data, checked against that descriptor.
  struct SavedSizes {
    bool present = false;
    uint32_t crc = 0;
    uint64_t compressed = 0, uncompressed = 0;
  };
  // The search for the record after a member whose size is not known
  // before its data, from the member's data start.
  struct Scanner {
    uint64_t dataStart = 0;  // file offset of the member's data
  };

  int Walk(const uint8_t* b, size_t length);
  int Fail(uint64_t position);
  // Copies record bytes from b[*c] until `want` are held; false at the
  // buffer's end.
  bool Collect(const uint8_t* b, size_t length, uint64_t* c, size_t want);
  int OnSignature(const uint8_t* b, size_t length, uint64_t* c, uint64_t sigAt);
  int OnLocalHeaderDone(uint64_t dataStart, uint64_t* c);
  // The searched member whose data ends before a record at `sigAt`: its
  // descriptor (with or without signature) must give that length.
  bool DescriptorFits(const uint8_t* b, size_t length, uint64_t sigAt) const;
  bool ByteAt(const uint8_t* b, size_t length, uint64_t at, uint8_t* out) const;
  void KeepTail(const uint8_t* b, size_t length);

  uint8_t record_[48] = {};
  size_t want_ = 0, have_ = 0;
  uint64_t recordAt_ = 0;  // file offset of the record being collected
  uint32_t nameLeft_ = 0;  // name bytes still to pass
  uint32_t locals_ = 0, centrals_ = 0, ends_ = 0, descriptors_ = 0;
  // The first bytes of the current member's name (enough for the prefixes
  // that tell the document kinds) and its whole extra field.
  uint8_t namePrefix_[16] = {};
  uint32_t nameHave_ = 0;
  std::vector<uint8_t> extra_;
  Member member_;
  SavedSizes saved_;
  std::unique_ptr<Scanner> scanner_;
  uint64_t scannerLimit_ = kScannerLimit;
  // The last bytes handed over before the current buffer (for records and
  // descriptors that straddle two buffers while searching).
  uint8_t tail_[32] = {};
  uint32_t tailLength_ = 0;

  // ---- diagnostic scan ----
  struct ScanState;
  std::unique_ptr<ScanState> scan_;
  void ScanBytes(const uint8_t* p, size_t n, uint64_t position, int depth);
  void ScanRecordDone(int depth);
  void ScanMemberDone();
  void ScanDocumentText();
};

// The diagnostic scan's test of a local (central: false) or central header:
// a stored member's sizes are equal; a deflated member is not much larger
// than its file (sizes escaped to a Zip64 field are not compared); other
// methods fail; the name is 1 to 512 bytes long.
bool IsPlausibleZipHeader(const uint8_t* header, bool central);
// Whether bytes look like compressed data: the sum of the squares of their
// byte histogram is at most 7/3 of the smallest possible for their length.
bool LooksCompressed(const uint8_t* data, size_t length);
// No zero byte, and at least three quarters printable (kPrintableByte).
bool IsMostlyText(const uint8_t* data, size_t length);
