#include "engine/SkipMap.h"

#include <cstring>

#include "foundation/UiServices.h"
#include "platform/Text.h"

namespace {
constexpr uint64_t kGranuleBytes = 1 << 20;
constexpr uint32_t kGranulesPerPage = SkipMap::kPageBytes * 8;
}  // namespace

SkipMap::SkipMap(uint32_t sectorBytes) {
  granule_ = kGranuleBytes / (sectorBytes ? sectorBytes : 512);
  if (!granule_) granule_ = 1;
  Reset();
}

SkipMap::~SkipMap() { Close(); }

void SkipMap::Reset() {
  bit_ = byte_ = 0;
  std::memset(line_, 0, sizeof line_);
  std::memset(page_, 0, sizeof page_);
  pageAt_ = -1;
  current_ = -1;
  flagged_ = false;
}

bool SkipMap::OpenFile(const char* how) {
  if (file_) std::fclose(file_);
  file_ = std::fopen(path_.c_str(), how);
  return file_ != nullptr;
}

bool SkipMap::OpenBinary(const std::string& path, bool keepOpen) {
  Close();
  path_ = path;
  keepOpen_ = keepOpen;
  binary_ = true;
  return SetBinaryMode(true);
}

bool SkipMap::OpenText(const std::string& path, bool keepOpen) {
  Close();
  path_ = path;
  keepOpen_ = keepOpen;
  binary_ = false;
  return SetTextMode(true);
}

bool SkipMap::CreateBinary(const std::string& path) {
  Close();
  path_ = path;
  binary_ = true;
  return SetBinaryMode(false);
}

bool SkipMap::CreateText(const std::string& path, bool keepOpen) {
  Close();
  path_ = path;
  keepOpen_ = keepOpen;
  binary_ = false;
  return SetTextMode(false);
}

bool SkipMap::SetBinaryMode(bool verify) {
  binary_ = true;
  if (!verify && file_ &&
      ShowMessage(kMbYesNo | kMbIconQuestion, u"Overwrite %s?", FromUtf8(path_)) != kIdYes)
    return false;
  Reset();
  if (verify) {
    if (!OpenFile("rb")) {
      ShowError(u"Cannot open skipable file");
      mode_ = kClosed;
      return false;
    }
    std::fseek(file_, 0, SEEK_END);
    const long size = std::ftell(file_);
    fileSize_ = size > 0 ? uint64_t(size) : 0;
    mode_ = kVerify;
    LoadPage(0);
    return true;
  }
  if (!OpenFile("wb")) {
    ShowError(u"Cannot open skipable file");
    mode_ = kClosed;
    return false;
  }
  mode_ = kCreate;
  pageAt_ = 0;
  return true;
}

bool SkipMap::SetTextMode(bool verify) {
  binary_ = false;
  if (!verify && file_ &&
      ShowMessage(kMbYesNo | kMbIconQuestion, u"Overwrite %s?", FromUtf8(path_)) != kIdYes)
    return false;
  Reset();
  if (verify) {
    if (!OpenFile("r")) {
      ShowError(u"Cannot open skipable file");
      mode_ = kClosed;
      return false;
    }
    mode_ = kVerify;
    if (!ReadLine()) {
      // An empty map: everything from here on is written.
      std::fclose(file_);
      file_ = nullptr;
      mode_ = kCreate;
    }
    return true;
  }
  if (!OpenFile("w")) {
    ShowError(u"Cannot open skipable file");
    mode_ = kClosed;
    return false;
  }
  mode_ = kCreate;
  return true;
}

void SkipMap::Close() {
  if (mode_ == kCreate) {
    if (binary_) WritePage();
    else if (bit_ || byte_) WriteLine();
  }
  if (file_) std::fclose(file_);
  file_ = nullptr;
  mode_ = kClosed;
  path_.clear();
}

// ---- binary ----

bool SkipMap::LoadPage(uint64_t page) {
  const uint64_t at = page * kPageBytes;
  if (pageAt_ == int64_t(at)) return true;
  std::memset(page_, 0, sizeof page_);
  pageAt_ = int64_t(at);
  // A page past the file's end reads as zeros: nothing there is skipped.
  if (!file_ || at >= fileSize_) return false;
  if (std::fseek(file_, long(at), SEEK_SET) != 0) return false;
  return std::fread(page_, 1, kPageBytes, file_) > 0;
}

bool SkipMap::WritePage() {
  if (!file_ || pageAt_ < 0) return false;
  if (std::fseek(file_, long(pageAt_), SEEK_SET) != 0) return false;
  return std::fwrite(page_, 1, kPageBytes, file_) == kPageBytes && std::fflush(file_) == 0;
}

void SkipMap::Mark(int64_t sector, bool interesting) {
  if (mode_ != kCreate || !binary_ || sector < 0) return;
  const int64_t g = sector / int64_t(granule_);
  if (current_ < 0) {
    current_ = g;
    pageAt_ = int64_t(uint64_t(g) / kGranulesPerPage * kPageBytes);
  }
  if (g > current_) {
    if (!flagged_) {
      const uint64_t byte = uint64_t(current_) / 8;
      if (int64_t(byte / kPageBytes * kPageBytes) == pageAt_) page_[byte % kPageBytes] |= uint8_t(1u << (current_ % 8));
    }
    // Every full page before the sector's is written out.
    const int64_t page = int64_t(uint64_t(g) / kGranulesPerPage * kPageBytes);
    if (page != pageAt_) {
      WritePage();
      std::memset(page_, 0, sizeof page_);
      pageAt_ = page;
    }
    current_ = g;
    flagged_ = false;
  }
  if (g == current_ && interesting) flagged_ = true;
}

bool SkipMap::GranuleBit(uint64_t granule) {
  LoadPage(granule / kGranulesPerPage);
  const uint64_t byte = granule / 8;
  return (page_[byte % kPageBytes] >> (granule % 8)) & 1;
}

bool SkipMap::Test(int64_t sector) {
  if (mode_ != kVerify || !binary_ || sector < 0) return false;
  const uint64_t s = uint64_t(sector);
  const uint64_t first = s / granule_, second = (s + granule_ - 1) / granule_;
  if (!GranuleBit(first)) return false;
  return first == second || GranuleBit(second);
}

// ---- text ----

bool SkipMap::ReadLine() {
  char text[130];
  std::memset(line_, 0, sizeof line_);
  if (!file_ || !std::fgets(text, sizeof text, file_)) return false;
  for (uint32_t i = 0; i < kLineBytes; i++) {
    unsigned v = 0;
    if (std::sscanf(text + 2 * i, "%2x", &v) != 1) break;
    line_[i] = uint8_t(v);
  }
  return true;
}

void SkipMap::WriteLine() {
  if (!file_ && !OpenFile("a")) return;
  char text[2 * kLineBytes + 3];
  for (uint32_t i = 0; i < kLineBytes; i++) std::snprintf(text + 2 * i, 3, "%02x", line_[i]);
  text[2 * kLineBytes] = '\r';
  text[2 * kLineBytes + 1] = '\n';
  text[2 * kLineBytes + 2] = 0;
  std::fputs(text, file_);
  std::fflush(file_);
  if (!keepOpen_) {
    std::fclose(file_);
    file_ = nullptr;
  }
  std::memset(line_, 0, sizeof line_);
}

void SkipMap::AddBit(bool interesting) {
  if (mode_ == kClosed || binary_) return;
  if (mode_ == kCreate && !interesting) line_[byte_] |= uint8_t(1u << bit_);
  if (++bit_ < 8) return;
  bit_ = 0;
  if (++byte_ < kLineBytes) return;
  byte_ = 0;
  if (mode_ == kCreate) {
    WriteLine();
  } else if (!ReadLine()) {
    // The map ends here: the rest of the items are appended to it.
    std::memset(line_, 0, sizeof line_);
    if (file_) std::fclose(file_);
    file_ = nullptr;
    mode_ = kCreate;
  }
}

bool SkipMap::TestBit() const {
  if (mode_ != kVerify || binary_) return false;
  return (line_[byte_] >> bit_) & 1;
}
