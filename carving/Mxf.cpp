#include "carving/Mxf.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "platform/Memory.h"

namespace {

const uint8_t kPrefix[4] = {0x06, 0x0E, 0x2B, 0x34};

bool HasPrefix(const uint8_t* k) { return std::memcmp(k, kPrefix, 4) == 0; }

bool AddChecked(uint64_t a, uint64_t b, uint64_t* sum) {
  if (a > UINT64_MAX - b) return false;
  *sum = a + b;
  return true;
}

using Key = std::array<uint8_t, 16>;

// The key as the name table compares it.
Key Normalised(const uint8_t* k) {
  Key n;
  std::memcpy(n.data(), k, 16);
  n[7] = 0;
  if (n[4] == 0x01 && n[5] == 0x02 && n[8] == 0x0D && n[9] == 0x01 && n[10] == 0x03 && n[11] == 0x01) {
    n[13] = 0;
    n[15] = 0;
  }
  return n;
}

struct NameRow {
  const char* hex;
  const char* name;
};

const NameRow kNameRows[] = {
#define DV_MXF_KEY(hex, name) {hex, name},
#include "carving/MxfKeyNames.inc"
#undef DV_MXF_KEY
};

struct NameIndex {
  std::vector<std::pair<Key, const char*>> rows;
};

const NameIndex& Names() {
  static const NameIndex index = [] {
    NameIndex n;
    for (const NameRow& r : kNameRows) {
      uint8_t k[16] = {};
      for (int i = 0; i < 16; ++i) k[i] = uint8_t(HexDigitValue(r.hex[2 * i]) << 4 | HexDigitValue(r.hex[2 * i + 1]));
      n.rows.push_back({Normalised(k), r.name});
    }
    std::stable_sort(n.rows.begin(), n.rows.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return n;
  }();
  return index;
}

}  // namespace

bool IsMXFKey(const uint8_t* k) { return HasPrefix(k) && k[9] == 0x01 && k[10] == 0x02 && k[15] == 0x00; }

bool IsMXFFooterKey(const uint8_t* k) {
  return HasPrefix(k) && k[4] == 0x02 && k[6] == 0x01 && k[12] == 0x01 && k[13] == 0x04 &&
         (k[14] == 0x02 || k[14] == 0x04);
}

bool IsMXFIndexKey(const uint8_t* k) { return HasPrefix(k) && k[12] == 0x01 && k[13] == 0x10 && k[14] == 0x01; }

bool IsMXFRipKey(const uint8_t* k) {
  static const uint8_t kRip[15] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                                   0x0D, 0x01, 0x02, 0x01, 0x01, 0x11, 0x01};
  return std::memcmp(k, kRip, 15) == 0;
}

bool IsMXFPartitionKey(const uint8_t* k) {
  static const uint8_t kPack[13] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01};
  return std::memcmp(k, kPack, 13) == 0 && k[13] >= 0x02 && k[13] <= 0x04 && k[14] >= 0x01 && k[14] <= 0x04;
}

const char* MXFPartitionKind(const uint8_t* k) {
  if (!IsMXFPartitionKey(k) || k[14] != 0x04) return nullptr;
  return k[13] == 0x02 ? "header" : k[13] == 0x03 ? "body" : "footer";
}

bool ReadBER(const uint8_t* p, size_t avail, uint64_t* length, uint32_t* berBytes) {
  if (avail < 1) return false;
  if (p[0] < 0x80) {
    *length = p[0];
    *berBytes = 1;
    return true;
  }
  const uint32_t n = p[0] & 0x7F;
  if (n == 0 || n > 8 || avail < 1 + n) return false;
  *length = GetBigEndian64(p + 1, int(n));
  *berBytes = 1 + n;
  return true;
}

const char* MXFKeyName(const uint8_t* key) {
  const Key k = Normalised(key);
  const auto& rows = Names().rows;
  const auto it = std::lower_bound(rows.begin(), rows.end(), k, [](const auto& r, const Key& x) { return r.first < x; });
  return it != rows.end() && it->first == k ? it->second : "Unknown";
}

size_t MXFKeyNameCount() { return Names().rows.size(); }

// ---------------------------------------------------------------- HdrMXF

HdrMXF::~HdrMXF() { FreeWork(); }

void HdrMXF::FreeWork() {
  AlignedFree(work_);
  work_ = nullptr;
  capacity_ = 0;
}

int HdrMXF::Reset() {
  HdrNode::Reset();
  FreeWork();
  window_ = nullptr;
  windowStart_ = windowValid_ = fileRoom_ = 0;
  return 0;
}

const uint8_t* HdrMXF::MXFReadAt(uint64_t at, size_t want, size_t* avail) {
  if (at >= fileRoom_) return nullptr;
  const bool inWindow = window_ && at >= windowStart_ && at < windowStart_ + windowValid_;
  if (inWindow && (at - windowStart_ + want <= windowValid_ || windowStart_ + windowValid_ >= fileRoom_)) {
    *avail = size_t(windowStart_ + windowValid_ - at);
    return window_ + (at - windowStart_);
  }
  if (!reader) return nullptr;
  const uint32_t ss = sectorSize ? sectorSize : 512;
  const uint64_t rel = at / ss;
  const int64_t driveSectors = reader->SectorCount();
  const int64_t sector = headerSector + int64_t(rel);
  if (sector >= driveSectors) return nullptr;
  const uint64_t count = std::min<uint64_t>((at % ss + kReadBytes + ss - 1) / ss, uint64_t(driveSectors - sector));
  const size_t bytes = size_t(count * ss);
  if (bytes > capacity_) {
    const size_t capacity = (bytes + kPageAlign - 1) & ~size_t(kPageAlign - 1);
    void* grown = AlignedAlloc(capacity);
    if (!grown) return nullptr;
    FreeWork();
    work_ = static_cast<uint8_t*>(grown);
    capacity_ = capacity;
  }
  window_ = nullptr;
  if (!reader->ReadSectors(sector, uint32_t(count), work_)) return nullptr;
  window_ = work_;
  windowStart_ = rel * ss;
  windowValid_ = std::min<uint64_t>(bytes, fileRoom_ - windowStart_);
  *avail = size_t(windowStart_ + windowValid_ - at);
  return window_ + (at - windowStart_);
}

int HdrMXF::Parse(const uint8_t* b, size_t length) {
  if (!b || headerSector < 0) return Reject();
  state = kHdrActive;
  const uint32_t ss = sectorSize ? sectorSize : 512;
  fileRoom_ = length;
  if (reader) {
    const int64_t sectors = reader->SectorCount();
    fileRoom_ = headerSector < sectors ? uint64_t(sectors - headerSector) * ss : 0;
  }
  window_ = b;
  windowStart_ = 0;
  windowValid_ = std::min<uint64_t>(length, fileRoom_);

  // The header partition pack: a long-form length, the footer's offset.
  size_t avail = 0;
  const uint8_t* p = MXFReadAt(0, 80, &avail);
  uint64_t packLength = 0;
  uint32_t ber = 0;
  if (!p || avail < 17 || !(p[16] & 0x80) || !ReadBER(p + 16, avail - 16, &packLength, &ber) ||
      avail < 16 + ber + 32)
    return Reject();
  const uint64_t footer = GetBigEndian64(p + 16 + ber + 24, 8);

  // The footer partition pack, and how many index bytes follow it.
  p = MXFReadAt(footer, 80, &avail);
  if (!p || avail < 17 || !IsMXFFooterKey(p) || !(p[16] & 0x80) ||
      !ReadBER(p + 16, avail - 16, &packLength, &ber) || avail < 16 + ber + 48)
    return Reject();
  const uint64_t indexBytes = GetBigEndian64(p + 16 + ber + 40, 8);
  uint64_t pos = 0;
  if (!AddChecked(footer, 16 + ber, &pos) || !AddChecked(pos, packLength, &pos)) return Reject();
  state = indexBytes ? 2 : 3;

  // Then the index segments (skipped as the footer counts them) and any
  // further keys up to the first bytes that hold none.
  for (;;) {
    if (pos > fileRoom_) return Reject();
    p = pos < fileRoom_ ? MXFReadAt(pos, 25, &avail) : nullptr;
    if (pos < fileRoom_ && !p) return Reject();
    if (!p || avail < 16) {
      if (state == 2) return Reject();
      break;
    }
    if (state == 2 && IsMXFIndexKey(p)) {
      if (!AddChecked(pos, indexBytes, &pos)) return Reject();
      state = 3;
      continue;
    }
    uint64_t klv = 0;
    if (IsMXFKey(p) && ReadBER(p + 16, avail - 16, &klv, &ber)) {
      if (!AddChecked(pos, 16 + ber, &pos) || !AddChecked(pos, klv, &pos)) return Reject();
      continue;
    }
    if (state == 2) return Reject();
    break;
  }
  if (traceMxf) TracePrintfA("MXF @ %I64d, Size %I64d\n", headerSector, int64_t(pos));
  window_ = nullptr;
  return Complete(pos);
}

// ---------------------------------------------------------------- index segments

namespace {

struct IndexSegment {
  int32_t rateNum = 0, rateDen = 0;
  int64_t start = 0, duration = 0;
  uint32_t editUnitBytes = 0, indexSid = 0, bodySid = 0;
  uint8_t slices = 0;
  const uint8_t* deltas = nullptr;
  uint32_t deltaCount = 0;
  const uint8_t* entries = nullptr;
  uint32_t entryCount = 0, entryBytes = 0;
};

// Trace lines made with to_chars: a key is met every few KiB of a video,
// an index segment gives a line per edit unit, and the general formatter
// costs a few microseconds a field.
void AppendNumber(std::string& line, int64_t v, int base = 10, int width = 0) {
  char digits[24];
  const auto r = std::to_chars(digits, digits + sizeof digits, v, base);
  for (int n = int(r.ptr - digits); n < width; ++n) line += '0';
  line.append(digits, r.ptr);
}

// "%s, EditUnit, %I64d, stream, %d, %I64d, TempOffset=%hd, Flags=%d".
void EditUnitLine(const char* rate, int64_t unit, int stream, int64_t offset, int16_t temporal, int flags) {
  std::string line(rate);
  line += ", EditUnit, ";
  AppendNumber(line, unit);
  line += ", stream, ";
  AppendNumber(line, stream);
  line += ", ";
  AppendNumber(line, offset);
  line += ", TempOffset=";
  AppendNumber(line, temporal);
  line += ", Flags=";
  AppendNumber(line, flags);
  line += '\n';
  TraceText(line);
}

void Check(const char* n) { TracePrintfA("Check %s (ObjectPrint).\n", n); }

}  // namespace

void ObjectPrint(const uint8_t* v, size_t length, uint64_t lineLimit) {
  IndexSegment s;
  size_t at = 0;
  while (at < length) {
    if (length - at < 4) return Check("1");
    const uint16_t tag = GetBigEndian16(v + at);
    const uint16_t n = GetBigEndian16(v + at + 2);
    at += 4;
    if (n > length - at) return Check("2");
    const uint8_t* d = v + at;
    at += n;
    switch (tag) {
      case 0x3C0A: {
        if (n != 16) return Check("3");
        std::string hex;
        for (int k = 0; k < 16; ++k) hex += FormatA("%02x", d[k]);
        TracePrintfA("InstanceUID %s\n", hex);
        break;
      }
      case 0x3F0B:
        if (n != 8) return Check("4");
        s.rateNum = int32_t(GetBigEndian(d, 4));
        s.rateDen = int32_t(GetBigEndian(d + 4, 4));
        break;
      case 0x3F0C:
      case 0x3F0D:
        if (n != 8) return Check("5");
        (tag == 0x3F0C ? s.start : s.duration) = int64_t(GetBigEndian64(d, 8));
        break;
      case 0x3F05:
      case 0x3F06:
      case 0x3F07:
        if (n != 4) return Check("6");
        (tag == 0x3F05 ? s.editUnitBytes : tag == 0x3F06 ? s.indexSid : s.bodySid) = GetBigEndian(d, 4);
        break;
      case 0x3F08:
        if (n != 1) return Check("7");
        s.slices = d[0];
        break;
      case 0x3F09:
        if (n < 8 || GetBigEndian(d + 4, 4) != 6 || GetBigEndian(d, 4) > (n - 8u) / 6) return Check("8");
        s.deltaCount = GetBigEndian(d, 4);
        s.deltas = d + 8;
        break;
      case 0x3F0A: {
        if (n < 8) return Check("9");
        const uint32_t count = GetBigEndian(d, 4), size = GetBigEndian(d + 4, 4);
        if (count && (size == 0 || count > (n - 8u) / size)) return Check("9");
        s.entryCount = count;
        s.entryBytes = size;
        s.entries = d + 8;
        break;
      }
      default:
        break;
    }
  }
  // An index entry: temporal offset, key-frame offset, flags, stream
  // offset, then one 32-bit offset per slice after the first.
  if (s.entryCount && s.entryBytes < 11 + 4u * s.slices) return Check("9a");
  char rate[32];
  std::snprintf(rate, sizeof rate, "%d/%d", s.rateNum, s.rateDen);
  TracePrintfA("%s, Index, %I64d, %I64d\n", rate, s.start, s.duration);
  uint64_t lines = 0;
  for (uint32_t i = 0; i < s.entryCount && lines < lineLimit; ++i) {
    const uint8_t* e = s.entries + uint64_t(i) * s.entryBytes;
    const int16_t temporal = int8_t(e[0]);
    const uint8_t flags = e[2];
    const uint64_t streamOffset = GetBigEndian64(e + 3, 8);
    const int64_t unit = s.start + int64_t(i);
    if (s.deltaCount == 0) {
      EditUnitLine(rate, unit, 0, int64_t(streamOffset), temporal, int(flags));
      ++lines;
      continue;
    }
    for (uint32_t j = 0; j < s.deltaCount && lines < lineLimit; ++j, ++lines) {
      const uint8_t* dl = s.deltas + uint64_t(j) * 6;
      const uint8_t slice = dl[1];
      uint64_t offset = streamOffset + GetBigEndian(dl + 2, 4);
      if (slice > 0 && slice <= s.slices) offset += GetBigEndian(e + 11 + 4 * (slice - 1), 4);
      EditUnitLine(rate, unit, int(j), int64_t(offset), temporal, int(flags));
    }
  }
}

// ---------------------------------------------------------------- MXFHdrScan

void MXFHdrScan::Line(const uint8_t* k, size_t avail, uint64_t at) {
  uint64_t length = 0;
  uint32_t ber = 0;
  const bool haveLength = ReadBER(k + 16, avail - 16, &length, &ber);
  // "%I64d,%03x,%I64d", sixteen ",%d" and the key's name.
  std::string line;
  line.reserve(160);
  AppendNumber(line, int64_t(at / sectorSize_));
  line += ',';
  AppendNumber(line, int64_t(at % sectorSize_), 16, 3);
  line += ',';
  AppendNumber(line, haveLength ? int64_t(length) : int64_t(-1));
  for (int i = 0; i < 16; ++i) {
    line += ',';
    AppendNumber(line, k[i]);
  }
  line += ",";
  line += MXFKeyName(k);
  if (const char* kind = MXFPartitionKind(k)) {
    line += ",";
    line += kind;
  } else if (IsMXFRipKey(k)) {
    line += ",RIP";
  } else if (IsMXFIndexKey(k)) {
    line += ",index";
  }
  if (IsMXFPartitionKey(k) && haveLength && avail >= 16 + ber + 32) {
    const uint8_t* v = k + 16 + ber;
    for (int f = 8; f <= 24; f += 8) {
      line += ',';
      AppendNumber(line, int64_t(GetBigEndian64(v + f, 8)));
    }
  }
  line += "\n";
  TraceText(line);
  // Index segments and random index packs are decoded once their value is
  // in.
  if (collect_ == Collect::None && haveLength && length <= kMaxValue && (IsMXFIndexKey(k) || IsMXFRipKey(k))) {
    collect_ = IsMXFIndexKey(k) ? Collect::Index : Collect::Rip;
    value_.clear();
    value_.reserve(size_t(length));
    valueAt_ = at + 16 + ber;
    valueNeed_ = length;
    if (valueNeed_ == 0) Decode();
  }
}

void MXFHdrScan::Keys(const uint8_t* data, size_t n, size_t from, size_t to, uint64_t at) {
  for (size_t i = from; i < to;) {
    const void* hit = std::memchr(data + i, 0x06, to - i);
    if (!hit) break;
    i = size_t(static_cast<const uint8_t*>(hit) - data);
    if (n - i >= 22 && HasPrefix(data + i)) {
      Line(data + i, n - i, at + i);
      // A value that starts in these bytes takes them now.
      if (collect_ != Collect::None) Feed(data, n, at);
    }
    ++i;
  }
}

void MXFHdrScan::Feed(const uint8_t* data, size_t n, uint64_t at) {
  if (collect_ == Collect::None) return;
  const uint64_t want = valueAt_ + value_.size();
  if (want < at || want >= at + n) return;
  const size_t from = size_t(want - at);
  const size_t take = size_t(std::min<uint64_t>(n - from, valueNeed_ - value_.size()));
  value_.insert(value_.end(), data + from, data + from + take);
  if (value_.size() == valueNeed_) Decode();
}

void MXFHdrScan::Decode() {
  if (collect_ == Collect::Index) {
    ObjectPrint(value_.data(), value_.size());
  } else if (collect_ == Collect::Rip) {
    // Body stream id and byte offset per entry, then the pack's length.
    for (size_t k = 0; k + 12 <= value_.size() && value_.size() - k >= 16; k += 12)
      TracePrintfA("RIP, %I64d\n", int64_t(GetBigEndian64(&value_[k + 4], 8) / sectorSize_));
  }
  collect_ = Collect::None;
  value_.clear();
  value_.shrink_to_fit();
}

void MXFHdrScan::Flush() {
  if (carried_) Keys(carry_, carried_, 0, carried_, carryAt_);
  carried_ = 0;
  collect_ = Collect::None;
  value_.clear();
}

void MXFHdrScan::Scan(const uint8_t* buffer, size_t bytes, int64_t firstSector, uint32_t sectorSize) {
  if (!buffer || bytes == 0 || firstSector < 0) return;
  if (!headerTraced_) {
    headerTraced_ = true;
    TracePrintfA(
        "Sector,Offset,Length,ObjID,Label Size,Designator[0],Designator[1],Registry Category Designator,"
        "Registry Designator,Structure Designator,Version Number,Item Designator,Organization,Application,"
        "Structure Version,Structure Kind,Set/Pack Kind,Partition Status,Reserved\n");
  }
  if (sectorSize) sectorSize_ = sectorSize;
  const uint64_t at = uint64_t(firstSector) * sectorSize_;
  if (carried_ && carryAt_ + carried_ == at) {
    // Keys that start in the held bytes, with the start of this read
    // behind them.
    uint8_t joined[2 * kCarry];
    const size_t more = std::min(bytes, kCarry);
    std::memcpy(joined, carry_, carried_);
    std::memcpy(joined + carried_, buffer, more);
    const size_t held = carried_;
    carried_ = 0;
    Keys(joined, held + more, 0, held, carryAt_);
  } else {
    Flush();
  }
  Feed(buffer, bytes, at);
  // Keys near the end wait for the next read.
  const size_t keep = std::min(bytes, kCarry - 1);
  Keys(buffer, bytes, 0, bytes - keep, at);
  std::memcpy(carry_, buffer + bytes - keep, keep);
  carried_ = keep;
  carryAt_ = at + bytes - keep;
}
