#include "filesystems/refs/RefsPage.h"

#include "filesystems/refs/Definitions.h"
#include "foundation/ByteOrder.h"

using namespace refs;

RefsPageHeader ReadRefsPageHeader(const uint8_t* p) {
  RefsPageHeader h;
  h.number = Le64(p + kPageNumber);
  h.sequence = Le64(p + kPageSequence);
  h.table = Le64(p + kPageTable);
  h.indexOffset = Le32(p + kPageIndexOffset);
  h.kind = Le32(p + kPageKind);
  return h;
}

bool ReadRefsPageRef(const uint8_t* p, size_t at, uint64_t* number) {
  if (at > kPageBytes - kPageRefBytes) return false;
  if (Le32(p + at + 8) != kPageRefMarker1 || Le32(p + at + 12) != kPageRefMarker2) return false;
  *number = Le64(p + at);
  return true;
}

RefsEntries::RefsEntries(const uint8_t* page, size_t header) : page_(page) {
  if (header > kPageBytes - kIndexHeaderBytes) return;
  const uint64_t first = uint64_t(header) + Le32(page + header + kIndexFirstEntry);
  if (first >= kPageBytes) return;
  at_ = size_t(first);
  left_ = Le32(page + header + kIndexCount);
  done_ = false;
}

bool RefsEntries::Next(RefsEntry* e) {
  // Each entry takes at least kEntryMinBytes: no more steps than fit the page.
  if (done_ || steps_ >= kPageBytes / kEntryMinBytes || at_ > kPageBytes - kEntryMinBytes) return false;
  const uint8_t* s = page_ + at_;
  const uint32_t length = Le32(s + kEntryLength);
  if (length < kEntryMinBytes || length > kPageBytes - at_) {
    done_ = true;
    return false;
  }
  // The count leaves deleted entries out: once it is used up, what follows
  // is taken only while it is a deleted entry.
  if (left_ == 0 && !(s[kEntryFlags2] & kEntryDeleted)) {
    done_ = true;
    return false;
  }
  ++steps_;
  RefsEntry r;
  r.at = at_;
  r.length = length;
  r.valid = (s[kEntryFlags] & kEntryValid) != 0;
  r.deleted = (s[kEntryFlags2] & kEntryDeleted) != 0;
  r.keyLength = Le16(s + kEntryKeyLength);
  r.valueOffset = Le16(s + kEntryValueOffset);
  r.valueLength = Le16(s + kEntryValueLength);
  r.keyType = Le32(s + kEntryKey);
  if (r.keyLength >= 4 && kEntryKey + size_t(r.keyLength) <= length) {
    r.name = s + kEntryName;
    r.nameBytes = size_t(r.keyLength - 4) & ~size_t(1);
  }
  if (size_t(r.valueOffset) + r.valueLength <= length) r.value = s + r.valueOffset;
  if (!r.deleted && left_) --left_;
  at_ += length;
  *e = r;
  return true;
}
