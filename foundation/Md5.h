// MD5 digests (RFC 1321), their hexadecimal text, the comparison of a
// recovered copy with a file already at its destination, and the per-block
// digest lists of the sector pass.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Text.h"

struct Md5Output;

inline constexpr size_t kMd5DigestSize = 16;

// Incremental MD5. Whole 64-byte blocks are taken straight from the
// caller's data; only a partial block is copied.
class Md5 {
 public:
  Md5() { Reset(); }
  void Reset();
  void Update(const void* data, size_t count);
  // Pads, writes the 16-byte digest and restarts the state.
  void Final(uint8_t digest[kMd5DigestSize]);
  // Bytes given since the last Reset or Final.
  uint64_t byteCount() const { return byteCount_; }

 private:
  uint32_t state_[4];
  uint64_t byteCount_;
  uint8_t block_[64];
};

// One-shot digest of a run of bytes.
void Md5Of(const void* data, size_t count, uint8_t digest[kMd5DigestSize]);

// Writes 2 x count lower-case hexadecimal digits, high nibble first, no
// terminator. Returns 0.
int HexEncode(char16_t* output, const void* bytes, size_t count);
int HexEncode(char* output, const void* bytes, size_t count);
std::string HexText(const void* bytes, size_t count);

// Where a named data stream of a file lives on this system: "path:stream",
// a file of its own next to the main one; the main data for an empty name.
// The recovered-file writer names streams the same way.
WString ExistingStreamPath(WStringView path, WStringView streamName);

// Recognises a recovered copy that is identical to the file (or one of its
// streams) already at the destination name. The digest of the data written
// is built by InitDigest/Update/Final; each existing stream is read and
// hashed at most once per SetFile.
class CHashFile {
 public:
  CHashFile() = default;
  ~CHashFile() = default;
  CHashFile(const CHashFile&) = delete;
  CHashFile& operator=(const CHashFile&) = delete;

  // Forgets the old file and its streams. An existing regular file is kept
  // with its size; anything else leaves no path and size -1.
  void SetFile(WStringView path);
  void InitDigest() { written_.Reset(); }
  void Update(const void* data, size_t count) { written_.Update(data, count); }
  void Final();

  // Size of the existing file or of its named stream; -1 when there is no
  // file, the stream cannot be opened, is not a regular file or its path
  // cannot be formed whole.
  int64_t GetExistingSize(WStringView streamName) const;

  // 0 when the data written (finished by Final) equals the existing
  // stream, which must be `size` bytes long; otherwise 1 or -1. -1 with the
  // last error set when the stream cannot be named whole, opened or read,
  // or the buffer cannot be had; -1 without a read when no file is set.
  int32_t MatchesExistingStream(WStringView streamName, int64_t size);

  const WString& path() const { return path_; }
  int64_t existingSize() const { return existingSize_; }
  const uint8_t* digest() const { return digest_; }
  uint64_t writtenBytes() const { return writtenBytes_; }
  // Streams hashed since SetFile.
  size_t entryCount() const { return entries_.size(); }

  static constexpr size_t kReadPiece = 1 << 20;

 private:
  struct Entry {
    WString name;
    int64_t size = -1;     // the stream's length when it was opened
    bool hashed = false;   // digest holds the MD5 of those bytes
    uint8_t digest[kMd5DigestSize] = {};
  };
  // Opens the stream and records its length; reads and hashes it only when
  // that length is wantLength.
  bool HashStream(WStringView streamName, int64_t wantLength, Entry* entry);

  WString path_;
  bool hasFile_ = false;
  int64_t existingSize_ = -1;
  Md5 written_;
  uint64_t writtenBytes_ = 0;
  uint8_t digest_[kMd5DigestSize] = {};
  std::vector<Entry> entries_;
};

// The per-block digest lists of the sector pass, one per configured output:
// every block of `segmentSize` sectors, counted from the first sector given,
// is hashed and its digest appended to the output's file (made anew). When
// a file cannot be made or written, the digests go to the trace as
// "MD5_%d %I64d %I64u %I64u" (segment size, first sector, the digest's two
// halves as little-endian 64-bit values).
class Md5SegmentOutputs {
 public:
  Md5SegmentOutputs() = default;
  ~Md5SegmentOutputs();
  Md5SegmentOutputs(const Md5SegmentOutputs&) = delete;
  Md5SegmentOutputs& operator=(const Md5SegmentOutputs&) = delete;

  // Sets up the outputs with a usable segment size (1 to kMaxSegmentSectors)
  // and returns their count; 0 also for a sector size of 0 or above 65536.
  int Open(const std::vector<Md5Output>& settings, uint32_t sectorSize);
  bool active() const { return !outputs_.empty(); }
  // Hashes sectorCount sectors starting at firstSector. A sector that does
  // not follow the previous call's last one ends the open blocks there.
  void AddSectors(const void* data, int64_t firstSector, size_t sectorCount);
  // Finishes the open (short) blocks, writes what is gathered and closes
  // the files. False when a file could not be made or written.
  bool Close();

  static constexpr int64_t kMaxSegmentSectors = int64_t(1) << 30;
  // Digests gathered before a write: 16 x (1 MiB / segment size) bytes.
  static size_t DigestsPerWrite(int64_t segmentSectors);

 private:
  struct Output {
    int64_t segmentSectors = 0;
    uint64_t blockBytes = 0;
    std::string file;
    int fd = -1;
    bool failed = false;
    Md5 md5;
    uint64_t bytesInBlock = 0;
    int64_t blockFirstSector = 0;
    std::vector<uint8_t> gathered;
    size_t capacity = 0;
  };
  void FinishBlock(Output& out);
  void Flush(Output& out);

  std::vector<Output> outputs_;
  uint32_t sectorSize_ = 0;
  int64_t nextSector_ = -1;
};
