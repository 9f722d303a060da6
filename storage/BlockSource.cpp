#include "storage/BlockSource.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

bool BlockSource::GetFacts(DeviceFacts*) const { return false; }

bool QueryDeviceFacts(int fd, DeviceFacts* facts) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  DeviceFacts f;
  if (S_ISBLK(st.st_mode)) {
    f.isBlockDevice = true;
    uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) return false;
    f.sizeBytes = bytes;
    int logical = 0;
    unsigned int physical = 0;
    if (ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0) f.logicalSectorSize = uint32_t(logical);
    if (ioctl(fd, BLKPBSZGET, &physical) == 0) f.physicalSectorSize = physical;
    struct hd_geometry geo {};
    if (ioctl(fd, HDIO_GETGEO, &geo) == 0 && geo.heads != 0 && geo.sectors != 0) {
      f.heads = geo.heads;
      f.sectorsPerTrack = geo.sectors;
    }
  } else if (S_ISREG(st.st_mode)) {
    f.sizeBytes = st.st_size > 0 ? uint64_t(st.st_size) : 0;
  } else {
    errno = EINVAL;
    return false;
  }
  const uint32_t unit = f.logicalSectorSize ? f.logicalSectorSize : 512;
  f.cylinders = f.sizeBytes / unit / (uint64_t(f.heads) * f.sectorsPerTrack);
  *facts = f;
  return true;
}

FileBlockSource::FileBlockSource(int fd, bool direct, const DeviceFacts& facts)
    : fd_(fd), direct_(direct), alignment_(facts.logicalSectorSize ? facts.logicalSectorSize : 512), facts_(facts) {}

FileBlockSource::~FileBlockSource() {
  if (fd_ >= 0) close(fd_);
}

std::unique_ptr<FileBlockSource> FileBlockSource::Open(const std::string& path, bool allowDirect) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DeviceFacts facts;
  if (!QueryDeviceFacts(fd, &facts)) {
    int e = errno;
    close(fd);
    errno = e;
    return nullptr;
  }
  std::unique_ptr<FileBlockSource> source(new FileBlockSource(fd, false, facts));
  // Image files stay buffered: they are read like any file, and the page
  // cache is what makes a second pass over an image fast.
  if (allowDirect && facts.isBlockDevice) source->SetDirect(true);
  return source;
}

bool FileBlockSource::GetFacts(DeviceFacts* facts) const {
  *facts = facts_;
  return true;
}

bool FileBlockSource::SetDirect(bool on) {
  int flags = fcntl(fd_, F_GETFL);
  if (flags < 0) return false;
  int wanted = on ? (flags | O_DIRECT) : (flags & ~O_DIRECT);
  if (wanted != flags && fcntl(fd_, F_SETFL, wanted) != 0) return false;
  direct_ = on;
  return true;
}

int64_t FileBlockSource::ReadBuffered(void* buffer, size_t length, uint64_t offset) {
  for (;;) {
    ssize_t n = pread(fd_, buffer, length, off_t(offset));
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

int64_t FileBlockSource::ReadAt(void* buffer, size_t length, uint64_t offset) {
  if (offset > uint64_t(INT64_MAX) || length > uint64_t(INT64_MAX) - offset) {
    errno = EINVAL;
    return -1;
  }
  if (!direct_) return ReadBuffered(buffer, length, offset);
  const uint64_t mask = alignment_ - 1;
  if (((offset | length | reinterpret_cast<uintptr_t>(buffer)) & mask) != 0) {
    // An unaligned piece (an exclusion boundary inside a sector, a forced
    // sector size) is read through the page cache for this one call.
    if (!SetDirect(false)) return ReadBuffered(buffer, length, offset);
    int64_t n = ReadBuffered(buffer, length, offset);
    int e = errno;
    SetDirect(true);
    errno = e;
    return n;
  }
  int64_t n = ReadBuffered(buffer, length, offset);
  if (n < 0 && errno == EINVAL) {
    // The driver refuses direct reads after all: read buffered from now on.
    if (SetDirect(false) || !direct_) return ReadBuffered(buffer, length, offset);
    errno = EINVAL;
  }
  return n;
}

namespace {
std::mutex g_openerMutex;
BlockSourceOpener g_opener;
}  // namespace

void SetBlockSourceOpener(BlockSourceOpener opener) {
  std::lock_guard<std::mutex> lock(g_openerMutex);
  g_opener = std::move(opener);
}

std::unique_ptr<BlockSource> OpenBlockSource(const std::string& path, bool allowDirect) {
  BlockSourceOpener opener;
  {
    std::lock_guard<std::mutex> lock(g_openerMutex);
    opener = g_opener;
  }
  if (opener) return opener(path, allowDirect);
  return FileBlockSource::Open(path, allowDirect);
}
