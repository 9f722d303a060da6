#include "engine/RecFile.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "carving/SectorProbe.h"
#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/PathUtil.h"
#include "foundation/TimeUtil.h"
#include "foundation/Trace.h"
#include "platform/Memory.h"
#include "volumes/FileTypes.h"

RecFile::HeaderTypeTest RecFile::headerTypeOf_ = &CarvedHeaderType;
uint32_t RecFile::testWriteLimit = 0;

namespace {

constexpr uint32_t kMiB = 0x100000;
constexpr uint32_t kMinPieceBytes = 65536;

bool WriteEmptyFiles() { return g_appState && g_appState->writeEmptyFiles; }

// What a destination file system is like, learnt once per device: its
// sector size (a sysfs lookup) and whether it refused direct writes. A
// recovery of many files into one folder asks the system once, not per file.
struct DestFacts {
  dev_t dev;
  uint32_t sectorSize;
  bool directRefused;
};
std::mutex g_factsMutex;
std::vector<DestFacts> g_facts;

DestFacts FactsFor(dev_t dev, WStringView path) {
  {
    std::lock_guard<std::mutex> lock(g_factsMutex);
    for (const DestFacts& f : g_facts)
      if (f.dev == dev) return f;
  }
  const int ss = GetPathSectorSize(path);
  DestFacts f{dev, (ss >= 512 && (ss & (ss - 1)) == 0) ? uint32_t(ss) : 4096u, false};
  std::lock_guard<std::mutex> lock(g_factsMutex);
  g_facts.push_back(f);
  return f;
}

void MarkDirectRefused(dev_t dev) {
  std::lock_guard<std::mutex> lock(g_factsMutex);
  for (DestFacts& f : g_facts)
    if (f.dev == dev) f.directRefused = true;
}

}  // namespace

const uint8_t* ZeroBuffer() {
  // Allocated zero-filled once and never handed out as writable.
  static const uint8_t* zeros = static_cast<const uint8_t*>(AlignedAlloc(kZeroBufferBytes));
  if (!zeros) ShowErrorAndThrow();
  return zeros;
}

RecFile::RecFile() {
  Init();
  CreateBuffer(kDefaultCapacity);
}

RecFile::~RecFile() {
  AlignedFree(buffer_);
  if (fd_ >= 0) ::close(fd_);
}

void RecFile::Init() {
  buffer_ = nullptr;
  capacity_ = 0;
  written_ = 0;
  pending_ = 0;
  fd_ = -1;
  path_.clear();
  sectorSize_ = 4096;
  sectorMask_ = 4095;
  expectedType_ = 255;
}

void RecFile::CreateBuffer(size_t size) {
  if (buffer_ && capacity_ >= size) return;
  const size_t cap = (size + kMiB - 1) / kMiB * kMiB;
  if (cap > 0x40000000) ShowErrorAndThrow();
  auto* fresh = static_cast<uint8_t*>(AlignedAlloc(cap + kHeadBytes));
  if (!fresh) ShowErrorAndThrow();
  if (buffer_ && pending_) std::memcpy(fresh + kHeadBytes, buffer_ + kHeadBytes, pending_);
  AlignedFree(buffer_);
  buffer_ = fresh;
  capacity_ = uint32_t(cap);
}

int RecFile::Open(WStringView path, uint32_t unitSize, bool direct, int64_t startOffset, bool exclusive) {
  if (fd_ >= 0) Close();
  unitSize_ = unitSize ? unitSize : 4096;
  int flags = O_WRONLY | O_CREAT | O_NOFOLLOW;
  if (startOffset < 0) flags |= O_TRUNC;
  if (exclusive) flags |= O_EXCL;
  const int fd = CreateFileLongPath(path, flags, 0666);
  if (fd < 0) {
    const WString p(path);
    ErrorMsg(nullptr, p.c_str());
    return -1;
  }
  fd_ = fd;
  path_.assign(path.data(), path.size());
  startOffset_ = startOffset > 0 ? uint64_t(startOffset) : 0;
  resumed_ = startOffset >= 0;
  endsInHole_ = false;
  written_ = 0;
  pending_ = 0;
  direct_ = direct;
  odirect_ = false;
  resumedLength_ = 0;
  struct stat st;
  if (::fstat(fd_, &st) == 0) {
    if (resumed_) resumedLength_ = uint64_t(st.st_size);
    dev_ = st.st_dev;
    const DestFacts f = FactsFor(st.st_dev, path);
    sectorSize_ = f.sectorSize;
    directAllowed_ = !f.directRefused && !direct;
  } else {
    sectorSize_ = 4096;
    directAllowed_ = false;
  }
  sectorMask_ = sectorSize_ - 1;
  return fd_;
}

void RecFile::DropDirect() {
  if (odirect_) directAllowed_ = false;
  if (!odirect_ || fd_ < 0) return;
  const int fl = fcntl(fd_, F_GETFL);
  if (fl >= 0) fcntl(fd_, F_SETFL, fl & ~O_DIRECT);
  odirect_ = false;
}

bool RecFile::PWriteAll(const uint8_t* data, size_t count, uint64_t at) {
  size_t done = 0;
  while (done < count) {
    size_t piece = count - done;
    if (testWriteLimit && piece > testWriteLimit) piece = testWriteLimit;
    const ssize_t n = ::pwrite(fd_, data + done, piece, off_t(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EINVAL && odirect_) {
      // The file system refused this direct write: page cache from now on,
      // for this destination's later files too.
      MarkDirectRefused(dev_);
      DropDirect();
      continue;
    }
    if (n < 0 || n == 0) {
      const int err = n < 0 ? errno : ENOSPC;
      if (err == ENOSPC || err == EDQUOT || done > 0) {
        if (traceIo) TracePrintfA("RecFile::Write short %ld of %ld\n", int32_t(done), int32_t(count));
        // A full destination is named with the reason, never with counts.
        errno = err == EDQUOT ? EDQUOT : ENOSPC;
        ErrorMsg(nullptr, path_.c_str());
        theTrace().SetLastError(LastErrorText(), ENOSPC);
      } else {
        errno = err;
        ErrorMsg(nullptr, path_.c_str());
        if (traceIo) TracePrintfA("RecFile::Write %s\n", ToUtf8(LastErrorText()));
      }
      return false;
    }
    done += size_t(n);
  }
  return true;
}

int RecFile::WriteData(const uint8_t* buffer, uint32_t count, uint32_t padding) {
  if (fd_ < 0) {
    ErrorMsg(u"The destination file is not open.");
    return 0;
  }
  if (padding > count) padding = count;
  const uint32_t data = count - padding;
  if (written_ == 0 && expectedType_ != 255 && headerTypeOf_ && data) {
    const uint8_t found = headerTypeOf_(buffer, data);
    if (!HeaderTypeAccepts(expectedType_, found)) {
      ErrorMsg(Msg(649));
      return 0;
    }
  }
  if (traceIo) TracePrintfA("Writing buf %p bytesToWrite %ld\n", static_cast<const void*>(buffer), int32_t(count));
  if (WriteEmptyFiles()) {
    written_ += data;
    return 1;
  }
  const uint64_t at = startOffset_ + written_;
  // A file that fits the buffer is one buffered write (a direct write
  // would wait for the disk once per small file); whole buffers of a
  // larger file go direct where the destination takes it.
  const bool aligned = (at & sectorMask_) == 0 && (uintptr_t(buffer) & 4095) == 0 && (count & sectorMask_) == 0;
  if (!odirect_ && directAllowed_ && aligned && count >= capacity_) {
    const int fl = fcntl(fd_, F_GETFL);
    if (fl >= 0 && fcntl(fd_, F_SETFL, fl | O_DIRECT) == 0) {
      odirect_ = true;
    } else {
      MarkDirectRefused(dev_);
      directAllowed_ = false;
    }
  }
  const bool whole = odirect_ && aligned;
  if (odirect_ && !whole) DropDirect();
  const uint32_t length = whole ? count : data;
  if (!PWriteAll(buffer, length, at)) return 0;
  written_ += data;
  if (data) endsInHole_ = false;
  if (whole && padding) return WriteEOF(padding);
  return 1;
}

int RecFile::WriteEOF(uint32_t padding) {
  (void)padding;  // the true length is known: no need to ask the file
  DropDirect();
  if (fd_ < 0) return 0;
  if (::ftruncate(fd_, off_t(startOffset_ + written_)) != 0) {
    ErrorMsg(nullptr, path_.c_str());
    return 0;
  }
  return 1;
}

int RecFile::Write(uint32_t n, const void* data) {
  if (n == 0) return 1;
  if (n > capacity_) CreateBuffer(n);
  const uint8_t* src = static_cast<const uint8_t*>(data);
  uint8_t* area = GetDataBuffer();
  uint32_t length = 0, padding = 0;
  if (!direct_) {
    // A whole buffer's worth with nothing pending goes out from the
    // caller's memory as it is: no copy through our buffer.
    if (pending_ == 0 && n == capacity_ && (n & sectorMask_) == 0) return WriteData(src, n, 0);
    if (n == capacity_ && pending_ && (pending_ & sectorMask_) == 0) {
      if (!WriteData(area, pending_, 0)) return 0;
      pending_ = 0;
    }
    const uint32_t c = uint32_t(std::min<uint64_t>(capacity_, uint64_t(pending_) + n));
    if ((c % unitSize_) != 0 || ((c & sectorMask_) == 0 && c >= kMinPieceBytes)) {
      length = (c + sectorMask_) & ~sectorMask_;
      padding = length - c;
    }
  } else {
    // The caller's direct mode writes the request as it comes.
    // An unaligned src is written buffered by WriteData.
    if (pending_ && !Flush()) return 0;
    return WriteData(src, n, 0);
  }
  if (length == 0) {
    std::memcpy(area + pending_, src, n);
    pending_ += n;
    return 1;
  }
  const uint32_t c = length - padding;
  const uint32_t take = c - pending_;  // data bytes that fit this write
  std::memcpy(area + pending_, src, take);
  if (padding) std::memset(area + c, 0, padding);
  const int ok = WriteData(area, length, padding);
  const uint32_t rest = n - take;
  pending_ = 0;
  if (rest) {
    std::memcpy(area, src + take, rest);
    pending_ = rest;
  }
  return ok;
}

int RecFile::WriteCompressedData(uint32_t n) {
  if (n == 0) return 1;
  if (pending_ && !Flush()) return 0;
  uint32_t length = n, padding = 0;
  if (!direct_ && odirect_) {
    length = (n + sectorMask_) & ~sectorMask_;
    if (length > capacity_) CreateBuffer(length);
    padding = length - n;
    if (padding) std::memset(GetDataBuffer() + n, 0, padding);
  }
  return WriteData(GetDataBuffer(), length, padding);
}

int RecFile::WriteZero(uint64_t n) {
  const uint8_t* zeros = ZeroBuffer();
  while (n > 0) {
    const uint32_t piece = uint32_t(std::min<uint64_t>(n, kZeroBufferBytes));
    if (!Write(piece, zeros)) return 0;
    n -= piece;
  }
  return 1;
}

int RecFile::ExtendTo(uint64_t length) {
  if (fd_ < 0) return 0;
  if (pending_ && !Flush()) return 0;
  if (WriteEmptyFiles()) return 1;
  if (startOffset_ + written_ >= length) return 1;
  DropDirect();
  if (::ftruncate(fd_, off_t(length)) != 0) {
    ErrorMsg(nullptr, path_.c_str());
    return 0;
  }
  written_ = length - startOffset_;
  return 1;
}

int RecFile::WriteHole(uint64_t n) {
  if (n == 0) return 1;
  if (fd_ < 0) {
    ErrorMsg(u"The destination file is not open.");
    return 0;
  }
  if (pending_ && !Flush()) return 0;
  uint64_t end;
  if (__builtin_add_overflow(startOffset_ + written_, n, &end) || end > uint64_t(INT64_MAX)) {
    ErrorMsg(u"The file's size is larger than any file can be.");
    return 0;
  }
  if (WriteEmptyFiles()) {
    written_ += n;
    return 1;
  }
  // Where a resumed file already has bytes, the hole must read as zeros
  // too: punched out, else written.
  const uint64_t at = startOffset_ + written_;
  if (at < resumedLength_) {
    const uint64_t overlap = std::min(n, resumedLength_ - at);
    if (::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(at), off_t(overlap)) != 0) {
      if (!WriteZero(overlap) || !Flush()) return 0;
      n -= overlap;
      if (n == 0) return 1;
    }
  }
  written_ += n;
  endsInHole_ = true;
  return 1;
}

int RecFile::Flush() {
  if (fd_ < 0) return 1;
  if (pending_ == 0) return SetTrueLength();
  const uint32_t p = pending_;
  uint32_t length = p;
  if (odirect_) {
    length = (p + sectorMask_) & ~sectorMask_;
    if (length > p) std::memset(GetDataBuffer() + p, 0, length - p);
  }
  pending_ = 0;
  if (!WriteData(GetDataBuffer(), length, length - p)) return 0;
  return SetTrueLength();
}

int RecFile::SetTrueLength() {
  // A resumed file may be longer than what is written now (an earlier run's
  // bytes past the new end), and one that ends in a hole is shorter: its
  // length is the true one.
  if ((!resumed_ && !endsInHole_) || WriteEmptyFiles()) return 1;
  endsInHole_ = false;
  DropDirect();
  if (::ftruncate(fd_, off_t(startOffset_ + written_)) != 0) {
    ErrorMsg(nullptr, path_.c_str());
    return 0;
  }
  return 1;
}

void RecFile::SetFileTime(uint64_t creationTime, uint64_t lastWriteTime) {
  (void)creationTime;
  if (fd_ < 0 || lastWriteTime == 0) return;
  struct timespec ts[2];
  ts[0].tv_sec = 0;
  ts[0].tv_nsec = UTIME_OMIT;
  ts[1].tv_sec = time_t(int64_t(lastWriteTime / kFileTimeUnitsPerSecond) - kFileTimeUnixEpochSeconds);
  ts[1].tv_nsec = long(lastWriteTime % kFileTimeUnitsPerSecond * 100);
  if (::futimens(fd_, ts) != 0 && traceIo) TracePrintfA("futimens: %s\n", std::strerror(errno));
}

int RecFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_.clear();
  expectedType_ = 255;
  odirect_ = false;
  return 0;
}

mode_t RecoveredFileMode() {
  static const mode_t mode = [] {
    unsigned mask = 022;
    // The umask is read without changing it (umask() would, for every thread).
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
      char line[256];
      while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
      std::fclose(f);
    }
    return mode_t(0666 & ~mask);
  }();
  return mode;
}

RecFile& ThreadRecFile() {
  thread_local RecFile writer;
  return writer;
}
