#include "diagnostics/IoRecorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "diagnostics/IoTraceFormat.h"
#include "foundation/PathUtil.h"
#include "foundation/SpecialOptions.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Memory.h"
#include "storage/Drive.h"

using namespace iotrace;

namespace {

// A record is assembled here, then appended whole.
class Bytes {
 public:
  void U8(uint64_t v) { Le(v, 1); }
  void U16(uint64_t v) { Le(v, 2); }
  void U32(uint64_t v) { Le(v, 4); }
  void Le(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b_[n_++] = uint8_t(v >> (8 * i));
  }
  void Raw(const void* p, size_t n) {
    std::memcpy(b_ + n_, p, n);
    n_ += n;
  }
  const uint8_t* data() const { return b_; }
  size_t size() const { return n_; }

 private:
  uint8_t b_[1024];
  size_t n_ = 0;
};

// A name of at most `limit` characters: 1 byte each, or UTF-16 when any
// character is above 255. Longer names are cut to the field.
void PutName(Bytes& b, WStringView name, size_t limit, bool* wide) {
  name = name.substr(0, std::min(name.size(), limit));
  *wide = std::any_of(name.begin(), name.end(), [](char16_t c) { return c > 255; });
  b.U8(name.size());
  for (char16_t c : name) b.Le(c, *wide ? 2 : 1);
}

uint32_t ClampBytes(uint64_t v) { return uint32_t(std::min<uint64_t>(v, 0xFFFF)); }

}  // namespace

IoRecorder::IoRecorder() = default;

IoRecorder::~IoRecorder() { Close(); }

bool IoRecorder::RecordsOn() const {
  return logFd_ >= 0 && !closedForReopen_ && traceMft.load(std::memory_order_relaxed);
}
bool IoRecorder::ReadsOn() const { return logFd_ >= 0 && !closedForReopen_ && traceIo.load(std::memory_order_relaxed); }

void IoRecorder::Reset() {
  dataFd_ = logFd_ = -1;
  dataDirect_ = logDirect_ = closedForReopen_ = wantDirect_ = false;
  folder_.clear();
  stem_.clear();
  logNumber_ = 1;
  fill_ = staged_ = 0;
  base_ = 0;
  shift_ = 9;
  channel_ = 0;
  channelPos_ = -1;
  channelBlock_ = blockCount_ = 0;
  blocksInFile_ = 0;
  prevValid_ = false;
  prevSector_ = prevCount_ = 0;
  cache_[0] = cache_[1] = cache_[2] = 0;
  foundFiles_ = sameFiles_ = 0;
}

void IoRecorder::Init() {
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    CloseFiles(false);
  } catch (const DvCodeError&) {
  }
  ranges_.Free();
  Reset();
}

void IoRecorder::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  // Files closed for reopening still owe their pending bytes and the end.
  // A failure leaves its file's name in the last error; closing goes on.
  try {
    if (closedForReopen_) ReopenLocked();
  } catch (const DvCodeError&) {
  }
  try {
    CloseFiles(true);
  } catch (const DvCodeError&) {
  }
  ranges_.Free();
  Reset();
}

std::string IoRecorder::LogName(int number) const {
  char tail[8];
  std::snprintf(tail, sizeof tail, "_%02d.bin", number);
  return folder_ + "/" + stem_ + tail;
}

std::string IoRecorder::DataPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stem_.empty() ? std::string() : folder_ + "/" + stem_ + "_00.bin";
}
std::string IoRecorder::LogPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stem_.empty() ? std::string() : LogName(logNumber_);
}
bool IoRecorder::Direct() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dataDirect_ && logDirect_;
}
bool IoRecorder::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return logFd_ >= 0 && !closedForReopen_;
}
uint64_t IoRecorder::BlockCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return blockCount_;
}
uint32_t IoRecorder::FoundFiles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return foundFiles_;
}
uint32_t IoRecorder::SameReferenceFiles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sameFiles_;
}
void IoRecorder::SetRotationForTest(int number, int blocksInFile) {
  std::lock_guard<std::mutex> lock(mutex_);
  logNumber_ = number;
  blocksInFile_ = blocksInFile;
}

void IoRecorder::Fail(const std::string& name, int error) {
  errno = error;
  ErrorMsg(nullptr, FromUtf8(name).c_str());
  throw DvCodeError{0};
}

// Never through a link (the folder is often /tmp and the program may run
// as root); new files only for the owner. Unbuffered when asked and the
// folder's file system takes it.
int IoRecorder::OpenFile(const std::string& name, bool create, bool* direct) {
  const int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT | O_TRUNC : 0);
  int fd = -1;
  if (*direct) {
    fd = ::open(name.c_str(), flags | O_DIRECT, 0600);
    if (fd < 0 && errno == EINVAL) *direct = false;
  }
  if (fd < 0 && !*direct) fd = ::open(name.c_str(), flags, 0600);
  if (fd < 0) return -1;
  if (!create && ::lseek(fd, 0, SEEK_END) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void IoRecorder::WriteOrThrow(int fd, bool* direct, const std::string& name, const uint8_t* data, size_t n) {
  while (n) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EINVAL && *direct) {
      // A length or position the device cannot take unbuffered: the rest
      // goes through the page cache.
      const int fl = ::fcntl(fd, F_GETFL);
      if (fl >= 0 && ::fcntl(fd, F_SETFL, fl & ~O_DIRECT) == 0) {
        *direct = false;
        continue;
      }
    }
    if (w <= 0) Fail(name, w < 0 ? errno : ENOSPC);
    data += w;
    n -= size_t(w);
  }
}

int IoRecorder::Open() { return Open(theTrace().TraceFilePath()); }

int IoRecorder::Open(WStringView tracePath) {
  uint32_t shift = 9;
  WString name;
  if (g_currentDrive) {
    shift = g_currentDrive->Shift();
    name = g_currentDrive->DisplayName();
  }
  return Open(tracePath, shift, name);
}

int IoRecorder::Open(WStringView tracePath, uint32_t shift, WStringView driveName) {
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    CloseFiles(false);
  } catch (const DvCodeError&) {
  }
  Reset();
  std::string path = ToUtf8(tracePath);
  const size_t cut = path.find_last_of('/');
  folder_ = cut == std::string::npos ? std::string(".") : path.substr(0, std::max<size_t>(cut, 1));
  if (shift < 9 || shift > 16) shift = 9;
  shift_ = shift;
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  gmtime_r(&now, &t);
  char stem[32];
  std::snprintf(stem, sizeof stem, "Marbrix_%02d%02d%02d_%02d%02d%02d", t.tm_year % 100, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  stem_ = stem;
  // Unbuffered unless the folder's sectors are larger than the source's
  // (a 512-byte source into a 4,096-byte folder writes buffered).
  const int folderSector = GetPathSectorSize(FromUtf8(folder_));
  wantDirect_ = folderSector > 0 && ((1u << shift) % uint32_t(folderSector)) == 0;
  buffer_ = static_cast<uint8_t*>(AlignedAlloc(kBufferBytes));
  stage_ = static_cast<uint8_t*>(AlignedAlloc(kDataStage));
  if (!buffer_ || !stage_) {
    CloseFiles(false);
    ShowErrorAndThrow();
  }
  const std::string dataName = folder_ + "/" + stem_ + "_00.bin";
  dataDirect_ = logDirect_ = wantDirect_;
  dataFd_ = OpenFile(dataName, true, &dataDirect_);
  if (dataFd_ < 0) {
    const int e = errno;
    CloseFiles(false);
    Reset();
    Fail(dataName, e);
  }
  logFd_ = OpenFile(LogName(1), true, &logDirect_);
  if (logFd_ < 0) {
    const int e = errno;
    const std::string logName = LogName(1);
    CloseFiles(false);
    Reset();
    Fail(logName, e);
  }
  Bytes b;
  b.U8(kHeader);
  b.U8(kFormatVersion);
  b.U8(3);
  b.U8(0);
  b.U8(shift);
  WString name(driveName.empty() ? WStringView(u" ") : driveName.substr(0, std::min<size_t>(driveName.size(), 400)));
  b.U16(name.size());
  for (char16_t c : name) b.U16(c);
  Put(b.data(), b.size());
  return 0;
}

void IoRecorder::Put(const void* bytes, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  while (n) {
    const size_t c = std::min(n, kBufferBytes - fill_);
    std::memcpy(buffer_ + fill_, p, c);
    fill_ += c;
    p += c;
    n -= c;
    while (fill_ >= kBlockBytes) FlushBlock();
  }
}

void IoRecorder::FlushBlock() {
  WriteOrThrow(logFd_, &logDirect_, LogName(logNumber_), buffer_, kBlockBytes);
  std::memmove(buffer_, buffer_ + kBlockBytes, fill_ - kBlockBytes);
  fill_ -= kBlockBytes;
  ++blockCount_;
  ++blocksInFile_;
  if (blocksInFile_ >= kBlocksPerFile) AdvanceLogFile();
  else if (blocksInFile_ % 2 == 0) ReopenLog(false);
}

void IoRecorder::ReopenLog(bool truncate) {
  if (logFd_ >= 0) ::close(logFd_);
  logFd_ = -1;
  const std::string name = LogName(logNumber_);
  logDirect_ = wantDirect_;
  logFd_ = OpenFile(name, false, &logDirect_);
  if (logFd_ < 0) Fail(name, errno);
  if (truncate) {
    const off_t keep = off_t(blocksInFile_) * off_t(kBlockBytes);
    if (::ftruncate(logFd_, keep) != 0 || ::lseek(logFd_, keep, SEEK_SET) != keep) Fail(name, errno);
  }
}

void IoRecorder::AdvanceLogFile() {
  if (logNumber_ >= 99) {
    ErrorMsg(u"Too many trace files");
    throw DvCodeError{0};
  }
  ::close(logFd_);
  logFd_ = -1;
  ++logNumber_;
  blocksInFile_ = 0;
  const std::string name = LogName(logNumber_);
  logDirect_ = wantDirect_;
  logFd_ = OpenFile(name, true, &logDirect_);
  if (logFd_ < 0) Fail(name, errno);
}

uint16_t IoRecorder::Rebase(int64_t sector) {
  const uint64_t s = sector < 0 ? 0 : uint64_t(sector);
  if (s < base_ || s - base_ > 0xFFFF) {
    base_ = s & ~uint64_t(0xFFFF);
    Bytes b;
    b.U8(kBase);
    b.U32(base_ >> 16);
    Put(b.data(), b.size());
  }
  return uint16_t(s - base_);
}

void IoRecorder::FlushData(bool all) {
  if (dataFd_ < 0 || staged_ == 0) return;
  const std::string name = folder_ + "/" + stem_ + "_00.bin";
  WriteOrThrow(dataFd_, &dataDirect_, name, stage_, staged_);
  staged_ = 0;
  (void)all;
}

void IoRecorder::AppendData(const void* data, size_t bytes, size_t total) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < total) {
    if (staged_ == kDataStage) FlushData(false);
    const size_t c = std::min(total - done, kDataStage - staged_);
    if (p && done < bytes) {
      const size_t real = std::min(c, bytes - done);
      std::memcpy(stage_ + staged_, p + done, real);
      if (real < c) std::memset(stage_ + staged_ + real, 0, c - real);
    } else {
      std::memset(stage_ + staged_, 0, c);
    }
    staged_ += c;
    done += c;
  }
}

void IoRecorder::LogRead(uint64_t sector, uint64_t count) {
  Bytes b;
  if (prevValid_ && sector == prevSector_ + prevCount_ && count == prevCount_) {
    b.U8(kReadNext);
    Put(b.data(), b.size());
    prevSector_ = sector;
    return;
  }
  // Opcode 9 packs the count into the sector's low bits; the decoder finds
  // it from the run of ones, so the sector is aligned to twice the count.
  const bool power = count <= 65536 && (count & (count - 1)) == 0;
  if (power && sector % (2 * count) == 0 && sector < (uint64_t(1) << 48)) {
    b.U8(kReadRange);
    b.Le(sector | (count - 1), 6);
    Put(b.data(), b.size());
    prevValid_ = true;
    prevSector_ = sector;
    prevCount_ = count;
    return;
  }
  uint64_t s = sector, left = count;
  while (left) {
    const uint64_t n = std::min<uint64_t>(left, 0xFFFF);
    Bytes r;
    const uint16_t off = Rebase(int64_t(s));
    r.U8(kRead);
    r.U16(off);
    r.U16(n);
    Put(r.data(), r.size());
    s += n;
    left -= n;
  }
  // A split read is no unit the next read can continue.
  prevValid_ = count <= 0xFFFF;
  prevSector_ = sector;
  prevCount_ = count;
}

int IoRecorder::RecordRead(const uint32_t* record, const void* data) {
  if (!record) return 0;
  const int64_t sector = int64_t(uint64_t(record[0]) | (uint64_t(record[1]) << 32));
  return RecordRead(sector, record[2], 0, data);
}

int IoRecorder::RecordRead(int64_t sector, uint32_t bytes, uint32_t sectorSize, const void* data) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ReadsOn() || sector < 0 || bytes == 0) return 0;
  const uint32_t unit = 1u << shift_;
  // A drive with larger sectors than the header's: the same bytes in the
  // header's units.
  uint64_t s = uint64_t(sector);
  if (sectorSize > unit && sectorSize % unit == 0) {
    const uint64_t k = sectorSize / unit;
    if (s > UINT64_MAX / k) return 0;
    s *= k;
  }
  const uint64_t count = (uint64_t(bytes) + unit - 1) >> shift_;
  LogRead(s, count);
  AppendData(data, bytes, size_t(count << shift_));
  return 0;
}

int IoRecorder::LogSector(int64_t sector, const void* data) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!RecordsOn() || sector < 0) return 0;
  LogRead(uint64_t(sector), 1);
  AppendData(data, size_t(1) << shift_, size_t(1) << shift_);
  return 0;
}

int IoRecorder::SetChannel(uint8_t channel) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ReadsOn() && !RecordsOn()) return 0;
  if (channel == channel_) return 0;
  channel_ = channel;
  if (channelPos_ >= 0 && fill_ == size_t(channelPos_) + 1 && blockCount_ == channelBlock_) {
    buffer_[channelPos_] = channel;
    return 0;
  }
  const uint8_t b[2] = {kChannel, channel};
  Put(b, 2);
  channelPos_ = fill_ >= 1 ? int64_t(fill_ - 1) : -1;
  channelBlock_ = blockCount_;
  return 0;
}

int IoRecorder::LogOp5(int64_t sector, uint64_t value, uint32_t value2) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!RecordsOn()) return 0;
  const uint16_t off = Rebase(sector);
  Bytes b;
  b.U8(kOp5);
  b.U16(off);
  b.U32(value);
  b.U32(value2);
  Put(b.data(), b.size());
  return 0;
}

int IoRecorder::LogOp6(int64_t sector, uint16_t first, uint16_t second) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!RecordsOn()) return 0;
  const uint16_t off = Rebase(sector);
  Bytes b;
  b.U8(kStride);
  b.U16(first);
  b.U16(second);
  b.U16(off);
  Put(b.data(), b.size());
  return 0;
}

int IoRecorder::LogOp11(int code, uint32_t bytes, int64_t sector) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ReadsOn()) return 0;
  const uint16_t off = Rebase(sector);
  Bytes b;
  b.U8(kDriveOp);
  b.U8(uint8_t(code));
  b.U16(ClampBytes(bytes / 512));
  b.U16(off);
  Put(b.data(), b.size());
  return 0;
}

int IoRecorder::LogOp12(uint8_t type, int64_t sector, uint64_t size, uint32_t counter) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!RecordsOn()) return 0;
  const uint16_t off = Rebase(sector);
  Bytes b;
  b.U8(kHit);
  b.U8(type);
  b.U16(off);
  if (size >= 0xFFFFFFFFu) {
    b.U32(0xFFFFFFFFu);
    b.Le(size, 8);
  } else {
    b.U32(size);
  }
  if (counter >= 0xFFFF) {
    b.U16(0xFFFF);
    b.U32(counter);
  } else {
    b.U16(counter);
  }
  Put(b.data(), b.size());
  return 0;
}

int IoRecorder::LogOp15(int64_t sector, uint32_t a, uint32_t b24) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!RecordsOn()) return 0;
  const uint16_t off = Rebase(sector);
  Bytes b;
  b.U8(kOp15);
  b.U16(off);
  b.Le(std::min<uint32_t>(a, 0xFFFFFF), 3);
  b.Le(std::min<uint32_t>(b24, 0xFFFFFF), 3);
  Put(b.data(), b.size());
  return 0;
}

int IoRecorder::LogOp16(uint8_t fileType, int64_t sector, uint32_t inode, std::string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!RecordsOn()) return 0;
  const uint16_t off = Rebase(sector);
  Bytes b;
  b.U8(kDirEntry);
  b.U8(fileType);
  b.U16(off);
  b.U32(inode);
  name = name.substr(0, std::min<size_t>(name.size(), 255));
  b.U8(name.size());
  b.Raw(name.data(), name.size());
  Put(b.data(), b.size());
  return 0;
}

int IoRecorder::LogOp17(int64_t sector, uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!RecordsOn()) return 0;
  const uint16_t off = Rebase(sector);
  Bytes b;
  b.U8(kOp17);
  b.U16(off);
  b.U32(value);
  Put(b.data(), b.size());
  return 0;
}

int IoRecorder::LogOp20(uint8_t kind, uint16_t value16, uint64_t value, int64_t sector) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!RecordsOn()) return 0;
  const bool six = value > 0xFFFFFFFFu;
  Bytes b;
  b.U8(kOp20);
  b.U8(kind);
  b.U8((sector < 0 ? 1 : 0) | (six ? 2 : 0));
  b.U16(value16);
  b.Le(value, six ? 6 : 4);
  if (sector >= 0) b.Le(uint64_t(sector), 6);
  Put(b.data(), b.size());
  return 0;
}

int IoRecorder::LogOp23(uint8_t kind, int64_t sector, uint32_t a, bool hasValue, uint32_t v, uint64_t w) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!RecordsOn()) return 0;
  const uint16_t off = Rebase(sector);
  const bool eight = w > 0xFFFFFFFFu;
  Bytes b;
  b.U8(kOp23);
  b.U8((kind == 2 ? 8 : 0) | (hasValue ? 0 : 2) | (hasValue && eight ? 4 : 0));
  b.U16(off);
  b.U32(a);
  if (hasValue) {
    b.U32(v);
    b.Le(w, eight ? 8 : 4);
  }
  Put(b.data(), b.size());
  return 0;
}

int IoRecorder::LogOp24(int64_t sector, const uint32_t* seven, uint8_t shortForm) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!RecordsOn()) return 0;
  const uint16_t off = Rebase(sector);
  Bytes b;
  b.U8(kOp24);
  b.U8(seven ? 0 : 1);
  b.U16(off);
  if (seven) {
    for (int i = 0; i < 7; ++i) b.U32(seven[i]);
  } else {
    b.U8(shortForm);
  }
  Put(b.data(), b.size());
  return 0;
}

int IoRecorder::LogOp25(bool kind2, int64_t sector, uint32_t value, std::string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!RecordsOn()) return 0;
  const uint16_t off = Rebase(sector);
  Bytes b;
  b.U8(kOp25);
  b.U8(kind2 ? 8 : 0);
  b.U16(off);
  b.U32(value);
  name = name.substr(0, std::min<size_t>(name.size(), 127));
  b.U8(name.size());
  b.Raw(name.data(), name.size());
  Put(b.data(), b.size());
  return 0;
}

int IoRecorder::LogVmfsRecord(int64_t sector, const void* entry) {
  if (!entry) return 0;
  // type, block, record id, then a 128-byte name.
  const uint8_t* e = static_cast<const uint8_t*>(entry);
  const uint32_t type = uint32_t(e[0]) | uint32_t(e[1]) << 8 | uint32_t(e[2]) << 16 | uint32_t(e[3]) << 24;
  const uint32_t block = uint32_t(e[4]) | uint32_t(e[5]) << 8 | uint32_t(e[6]) << 16 | uint32_t(e[7]) << 24;
  const char* name = reinterpret_cast<const char*>(e + 12);
  const size_t len = strnlen(name, 128);
  return LogOp25(type == 2, sector, block, std::string_view(name, len));
}

int IoRecorder::LogContentSample(int64_t sector, int a, int b) {
  return LogOp15(sector, uint32_t(std::max(a, 0)), uint32_t(std::max(b, 0)));
}

int IoRecorder::LogFoundFile(const IoTraceFoundFile& f) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!RecordsOn()) return 0;
  const uint16_t off = Rebase(f.recordSector);
  const bool same = f.position == f.secondPosition;
  const bool six = f.size > 0xFFFFFFFFu;
  WStringView name(f.name);
  name = name.substr(0, std::min<size_t>(name.size(), 255));
  const bool wide = std::any_of(name.begin(), name.end(), [](char16_t c) { return c > 255; });
  uint8_t flags = (wide ? 1 : 0) | (six ? 2 : 0) | (same ? 4 : 0) | (f.directory ? 8 : 0) | (f.hasExtra ? 0x10 : 0) |
                  (f.withoutRuns ? 0x20 : 0);
  Bytes b;
  b.U8(kFoundFile);
  b.U8(flags);
  b.U8(name.size());
  b.Le(f.parent, 5);
  b.U16(off);
  if (f.hasExtra) b.U32(f.extra);
  if (!same) b.Le(f.secondPosition, 5);
  b.Le(f.size, six ? 6 : 4);
  Put(b.data(), b.size());
  // The name apart: 255 UTF-16 characters do not fit the record buffer's
  // fixed part comfortably with the rest.
  Bytes n;
  for (char16_t c : name) n.Le(c, wide ? 2 : 1);
  Put(n.data(), n.size());
  if (same) ++sameFiles_;
  if (f.withoutRuns) return 0;
  ++foundFiles_;
  if (f.runLists.empty()) return 0;
  // Room is checked as the bytes go in: an entry may be far larger than
  // the buffer (255 x 65,537 bytes at most).
  const size_t entries = std::min<size_t>(f.runLists.size(), 255);
  const uint8_t head[2] = {kRunLists, uint8_t(entries)};
  Put(head, 2);
  for (size_t i = 0; i < entries; ++i) {
    const size_t len = std::min<size_t>(f.runLists[i].size(), 0xFFFF);
    const uint8_t l[2] = {uint8_t(len), uint8_t(len >> 8)};
    Put(l, 2);
    if (len) Put(f.runLists[i].data(), len);
  }
  return 0;
}

// HFS+ catalog leaf records, big-endian: key length, parent, name (length
// and UTF-16 characters), then the record type: 1 folder (88 bytes), 2 file
// (248), 3 and 4 threads (10 + 2 x name length).
int IoRecorder::LogFileRecord(const void* record, int room) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!RecordsOn() || !record || room < 8) return 0;
  const uint8_t* r = static_cast<const uint8_t*>(record);
  auto be16 = [&](int at) { return uint32_t(r[at]) << 8 | r[at + 1]; };
  auto be32 = [&](int at) { return be16(at) << 16 | be16(at + 2); };
  const int keyLength = int(be16(0));
  if (keyLength < 6 || keyLength + 2 + 2 > room) return 0;
  const uint32_t parent = be32(2);
  const int nameChars = int(be16(6));
  if (8 + 2 * nameChars > keyLength + 2 || nameChars > 255) return 0;
  const int at = 2 + keyLength + (keyLength & 1);
  if (at + 2 > room) return 0;
  const uint32_t type = be16(at);
  WString name;
  for (int i = 0; i < nameChars; ++i) name.push_back(char16_t(be16(8 + 2 * i)));
  const uint16_t off = Rebase(int64_t(prevValid_ ? prevSector_ : base_));
  Bytes b;
  bool wide = false;
  if (type == 1 || type == 2) {
    const int size = type == 1 ? 88 : 248;
    if (at + size > room) return 0;
    const uint32_t id = be32(at + 8);
    const uint32_t times[3] = {be32(at + 12), be32(at + 16), be32(at + 24)};  // create, modify, access
    uint64_t bytes = 0;
    if (type == 2)
      for (int i = 0; i < 8; ++i) bytes = bytes << 8 | r[at + 88 + i];
    const bool six = bytes > 0xFFFFFFFFu;
    Bytes tail;
    PutName(tail, name, 255, &wide);
    uint8_t flags = (wide ? 1 : 0) | (six ? 2 : 0) | (type == 2 ? 8 : 0);
    const uint8_t omit[3] = {4, 0x10, 0x20};
    for (int i = 0; i < 3; ++i)
      if (times[i] == cache_[i]) flags |= omit[i];
    b.U8(kCatalog);
    b.U8(flags);
    b.U16(off);
    b.U32(parent);
    b.U32(id);
    if (type == 2) b.Le(bytes, six ? 6 : 4);
    for (int i = 0; i < 3; ++i)
      if (!(flags & omit[i])) b.U32(times[i]), cache_[i] = times[i];
    b.Raw(tail.data(), tail.size());
    Put(b.data(), b.size());
    return size;
  }
  if (type == 3 || type == 4) {
    if (at + 10 > room) return 0;
    const uint32_t threadParent = be32(at + 4);
    const int chars = int(be16(at + 8));
    if (chars > 255 || at + 10 + 2 * chars > room) return 0;
    WString threadName;
    for (int i = 0; i < chars; ++i) threadName.push_back(char16_t(be16(at + 10 + 2 * i)));
    Bytes tail;
    PutName(tail, threadName, 255, &wide);
    b.U8(kNamed);
    b.U8((wide ? 1 : 0) | (type == 3 ? 8 : 0));
    b.U16(off);
    b.U32(parent);
    b.U32(threadParent);
    b.Raw(tail.data(), tail.size());
    Put(b.data(), b.size());
    return 10 + 2 * chars;
  }
  return 0;
}

void IoRecorder::CloseFiles(bool final) {
  // The files are closed and the buffers freed even when a write fails;
  // the failure is passed on after.
  bool failed = false;
  try {
    if (logFd_ >= 0 && buffer_ && !closedForReopen_) {
      if (final) {
        const uint8_t end = kEnd;
        Put(&end, 1);
        const size_t padded = (fill_ + 4095) & ~size_t(4095);
        std::memset(buffer_ + fill_, 0, padded - fill_);
        fill_ = padded;
      }
      WriteOrThrow(logFd_, &logDirect_, LogName(logNumber_), buffer_, fill_);
      fill_ = 0;
    }
    if (dataFd_ >= 0 && stage_) FlushData(true);
  } catch (const DvCodeError&) {
    failed = true;
  }
  if (dataFd_ >= 0) ::close(dataFd_);
  if (logFd_ >= 0) ::close(logFd_);
  dataFd_ = logFd_ = -1;
  closedForReopen_ = false;
  AlignedFree(buffer_);
  AlignedFree(stage_);
  buffer_ = stage_ = nullptr;
  if (failed) throw DvCodeError{0};
}

int IoRecorder::FlushAndCloseFiles() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (logFd_ < 0 || closedForReopen_) return 0;
  WriteOrThrow(logFd_, &logDirect_, LogName(logNumber_), buffer_, fill_);
  FlushData(true);
  ::close(dataFd_);
  ::close(logFd_);
  dataFd_ = logFd_ = -1;
  closedForReopen_ = true;
  return 0;
}

int IoRecorder::ReopenFiles() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!closedForReopen_) return 0;
  ReopenLocked();
  return 0;
}

void IoRecorder::ReopenLocked() {
  const std::string dataName = folder_ + "/" + stem_ + "_00.bin";
  dataDirect_ = wantDirect_;
  dataFd_ = OpenFile(dataName, false, &dataDirect_);
  if (dataFd_ < 0) Fail(dataName, errno);
  closedForReopen_ = false;
  // The pending bytes stay in the buffer; the log goes back to its last
  // whole block.
  ReopenLog(true);
}

uint64_t IoRecorder::NextTraceRange(int64_t sector, uint64_t record) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ranges_.Next(sector, record);
}

int IoRecorder::LoadTraceOptions() { return LoadTraceOptions(SpecialOptionsPath()); }

int IoRecorder::LoadTraceOptions(const std::string& path) {
  IniFile file;
  std::lock_guard<std::mutex> lock(mutex_);
  ranges_.Free();
  if (!file.Load(path)) return 0;
  return ranges_.Load(file);
}

namespace {

struct Installed {
  IoRecorder recorder;
  Installed() {
    recorder.Init();
    g_ioTrace = &recorder;
  }
  ~Installed() {
    g_ioTrace = nullptr;
    recorder.Close();
  }
};
std::unique_ptr<Installed> g_installed;

}  // namespace

const StartupObject kStartupIoRecorder{[] { g_installed = std::make_unique<Installed>(); },
                                       [] { g_installed.reset(); }};
