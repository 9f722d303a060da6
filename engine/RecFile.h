// The writer of one recovered file. Every recovery road (NTFS files, carved
// files, the volumes of the other file systems) writes through it.
//
// Data goes out from a 4096-aligned buffer in whole destination sectors with
// O_DIRECT where the destination takes it (a file system that refuses direct
// writes is written through the page cache instead); the padding of the last
// write is cut off with ftruncate, after which the file is written buffered.
// Positions are tracked here and every write is a pwrite, so the true length
// is always `Written()`.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "platform/Text.h"

class RecFile {
 public:
  static constexpr size_t kHeadBytes = 4096;
  static constexpr size_t kDefaultCapacity = 0x100000;

  RecFile();
  ~RecFile();
  RecFile(const RecFile&) = delete;
  RecFile& operator=(const RecFile&) = delete;

  void Init();
  // Grows the buffer to at least size bytes (rounded up to 1 MiB); pending
  // bytes are kept. Out of memory ends in ShowErrorAndThrow.
  void CreateBuffer(size_t size);

  // Opens path for writing. startOffset < 0: created anew (truncated);
  // otherwise opened as it is and written from that offset on. With
  // exclusive the file must not exist yet (O_EXCL). A symbolic link is never
  // followed. The descriptor, -1 on failure (last error set, with the path).
  int Open(WStringView path, uint32_t unitSize, bool direct = false, int64_t startOffset = -1,
           bool exclusive = false);
  // Buffered write; 1 or 0.
  int Write(uint32_t count, const void* data);
  // One write of count bytes from buffer (count - *padding of them data);
  // 1 or 0.
  int WriteData(const uint8_t* buffer, uint32_t count, uint32_t padding);
  // count bytes the caller placed at GetDataBuffer().
  int WriteCompressedData(uint32_t count);
  // count zero bytes; 1 or 0.
  int WriteZero(uint64_t count);
  // Writes the pending bytes; 1 or 0.
  int Flush();
  // Cuts the padding of the last write off the file; 1 or 0.
  int WriteEOF(uint32_t padding);
  // Sets the file's length to `length` (a sparse tail when it grows); 1 or 0.
  int ExtendTo(uint64_t length);
  // count bytes of hole: the write position moves on over them, nothing is
  // written (the file system keeps them unallocated where it can); a file
  // that ends in a hole gets its length at Flush. 1 or 0.
  int WriteHole(uint64_t count);
  // Last-write time (FILETIME; 0 keeps the file's own). Linux keeps no
  // creation time; the access time is left as it is.
  void SetFileTime(uint64_t creationTime, uint64_t lastWriteTime);
  // Closes without flushing; returns 0.
  int Close();

  uint8_t* GetDataBuffer() { return buffer_ + kHeadBytes; }
  uint32_t Capacity() const { return capacity_; }
  uint32_t Pending() const { return pending_; }
  uint64_t Written() const { return written_; }
  bool IsOpen() const { return fd_ >= 0; }
  bool IsDirectIo() const { return odirect_; }
  uint32_t SectorSize() const { return sectorSize_; }
  const WString& Path() const { return path_; }
  void SetExpectedType(uint8_t type) { expectedType_ = type; }
  uint8_t ExpectedType() const { return expectedType_; }

  // The carving type of a file's first bytes (255 when unknown): the
  // carving probe (CarvedHeaderType) unless a test sets another. Without
  // one the expected-type check passes.
  using HeaderTypeTest = uint8_t (*)(const uint8_t* data, size_t count);
  static void SetHeaderTypeTest(HeaderTypeTest test) { headerTypeOf_ = test; }
  static HeaderTypeTest HeaderTypeTestOf() { return headerTypeOf_; }
  // Test seam: a file of this system is written with at most this many
  // bytes per write call (0: no limit).
  static uint32_t testWriteLimit;

 private:
  static HeaderTypeTest headerTypeOf_;
  bool PWriteAll(const uint8_t* data, size_t count, uint64_t at);
  void DropDirect();
  int SetTrueLength();

  uint32_t pending_ = 0;
  int fd_ = -1;
  uint8_t* buffer_ = nullptr;  // kHeadBytes + capacity_
  uint32_t capacity_ = 0;
  uint64_t written_ = 0;     // true length written so far (the write position)
  uint64_t startOffset_ = 0;
  bool direct_ = false;      // caller's mode: every request written as it comes
  bool odirect_ = false;     // the descriptor has O_DIRECT
  bool resumed_ = false;        // opened at a start offset, not truncated
  bool endsInHole_ = false;     // the last thing written was a hole
  uint64_t resumedLength_ = 0;  // a resumed file's length when opened
  bool directAllowed_ = false;  // direct writes may be tried for this file
  dev_t dev_ = 0;
  uint8_t expectedType_ = 255;
  uint32_t sectorSize_ = 4096, sectorMask_ = 4095;
  uint32_t unitSize_ = 4096;
  WString path_;
};

// One zero-filled, 4096-aligned buffer of kZeroBufferBytes that nothing ever
// writes to: holes and unreadable pieces are filled from it, never from a
// scratch buffer that may hold earlier bytes.
inline constexpr size_t kZeroBufferBytes = 0x100000;
const uint8_t* ZeroBuffer();

// The writer of the calling thread's recoveries, made on first use (one
// file at a time: each recovery opens and closes it).
RecFile& ThreadRecFile();
// The mode of every recovered file: 0666 less the process's umask.
mode_t RecoveredFileMode();
