// Where a drive's I/O thread gets its bytes from. The real source reads a
// block device or an image file through one read-only descriptor; tests put
// a source of their own in its place to make reads fail or hang at chosen
// offsets and to count the calls that reach the device.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// What a block device or image file says about itself.
struct DeviceFacts {
  bool isBlockDevice = false;
  uint64_t sizeBytes = 0;         // BLKGETSIZE64, or the file size
  uint32_t logicalSectorSize = 0;   // BLKSSZGET; 0 for a file
  uint32_t physicalSectorSize = 0;  // BLKPBSZGET; 0 for a file
  // Geometry for traces and old partition tables: HDIO_GETGEO when the
  // driver has it, else 255 heads of 63 sectors.
  uint32_t heads = 255;
  uint32_t sectorsPerTrack = 63;
  uint64_t cylinders = 0;
};

class BlockSource {
 public:
  virtual ~BlockSource() = default;
  // Reads up to length bytes at the byte offset into buffer. Returns the
  // count read (less than asked at the end of the source, 0 past it), or -1
  // with errno set. Called only by the I/O thread that owns the source.
  virtual int64_t ReadAt(void* buffer, size_t length, uint64_t offset) = 0;
  // The descriptor behind the source, for traces; -1 when there is none.
  virtual int Descriptor() const { return -1; }
  // Size, sector sizes and geometry; false when the source cannot tell.
  virtual bool GetFacts(DeviceFacts* facts) const;
};

// False with errno set when the descriptor cannot be examined.
bool QueryDeviceFacts(int fd, DeviceFacts* facts);

// The real source: a descriptor opened O_RDONLY | O_CLOEXEC, never for
// writing. A block device is read with O_DIRECT when direct reads are
// allowed, so every read reaches the medium and a bad sector fails on its
// own instead of taking the page-cache read-ahead with it; a request whose
// offset, length or memory is not aligned to the logical block size is read
// buffered for that one call, and a device that refuses O_DIRECT (EINVAL at
// open or on a read) is read buffered from then on. Reads retry on EINTR; a
// short count is returned as it is.
class FileBlockSource : public BlockSource {
 public:
  // Null with errno set when the path cannot be opened.
  static std::unique_ptr<FileBlockSource> Open(const std::string& path, bool allowDirect);
  ~FileBlockSource() override;
  FileBlockSource(const FileBlockSource&) = delete;
  FileBlockSource& operator=(const FileBlockSource&) = delete;

  int64_t ReadAt(void* buffer, size_t length, uint64_t offset) override;
  int Descriptor() const override { return fd_; }
  bool GetFacts(DeviceFacts* facts) const override;
  bool IsDirect() const { return direct_; }

 private:
  FileBlockSource(int fd, bool direct, const DeviceFacts& facts);
  int64_t ReadBuffered(void* buffer, size_t length, uint64_t offset);
  bool SetDirect(bool on);

  int fd_;
  bool direct_;
  uint32_t alignment_;
  DeviceFacts facts_;
};

// How drives open their sources. Tests install an opener of their own (null
// restores the real one); it is called with the UTF-8 path and whether
// direct reads are allowed, and returns null with errno set on failure.
using BlockSourceOpener = std::function<std::unique_ptr<BlockSource>(const std::string& path, bool allowDirect)>;
void SetBlockSourceOpener(BlockSourceOpener opener);
std::unique_ptr<BlockSource> OpenBlockSource(const std::string& path, bool allowDirect);
