// A 16 KiB metadata page: its header, page references, and the entries of
// an index whose header lies in the page. Every offset read from the page
// is checked against it: an entry, key or value that does not lie inside
// the page is not taken.
#pragma once
#include <cstddef>
#include <cstdint>

struct RefsPageHeader {
  uint64_t number = 0;
  uint64_t sequence = 0;
  uint64_t table = 0;
  uint32_t indexOffset = 0;  // from byte 0x30
  uint32_t kind = 0;
};
RefsPageHeader ReadRefsPageHeader(const uint8_t* page);

// A page reference at byte `at` of the page: its page number, when the
// markers are there and it lies inside the page.
bool ReadRefsPageRef(const uint8_t* page, size_t at, uint64_t* number);

struct RefsEntry {
  size_t at = 0;  // the entry's first byte in the page
  uint32_t length = 0;
  bool valid = false;    // flag 0x10
  bool deleted = false;  // flag 0x04 of the second flag byte
  uint16_t keyLength = 0;
  uint16_t valueOffset = 0;
  uint16_t valueLength = 0;
  uint32_t keyType = 0;
  const uint8_t* name = nullptr;  // the key's name (UTF-16), null without one
  size_t nameBytes = 0;
  const uint8_t* value = nullptr;  // null when the value does not lie inside the entry
};

// The entries of the index whose header lies at `header` in the page, in
// their order: the header's count of entries that are not deleted (and the
// deleted entries that follow the last of them), at most what fits the
// page. An entry that would pass the page's end ends them.
class RefsEntries {
 public:
  RefsEntries(const uint8_t* page, size_t header);
  // False when no entry is left.
  bool Next(RefsEntry* entry);

 private:
  const uint8_t* page_;
  size_t at_ = 0;
  uint32_t left_ = 0;  // entries not deleted still to come
  uint32_t steps_ = 0;
  bool done_ = true;
};
