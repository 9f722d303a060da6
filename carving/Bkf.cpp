#include "carving/Bkf.h"

#include <algorithm>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"

namespace {

constexpr uint32_t Id(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}

const uint32_t kBlockIds[10] = {Id("TAPE"), Id("SSET"), Id("VOLB"), Id("DIRB"), Id("FILE"),
                                Id("CFIL"), Id("ESPB"), Id("ESET"), Id("EOTM"), Id("SFMB")};
const uint32_t kStreamIds[20] = {Id("STAN"), Id("PNAM"), Id("FNAM"), Id("CSUM"), Id("CRPT"), Id("SPAD"), Id("SPAR"),
                                 Id("TSMP"), Id("TFDD"), Id("MAP2"), Id("FDD2"), Id("ADAT"), Id("NTEA"), Id("NACL"),
                                 Id("NTED"), Id("NTQU"), Id("NTPR"), Id("NTRP"), Id("NTOI"), Id("MFID")};
constexpr uint32_t kTape = Id("TAPE"), kSset = Id("SSET"), kVolb = Id("VOLB"), kDirb = Id("DIRB"),
                   kFile = Id("FILE"), kEset = Id("ESET"), kEotm = Id("EOTM"), kSfmb = Id("SFMB"),
                   kTfdd = Id("TFDD");

// Where the fields a block's rules read end: the block size of a TAPE block,
// the name descriptors of FILE and DIRB blocks.
uint32_t FieldsEnd(uint32_t id) { return id == kTape ? 86 : id == kFile ? 88 : id == kDirb ? 84 : 10; }

// A name as text for the trace: UTF-16 or 8-bit as the block's string type
// says; NUL characters of a directory path become "\".
std::string NameText(const uint8_t* p, size_t n, bool wide, bool isDir) {
  std::string out;
  if (wide) {
    WString w;
    for (size_t k = 0; k + 1 < n; k += 2) {
      const char16_t ch = char16_t(Le16(p + k));
      if (ch == 0 && !isDir) continue;
      w.push_back(ch == 0 ? u'\\' : ch);
    }
    return ToUtf8(w);
  }
  for (size_t k = 0; k < n; ++k) {
    if (p[k] == 0 && !isDir) continue;
    out.push_back(p[k] == 0 ? '\\' : char(p[k]));
  }
  return out;
}

}  // namespace

MTFDateTime ReadMTFDateTime(const uint8_t* p) {
  // 40 bits from the first byte's top bit: year 14, month 4, day 5, hour 5,
  // minute 6, second 6.
  const uint64_t v = uint64_t(p[0]) << 32 | uint64_t(p[1]) << 24 | uint64_t(p[2]) << 16 | uint64_t(p[3]) << 8 | p[4];
  MTFDateTime t;
  t.year = int(v >> 26 & 0x3FFF);
  t.month = int(v >> 22 & 0xF);
  t.day = int(v >> 17 & 0x1F);
  t.hour = int(v >> 12 & 0x1F);
  t.minute = int(v >> 6 & 0x3F);
  t.second = int(v & 0x3F);
  return t;
}

bool CheckBKFChecksum(const uint8_t* block) {
  uint16_t x = 0;
  for (int i = 0; i < 25; ++i) x ^= Le16(block + 2 * i);
  return x == Le16(block + 50);
}

int BKFBlockIndex(uint32_t id) {
  for (int k = 0; k < 10; ++k)
    if (kBlockIds[k] == id) return k;
  return -1;
}

bool IsBKFStreamId(uint32_t id) { return std::find(std::begin(kStreamIds), std::end(kStreamIds), id) != std::end(kStreamIds); }

void ParseBKFDescriptor(const uint8_t* d, size_t bytes, int64_t sector) {
  if (!d || bytes < HdrBKF::kCommonHeader) return;
  const uint32_t id = Le32(d);
  if (BKFBlockIndex(id) < 0 || !CheckBKFChecksum(d)) return;
  const char name[5] = {char(d[0]), char(d[1]), char(d[2]), char(d[3]), 0};
  auto date = [&](size_t at) { return ReadMTFDateTime(d + at); };
  if (id == kTape && bytes >= 93) {
    const MTFDateTime t = date(88);
    TracePrintfA("BKF TAPE @ %I64d, seq# %u %04d/%02d/%02d %02d:%02d:%02d\n", sector, uint32_t(Le16(d + 60)), t.year,
                 t.month, t.day, t.hour, t.minute, t.second);
  } else if (id == kSset && bytes >= 93) {
    const MTFDateTime t = date(88);
    TracePrintfA("BKF SSET @ %I64d, dataset# %u %04d/%02d/%02d %02d:%02d:%02d\n", sector, uint32_t(Le16(d + 62)),
                 t.year, t.month, t.day, t.hour, t.minute, t.second);
  } else if (id == kVolb && bytes >= 73) {
    const MTFDateTime t = date(68);
    TracePrintfA("BKF VOLB @ %I64d %04d/%02d/%02d %02d:%02d:%02d\n", sector, t.year, t.month, t.day, t.hour,
                 t.minute, t.second);
  } else if ((id == kFile && bytes >= 88) || (id == kDirb && bytes >= 84)) {
    const bool isDir = id == kDirb;
    const size_t at = isDir ? 80 : 84;
    const uint16_t size = Le16(d + at), offset = Le16(d + at + 2);
    std::string text;
    if (size <= HdrBKF::kMaxName && offset >= at + 4 && size_t(offset) + size <= bytes)
      text = NameText(d + offset, size, d[48] == 2, isDir);
    // A FILE names its own id and its folder's; a DIRB only its own.
    const uint32_t ownId = isDir ? Le32(d + 76) : Le32(d + 80);
    const uint32_t parent = isDir ? 0 : Le32(d + 76);
    const MTFDateTime m = date(56), c = date(61);
    TracePrintfA(
        "BKF FILE %s (%u%c) @ %I64d, ISize %I64d, %04d/%02d/%02d %02d:%02d:%02d %04d/%02d/%02d %02d:%02d:%02d - "
        "Parent %u\n",
        text, ownId, isDir ? 'd' : 'f', sector, int64_t(Le64(d + 12)), m.year, m.month, m.day, m.hour, m.minute,
        m.second, c.year, c.month, c.day, c.hour, c.minute, c.second, parent);
  } else if (id == kEset && bytes >= 85) {
    const MTFDateTime t = date(80);
    TracePrintfA("BKF ESET @ %I64d, seq# %u, dataset# %u %04d/%02d/%02d %02d:%02d:%02d\n", sector,
                 uint32_t(Le16(d + 76)), uint32_t(Le16(d + 78)), t.year, t.month, t.day, t.hour, t.minute, t.second);
  } else {
    TracePrintfA("BKF %s @ %I64d\n", name, sector);
  }
}

// ---------------------------------------------------------------- HdrBKF

int HdrBKF::Reset() {
  HdrNode::Reset();
  blockSize_ = 0;
  id_ = 0;
  need_ = 0;
  blockStart_ = 0;
  openSets_ = 0;
  endOfMedia_ = false;
  carry_.Clear();
  fileName_.clear();
  dirName_.clear();
  name_ = nullptr;
  nameFrom_ = 0;
  nameLeft_ = 0;
  return 0;
}

void HdrBKF::StartName(std::string* name, uint64_t from, uint32_t size, bool wide, bool isDir) {
  name_ = name;
  name_->clear();
  nameFrom_ = from;
  nameLeft_ = size;
  nameWide_ = wide;
  nameIsDir_ = isDir;
}

void HdrBKF::CopyName(const uint8_t* b, size_t length) {
  if (!name_ || nameLeft_ == 0 || nameFrom_ < consumed || nameFrom_ - consumed >= length) return;
  const size_t from = size_t(nameFrom_ - consumed);
  const size_t n = std::min<size_t>(nameLeft_, length - from);
  name_->append(reinterpret_cast<const char*>(b + from), n);
  nameFrom_ += n;
  nameLeft_ -= uint32_t(n);
  if (nameLeft_ == 0 && nameIsDir_) {
    // A directory path's NUL characters separate its folders.
    std::string& s = *name_;
    const size_t unit = nameWide_ ? 2 : 1;
    for (size_t k = 0; k + unit <= s.size(); k += unit)
      if (s[k] == 0 && (unit == 1 || s[k + 1] == 0)) s[k] = '\\';
  }
}

bool HdrBKF::Align(uint64_t* c) const {
  uint64_t pos = 0;
  if (!FileOffset(*c, &pos)) return false;
  *c += (4 - pos % 4) % 4;
  return true;
}

int HdrBKF::Accept(uint64_t size, uint64_t c) {
  if (traceMft)
    TracePrintfA("Accepted at %I64d %ld %03x\n", headerSector + int64_t(consumed / 512), int32_t(c / 512),
                 uint32_t(c % 512));
  return Complete(size);
}

int HdrBKF::Fail(uint64_t c) {
  if (traceMft)
    TracePrintfA("Error at %I64d %ld %03x\n", headerSector + int64_t(consumed / 512), int32_t(c / 512),
                 uint32_t(c % 512));
  return Reject();
}

int HdrBKF::Block(uint64_t* c) {
  const uint32_t toStream = Le16(head_ + 8);
  if (id_ == kTape && blockSize_ == 0) {
    blockSize_ = Le16(head_ + 84);
    if (blockSize_ != 512 && blockSize_ != 1024) return Fail(*c);
  }
  if (id_ == kFile || id_ == kDirb) {
    const bool isDir = id_ == kDirb;
    const uint16_t size = Le16(head_ + (isDir ? 80 : 84)), offset = Le16(head_ + (isDir ? 82 : 86));
    if (size < 1 || size > kMaxName || offset < (isDir ? 84 : 88)) return Fail(*c);
    StartName(isDir ? &dirName_ : &fileName_, blockStart_ + offset, size, head_[48] == 2, isDir);
  }
  // To the first stream; the fixed part read so far lies before it.
  *c += toStream - need_;
  if (openSets_ != 0 || endOfMedia_) {
    // A set (or the media) ended: a filemark must follow, one block long.
    if (id_ != kSfmb || toStream != blockSize_) return Fail(*c);
    if (endOfMedia_) {
      uint64_t end = 0;
      if (!FileOffset(*c, &end)) return Fail(*c);
      return Accept(end, *c);
    }
    state = kSetEnded;
  } else {
    state = kHdrActive;
  }
  if (id_ == kEset) ++openSets_;
  if (id_ == kEotm) endOfMedia_ = true;
  return Align(c) ? 0 : Fail(*c);
}

int HdrBKF::Parse(const uint8_t* b, size_t length) {
  if (!b) return Fail(0);
  CopyName(b, length);
  uint64_t c = cursor;
  for (;;) {
    if (state == kHdrActive || state == kSetEnded) {
      const uint8_t* h = carry_.Take(b, length, &c, 4);
      if (!h) break;
      std::memcpy(head_, h, 4);
      id_ = Le32(head_);
      if (!FileOffset(c, &blockStart_)) return Fail(c);
      blockStart_ -= 4;
      // Blocks start on the block size (the TAPE block, which gives it, at
      // the file's start).
      const bool onBlock = blockSize_ ? blockStart_ % blockSize_ == 0 : blockStart_ == 0;
      const bool isBlock = onBlock && BKFBlockIndex(id_) >= 0;
      if (state == kSetEnded) {
        if (!isBlock || id_ != kSset) return Accept(blockStart_, c - 4);
        openSets_ = 0;
        state = kBlockHead;
      } else if (isBlock) {
        state = kBlockHead;
      } else if (IsBKFStreamId(id_)) {
        state = kStreamHeader;
      } else {
        return Fail(c);
      }
      continue;
    }
    if (state == kBlockHead) {
      const uint8_t* h = carry_.Take(b, length, &c, 6);
      if (!h) break;
      std::memcpy(head_ + 4, h, 6);
      // A first stream inside the common header would never move the walk
      // on; one inside the fields read here means a broken block.
      const uint32_t toStream = Le16(head_ + 8);
      need_ = FieldsEnd(id_);
      if (toStream < kCommonHeader || toStream < need_) return Fail(c);
      state = kBlockFields;
      continue;
    }
    if (state == kBlockFields) {
      if (need_ > 10) {
        const uint8_t* h = carry_.Take(b, length, &c, need_ - 10);
        if (!h) break;
        std::memcpy(head_ + 10, h, need_ - 10);
      }
      const int r = Block(&c);
      if (r != 0) return r;
      // The name may begin in this very buffer.
      CopyName(b, length);
      continue;
    }
    if (state == kStreamHeader) {
      // Attributes, then the 64-bit length, encryption, compression and
      // checksum.
      const uint8_t* h = carry_.Take(b, length, &c, 18);
      if (!h) break;
      const uint64_t streamLength = Le64(h + 4);
      if (streamLength > UINT64_MAX - c) return Fail(c);
      c += streamLength;
      if (id_ == kTfdd && openSets_ > 0) --openSets_;
      state = kHdrActive;
      if (!Align(&c)) return Fail(c);
      continue;
    }
    return Fail(c);
  }
  cursor = c;
  return Pending(length);
}
