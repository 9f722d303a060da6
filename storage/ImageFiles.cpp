#include "storage/ImageFiles.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>

#include "foundation/Trace.h"
#include "storage/PartitionTable.h"

namespace {
std::atomic<ImagePartitionReader> g_partitionReader{nullptr};

bool StatPath(WStringView path, struct stat* st) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  return stat(ToUtf8(path).c_str(), st) == 0;
}
}  // namespace

void SetImagePartitionReader(ImagePartitionReader reader) { g_partitionReader.store(reader); }

CImgFile::CImgFile() { entries_.reserve(capacity_); }

CImgFile::~CImgFile() = default;

int CImgFile::FindLocked(WStringView path) const {
  for (size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].path == path) return int(i);
  // Another spelling of a registered file (a link, "/./", "//").
  struct stat st;
  if (!StatPath(path, &st) || !S_ISREG(st.st_mode)) return -1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].dev != uint64_t(st.st_dev) || entries_[i].ino != uint64_t(st.st_ino)) continue;
    // The registered path must still name that file: a deleted image's
    // inode number is soon given to another file.
    struct stat again;
    if (StatPath(entries_[i].path, &again) && again.st_dev == st.st_dev && again.st_ino == st.st_ino) return int(i);
  }
  return -1;
}

int CImgFile::Find(WStringView path) const {
  std::lock_guard<std::mutex> lock(m_);
  return FindLocked(path);
}

int CImgFile::AddW(WStringView path) {
  TRACE_FN("CImgFile::AddW");
  struct stat st;
  if (!StatPath(path, &st)) {
    ErrorMsg(nullptr, WString(path).c_str());
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ErrorMsg(nullptr, WString(path).c_str());
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_);
  if (FindLocked(path) >= 0) return 0;
  Entry e;
  e.path = WString(path);
  e.size = st.st_size > 0 ? uint64_t(st.st_size) : 0;
  e.deviceSectors = (e.size + 511) / 512;
  e.dev = uint64_t(st.st_dev);
  e.ino = uint64_t(st.st_ino);
  // A test's reader stands in for the file's own table.
  if (ImagePartitionReader reader = g_partitionReader.load()) e.table = reader(ToUtf8(path), e.deviceSectors);
  else e.table = PartitionTable::ReadFromFile(ToUtf8(path), e.deviceSectors);
  if (entries_.size() == capacity_) {
    capacity_ += kCapacityStep;
    entries_.reserve(capacity_);
  }
  entries_.push_back(std::move(e));
  return 0;
}

uint64_t CImgFile::GetSize(WStringView path) const {
  std::lock_guard<std::mutex> lock(m_);
  int i = FindLocked(path);
  return i < 0 ? 0 : entries_[size_t(i)].size;
}

std::shared_ptr<PartitionTable> CImgFile::GetPartitionTable(WStringView path) const {
  std::lock_guard<std::mutex> lock(m_);
  int i = FindLocked(path);
  return i < 0 ? nullptr : entries_[size_t(i)].table;
}

uint64_t CImgFile::GetTableDeviceSectors(WStringView path) const {
  std::lock_guard<std::mutex> lock(m_);
  int i = FindLocked(path);
  return i < 0 ? 0 : entries_[size_t(i)].deviceSectors;
}

uint32_t CImgFile::Count() const {
  std::lock_guard<std::mutex> lock(m_);
  return uint32_t(entries_.size());
}

uint32_t CImgFile::Capacity() const {
  std::lock_guard<std::mutex> lock(m_);
  return capacity_;
}

std::vector<WString> CImgFile::Paths() const {
  std::lock_guard<std::mutex> lock(m_);
  std::vector<WString> out;
  out.reserve(entries_.size());
  for (const Entry& e : entries_) out.push_back(e.path);
  return out;
}

CImgFile& theImageFiles() {
  static CImgFile registry;
  return registry;
}
