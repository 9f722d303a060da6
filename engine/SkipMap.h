// Skip maps: what one long run found to hold nothing of interest, so that a
// later run over the same disk can leave it out. A binary map holds one bit
// per 1 MiB granule of the disk (granule g in byte g / 8, bit g % 8, least
// significant first; read and written in 512-byte pages); a text map holds
// one bit per item in processing order, as lines of 64 lower-case hex
// digits (32 bytes) ended by CR LF. A set bit means "skippable". A map is
// either written by this run (create) or read from an earlier one (verify).
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

class SkipMap {
 public:
  static constexpr int kVerify = 1, kCreate = 0, kClosed = -1;
  static constexpr uint32_t kPageBytes = 512;
  static constexpr uint32_t kLineBytes = 32;

  // Granules of 1 MiB in sectors of `sectorBytes` (0: 512).
  explicit SkipMap(uint32_t sectorBytes = 512);
  ~SkipMap();
  SkipMap(const SkipMap&) = delete;
  SkipMap& operator=(const SkipMap&) = delete;

  void Reset();
  // Open a map for verifying; false (with "Cannot open skipable file"
  // shown) when it cannot be read.
  bool OpenBinary(const std::string& path, bool keepOpen);
  bool OpenText(const std::string& path, bool keepOpen);
  // A new map written by this run (created anew).
  bool CreateBinary(const std::string& path);
  bool CreateText(const std::string& path, bool keepOpen);
  // Switch mode. To create over an open map the user is asked "Overwrite
  // %s?"; No leaves everything as it was and gives false.
  bool SetBinaryMode(bool verify);
  bool SetTextMode(bool verify);
  // Writes what is pending (a partial line, the current page) and closes.
  void Close();

  // Binary, create mode: the scan reached `sector`; `interesting` marks
  // its granule as holding something.
  void Mark(int64_t sector, bool interesting);
  // Binary, verify mode: whether the sector may be skipped (its granule
  // and, where they differ, the next are set).
  bool Test(int64_t sector);
  // Text: one item's bit (create: a set bit for an item of no interest;
  // verify: the next line is read as needed; at the map's end it goes on
  // in create mode, appending).
  void AddBit(bool interesting);
  bool TestBit() const;

  int Mode() const { return mode_; }
  bool IsBinary() const { return binary_; }
  uint64_t GranuleSectors() const { return granule_; }

 private:
  bool OpenFile(const char* how);
  bool LoadPage(uint64_t page);
  bool WritePage();
  bool ReadLine();
  void WriteLine();
  bool GranuleBit(uint64_t granule);

  std::string path_;
  int mode_ = kClosed;
  bool binary_ = true;
  bool keepOpen_ = false;
  FILE* file_ = nullptr;
  uint64_t fileSize_ = 0;
  // Text.
  uint32_t bit_ = 0, byte_ = 0;
  uint8_t line_[kLineBytes] = {};
  // Binary.
  uint8_t page_[kPageBytes] = {};
  int64_t pageAt_ = -1;  // byte offset of the page held
  uint64_t granule_ = 2048;
  int64_t current_ = -1;  // the current granule (create)
  bool flagged_ = false;
};
