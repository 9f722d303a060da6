#include "foundation/Md5.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "platform/Memory.h"

// ---- MD5 ----

namespace {

constexpr uint32_t kInitialState[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

inline uint32_t Rotl(uint32_t v, int s) { return (v << s) | (v >> (32 - s)); }

inline void StoreLe32(uint8_t* p, uint32_t v) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  std::memcpy(p, &v, 4);
}

// The four round functions. F and I are written with one operation fewer
// than their textbook forms; G is split in two additions (its two terms
// never share a bit), which lets the second one wait for b alone.
#define DV_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define DV_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define DV_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

#define DV_MD5_STEP(fn, a, b, c, d, k, s, t) \
  a += fn(b, c, d) + w[k] + (t);             \
  a = Rotl(a, s) + b;

#define DV_MD5_STEP_G(a, b, c, d, k, s, t) \
  a += ((c) & ~(d)) + w[k] + (t);          \
  a += (b) & (d);                          \
  a = Rotl(a, s) + b;

// Runs the compression over `blocks` consecutive 64-byte blocks; the data
// need not be aligned.
void Md5Blocks(uint32_t state[4], const uint8_t* p, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; blocks != 0; --blocks, p += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = Le32(p + 4 * i);
    const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

    DV_MD5_STEP(DV_MD5_F, a, b, c, d, 0, 7, 0xd76aa478u)
    DV_MD5_STEP(DV_MD5_F, d, a, b, c, 1, 12, 0xe8c7b756u)
    DV_MD5_STEP(DV_MD5_F, c, d, a, b, 2, 17, 0x242070dbu)
    DV_MD5_STEP(DV_MD5_F, b, c, d, a, 3, 22, 0xc1bdceeeu)
    DV_MD5_STEP(DV_MD5_F, a, b, c, d, 4, 7, 0xf57c0fafu)
    DV_MD5_STEP(DV_MD5_F, d, a, b, c, 5, 12, 0x4787c62au)
    DV_MD5_STEP(DV_MD5_F, c, d, a, b, 6, 17, 0xa8304613u)
    DV_MD5_STEP(DV_MD5_F, b, c, d, a, 7, 22, 0xfd469501u)
    DV_MD5_STEP(DV_MD5_F, a, b, c, d, 8, 7, 0x698098d8u)
    DV_MD5_STEP(DV_MD5_F, d, a, b, c, 9, 12, 0x8b44f7afu)
    DV_MD5_STEP(DV_MD5_F, c, d, a, b, 10, 17, 0xffff5bb1u)
    DV_MD5_STEP(DV_MD5_F, b, c, d, a, 11, 22, 0x895cd7beu)
    DV_MD5_STEP(DV_MD5_F, a, b, c, d, 12, 7, 0x6b901122u)
    DV_MD5_STEP(DV_MD5_F, d, a, b, c, 13, 12, 0xfd987193u)
    DV_MD5_STEP(DV_MD5_F, c, d, a, b, 14, 17, 0xa679438eu)
    DV_MD5_STEP(DV_MD5_F, b, c, d, a, 15, 22, 0x49b40821u)

    DV_MD5_STEP_G(a, b, c, d, 1, 5, 0xf61e2562u)
    DV_MD5_STEP_G(d, a, b, c, 6, 9, 0xc040b340u)
    DV_MD5_STEP_G(c, d, a, b, 11, 14, 0x265e5a51u)
    DV_MD5_STEP_G(b, c, d, a, 0, 20, 0xe9b6c7aau)
    DV_MD5_STEP_G(a, b, c, d, 5, 5, 0xd62f105du)
    DV_MD5_STEP_G(d, a, b, c, 10, 9, 0x02441453u)
    DV_MD5_STEP_G(c, d, a, b, 15, 14, 0xd8a1e681u)
    DV_MD5_STEP_G(b, c, d, a, 4, 20, 0xe7d3fbc8u)
    DV_MD5_STEP_G(a, b, c, d, 9, 5, 0x21e1cde6u)
    DV_MD5_STEP_G(d, a, b, c, 14, 9, 0xc33707d6u)
    DV_MD5_STEP_G(c, d, a, b, 3, 14, 0xf4d50d87u)
    DV_MD5_STEP_G(b, c, d, a, 8, 20, 0x455a14edu)
    DV_MD5_STEP_G(a, b, c, d, 13, 5, 0xa9e3e905u)
    DV_MD5_STEP_G(d, a, b, c, 2, 9, 0xfcefa3f8u)
    DV_MD5_STEP_G(c, d, a, b, 7, 14, 0x676f02d9u)
    DV_MD5_STEP_G(b, c, d, a, 12, 20, 0x8d2a4c8au)

    DV_MD5_STEP(DV_MD5_H, a, b, c, d, 5, 4, 0xfffa3942u)
    DV_MD5_STEP(DV_MD5_H, d, a, b, c, 8, 11, 0x8771f681u)
    DV_MD5_STEP(DV_MD5_H, c, d, a, b, 11, 16, 0x6d9d6122u)
    DV_MD5_STEP(DV_MD5_H, b, c, d, a, 14, 23, 0xfde5380cu)
    DV_MD5_STEP(DV_MD5_H, a, b, c, d, 1, 4, 0xa4beea44u)
    DV_MD5_STEP(DV_MD5_H, d, a, b, c, 4, 11, 0x4bdecfa9u)
    DV_MD5_STEP(DV_MD5_H, c, d, a, b, 7, 16, 0xf6bb4b60u)
    DV_MD5_STEP(DV_MD5_H, b, c, d, a, 10, 23, 0xbebfbc70u)
    DV_MD5_STEP(DV_MD5_H, a, b, c, d, 13, 4, 0x289b7ec6u)
    DV_MD5_STEP(DV_MD5_H, d, a, b, c, 0, 11, 0xeaa127fau)
    DV_MD5_STEP(DV_MD5_H, c, d, a, b, 3, 16, 0xd4ef3085u)
    DV_MD5_STEP(DV_MD5_H, b, c, d, a, 6, 23, 0x04881d05u)
    DV_MD5_STEP(DV_MD5_H, a, b, c, d, 9, 4, 0xd9d4d039u)
    DV_MD5_STEP(DV_MD5_H, d, a, b, c, 12, 11, 0xe6db99e5u)
    DV_MD5_STEP(DV_MD5_H, c, d, a, b, 15, 16, 0x1fa27cf8u)
    DV_MD5_STEP(DV_MD5_H, b, c, d, a, 2, 23, 0xc4ac5665u)

    DV_MD5_STEP(DV_MD5_I, a, b, c, d, 0, 6, 0xf4292244u)
    DV_MD5_STEP(DV_MD5_I, d, a, b, c, 7, 10, 0x432aff97u)
    DV_MD5_STEP(DV_MD5_I, c, d, a, b, 14, 15, 0xab9423a7u)
    DV_MD5_STEP(DV_MD5_I, b, c, d, a, 5, 21, 0xfc93a039u)
    DV_MD5_STEP(DV_MD5_I, a, b, c, d, 12, 6, 0x655b59c3u)
    DV_MD5_STEP(DV_MD5_I, d, a, b, c, 3, 10, 0x8f0ccc92u)
    DV_MD5_STEP(DV_MD5_I, c, d, a, b, 10, 15, 0xffeff47du)
    DV_MD5_STEP(DV_MD5_I, b, c, d, a, 1, 21, 0x85845dd1u)
    DV_MD5_STEP(DV_MD5_I, a, b, c, d, 8, 6, 0x6fa87e4fu)
    DV_MD5_STEP(DV_MD5_I, d, a, b, c, 15, 10, 0xfe2ce6e0u)
    DV_MD5_STEP(DV_MD5_I, c, d, a, b, 6, 15, 0xa3014314u)
    DV_MD5_STEP(DV_MD5_I, b, c, d, a, 13, 21, 0x4e0811a1u)
    DV_MD5_STEP(DV_MD5_I, a, b, c, d, 4, 6, 0xf7537e82u)
    DV_MD5_STEP(DV_MD5_I, d, a, b, c, 11, 10, 0xbd3af235u)
    DV_MD5_STEP(DV_MD5_I, c, d, a, b, 2, 15, 0x2ad7d2bbu)
    DV_MD5_STEP(DV_MD5_I, b, c, d, a, 9, 21, 0xeb86d391u)

    a += a0;
    b += b0;
    c += c0;
    d += d0;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

#undef DV_MD5_F
#undef DV_MD5_H
#undef DV_MD5_I
#undef DV_MD5_STEP
#undef DV_MD5_STEP_G

}  // namespace

void Md5::Reset() {
  std::memcpy(state_, kInitialState, sizeof state_);
  byteCount_ = 0;
}

void Md5::Update(const void* data, size_t count) {
  if (count == 0 || data == nullptr) return;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  size_t held = size_t(byteCount_ & 63);
  byteCount_ += count;
  if (held != 0) {
    size_t take = std::min(count, 64 - held);
    std::memcpy(block_ + held, p, take);
    p += take;
    count -= take;
    if (held + take < 64) return;
    Md5Blocks(state_, block_, 1);
  }
  if (count >= 64) {
    Md5Blocks(state_, p, count / 64);
    p += count & ~size_t(63);
    count &= 63;
  }
  if (count != 0) std::memcpy(block_, p, count);
}

void Md5::Final(uint8_t digest[kMd5DigestSize]) {
  // The length is counted in bits modulo 2^64.
  const uint64_t bits = byteCount_ << 3;
  size_t held = size_t(byteCount_ & 63);
  block_[held++] = 0x80;
  if (held > 56) {
    std::memset(block_ + held, 0, 64 - held);
    Md5Blocks(state_, block_, 1);
    held = 0;
  }
  std::memset(block_ + held, 0, 56 - held);
  StoreLe32(block_ + 56, uint32_t(bits));
  StoreLe32(block_ + 60, uint32_t(bits >> 32));
  Md5Blocks(state_, block_, 1);
  for (int i = 0; i < 4; ++i) StoreLe32(digest + 4 * i, state_[i]);
  Reset();
}

void Md5Of(const void* data, size_t count, uint8_t digest[kMd5DigestSize]) {
  Md5 md5;
  md5.Update(data, count);
  md5.Final(digest);
}

// ---- hexadecimal text ----

namespace {

template <class Char>
int HexEncodeT(Char* output, const void* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  if (!output || !bytes) return 0;
  const uint8_t* b = static_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < count; ++i) {
    output[2 * i] = Char(kDigits[b[i] >> 4]);
    output[2 * i + 1] = Char(kDigits[b[i] & 15]);
  }
  return 0;
}

}  // namespace

int HexEncode(char16_t* output, const void* bytes, size_t count) { return HexEncodeT(output, bytes, count); }
int HexEncode(char* output, const void* bytes, size_t count) { return HexEncodeT(output, bytes, count); }

std::string HexText(const void* bytes, size_t count) {
  std::string text(2 * count, '\0');
  HexEncode(text.data(), bytes, count);
  return text;
}

// ---- the existing file at a destination name ----

WString ExistingStreamPath(WStringView path, WStringView streamName) {
  WString full(path);
  if (!streamName.empty()) {
    full += u':';
    full.append(streamName);
  }
  return full;
}

namespace {

// The system path of a stream, whole or not at all: a text the kernel would
// cut (an embedded zero, more than PATH_MAX bytes) or a stream name that
// would lead into another folder must not be opened under a shorter name,
// which could be a different file. Sets errno on refusal.
bool SystemStreamPath(WStringView path, WStringView streamName, std::string* out) {
  if (path.empty() || path.find(u'\0') != WStringView::npos || streamName.find(u'\0') != WStringView::npos ||
      streamName.find(u'/') != WStringView::npos) {
    errno = EINVAL;
    return false;
  }
  *out = ToUtf8(ExistingStreamPath(path, streamName));
  if (out->size() >= size_t(PATH_MAX)) {
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

// Opens for reading without waiting on a pipe or device; only a regular
// file is accepted. Returns the descriptor and its size, or -1 with errno.
int OpenRegular(const std::string& path, int extraFlags, int64_t* size) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | extraFlags);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  *size = st.st_size;
  return fd;
}

void SetErrorForPath(const std::string& path) {
  int e = errno;
  WString prefix = FromUtf8(path.size() > 300 ? path.substr(0, 300) + "..." : path);
  errno = e;
  ErrorMsg(nullptr, prefix.c_str());
}

int SignOf(int64_t v) { return v < 0 ? -1 : 1; }

}  // namespace

void CHashFile::SetFile(WStringView path) {
  path_.clear();
  hasFile_ = false;
  existingSize_ = -1;
  entries_.clear();
  std::string sysPath;
  if (!SystemStreamPath(path, u"", &sysPath)) return;
  struct stat st;
  if (stat(sysPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  path_.assign(path);
  hasFile_ = true;
  existingSize_ = st.st_size;
  written_.Reset();
  writtenBytes_ = 0;
}

void CHashFile::Final() {
  writtenBytes_ = written_.byteCount();
  written_.Final(digest_);
}

int64_t CHashFile::GetExistingSize(WStringView streamName) const {
  if (!hasFile_) return -1;
  std::string sysPath;
  if (!SystemStreamPath(path_, streamName, &sysPath)) return -1;
  int64_t size = -1;
  int fd = OpenRegular(sysPath, 0, &size);
  if (fd < 0) return -1;
  close(fd);
  return size;
}

bool CHashFile::HashStream(WStringView streamName, int64_t wantLength, Entry* entry) {
  std::string sysPath;
  if (!SystemStreamPath(path_, streamName, &sysPath)) {
    ErrorMsg(nullptr, nullptr);
    return false;
  }
  // Past the page cache where the file system allows it; otherwise through
  // it, asking the kernel afterwards to drop what was read.
  int64_t length = -1;
  bool direct = true;
  int fd = OpenRegular(sysPath, O_DIRECT, &length);
  if (fd < 0 && errno == EINVAL) {
    direct = false;
    fd = OpenRegular(sysPath, 0, &length);
  }
  if (fd < 0) {
    SetErrorForPath(sysPath);
    return false;
  }
  // A stream of another length cannot match: only its length is kept.
  const bool hash = length == wantLength;
  uint8_t* buffer = nullptr;
  if (hash && length > 0) {
    buffer = static_cast<uint8_t*>(AlignedAlloc(kReadPiece));
    if (!buffer) {
      close(fd);
      errno = ENOMEM;
      ErrorMsg(nullptr, nullptr);
      return false;
    }
  }
  bool ok = true;
  Md5 md5;
  int64_t done = 0;
  while (buffer && ok && done < length) {
    const int64_t left = length - done;
    const size_t piece = size_t(std::min<int64_t>(int64_t(kReadPiece), (left + 4095) & ~int64_t(4095)));
    ssize_t n = pread(fd, buffer, piece, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EINVAL && direct) {
      // This file system refuses the direct read: go on through the cache.
      direct = false;
      int flags = fcntl(fd, F_GETFL);
      if (flags != -1 && fcntl(fd, F_SETFL, flags & ~O_DIRECT) == 0) continue;
      errno = EINVAL;
    }
    if (n < 0) {
      SetErrorForPath(sysPath);
      ok = false;
    } else if (n == 0) {
      VErrorMsg(u"The existing file changed while it was read (%I64d of %I64d bytes).", done, length);
      ok = false;
    } else {
      const size_t use = size_t(std::min<int64_t>(n, left));
      md5.Update(buffer, use);
      done += int64_t(use);
    }
  }
  if (buffer && !direct) posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
  AlignedFree(buffer);
  if (!ok) return false;
  entry->name.assign(streamName);
  entry->size = length;
  entry->hashed = hash;
  if (hash) md5.Final(entry->digest);
  return true;
}

int32_t CHashFile::MatchesExistingStream(WStringView streamName, int64_t size) {
  if (!hasFile_) return -1;
  const int64_t written = int64_t(writtenBytes_);
  Entry* entry = nullptr;
  for (Entry& e : entries_)
    if (e.name == streamName) entry = &e;
  if (!entry) {
    Entry fresh;
    if (!HashStream(streamName, written == size ? size : -1, &fresh)) return -1;
    entries_.push_back(std::move(fresh));
    entry = &entries_.back();
  } else if (!entry->hashed && entry->size == written && written == size) {
    if (!HashStream(streamName, size, entry)) return -1;
  }
  // Equal digests count only for equal lengths, and only for the length
  // the caller expects.
  if (written != entry->size) return SignOf(written - entry->size);
  if (written != size || !entry->hashed) return -1;
  for (size_t i = 0; i < kMd5DigestSize; ++i)
    if (digest_[i] != entry->digest[i]) return digest_[i] < entry->digest[i] ? -1 : 1;
  return 0;
}

// ---- per-block digest lists ----

size_t Md5SegmentOutputs::DigestsPerWrite(int64_t segmentSectors) {
  if (segmentSectors <= 0) return 1;
  return size_t(std::max<int64_t>(1, 1048576 / segmentSectors));
}

Md5SegmentOutputs::~Md5SegmentOutputs() { Close(); }

int Md5SegmentOutputs::Open(const std::vector<Md5Output>& settings, uint32_t sectorSize) {
  Close();
  if (sectorSize == 0 || sectorSize > 65536) return 0;
  sectorSize_ = sectorSize;
  nextSector_ = -1;
  int k = 0;
  for (const Md5Output& s : settings) {
    ++k;
    if (s.segmentSize < 1 || s.segmentSize > kMaxSegmentSectors) {
      TracePrintfA("MD5 output %d ignored: segment size %I64d\n", k, s.segmentSize);
      continue;
    }
    Output out;
    out.segmentSectors = s.segmentSize;
    out.blockBytes = uint64_t(s.segmentSize) * sectorSize;
    out.capacity = DigestsPerWrite(s.segmentSize);
    out.file = ToUtf8(s.file);
    bool usable = !out.file.empty() && s.file.find(u'\0') == WString::npos && out.file.size() < size_t(PATH_MAX);
    for (const Output& other : outputs_)
      if (usable && other.file == out.file) usable = false;  // two lists in one file would mix
    if (usable) out.fd = open(out.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out.fd < 0) {
      if (usable)
        SetErrorForPath(out.file);
      else
        VErrorMsg(u"MD5 output %d has no usable file.", k);
      out.failed = true;
    }
    outputs_.push_back(std::move(out));
  }
  return int(outputs_.size());
}

void Md5SegmentOutputs::AddSectors(const void* data, int64_t firstSector, size_t sectorCount) {
  if (outputs_.empty() || !data || sectorCount == 0 || firstSector < 0) return;
  if (sectorCount > SIZE_MAX / sectorSize_ || int64_t(sectorCount) > INT64_MAX - firstSector) return;
  if (nextSector_ != firstSector)
    for (Output& out : outputs_)
      if (out.bytesInBlock != 0) FinishBlock(out);
  const uint8_t* base = static_cast<const uint8_t*>(data);
  const uint64_t total = uint64_t(sectorCount) * sectorSize_;
  for (Output& out : outputs_) {
    uint64_t at = 0;
    while (at < total) {
      if (out.bytesInBlock == 0) out.blockFirstSector = firstSector + int64_t(at / sectorSize_);
      uint64_t take = std::min(total - at, out.blockBytes - out.bytesInBlock);
      out.md5.Update(base + at, size_t(take));
      out.bytesInBlock += take;
      at += take;
      if (out.bytesInBlock == out.blockBytes) FinishBlock(out);
    }
  }
  nextSector_ = firstSector + int64_t(sectorCount);
}

void Md5SegmentOutputs::FinishBlock(Output& out) {
  uint8_t digest[kMd5DigestSize];
  out.md5.Final(digest);
  out.bytesInBlock = 0;
  if (out.fd >= 0) {
    out.gathered.insert(out.gathered.end(), digest, digest + kMd5DigestSize);
    if (out.gathered.size() >= out.capacity * kMd5DigestSize) Flush(out);
    return;
  }
  uint64_t low = 0, high = 0;
  for (int i = 7; i >= 0; --i) {
    low = (low << 8) | digest[i];
    high = (high << 8) | digest[8 + i];
  }
  TracePrintfA("MD5_%d %I64d %I64u %I64u\n", int32_t(out.segmentSectors), out.blockFirstSector, low, high);
}

void Md5SegmentOutputs::Flush(Output& out) {
  size_t at = 0;
  while (out.fd >= 0 && at < out.gathered.size()) {
    ssize_t n = write(out.fd, out.gathered.data() + at, out.gathered.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      SetErrorForPath(out.file);
      // Later digests go to the trace; the ones gathered here are lost.
      close(out.fd);
      out.fd = -1;
      out.failed = true;
    } else {
      at += size_t(n);
    }
  }
  out.gathered.clear();
}

bool Md5SegmentOutputs::Close() {
  bool ok = true;
  for (Output& out : outputs_) {
    if (out.bytesInBlock != 0) FinishBlock(out);
    Flush(out);
    if (out.fd >= 0 && close(out.fd) != 0) {
      SetErrorForPath(out.file);
      out.failed = true;
    }
    out.fd = -1;
    if (out.failed) ok = false;
  }
  outputs_.clear();
  nextSector_ = -1;
  return ok;
}
