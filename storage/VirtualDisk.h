// What the virtual-disk drives (VHD and VHDX, VMDK) share: the file under a
// map, the runs a lookup gives, and the drive of a chain of files.
//
// A chain is written "VHD(" or "VMDK(" with the files oldest first,
// separated by "|", or is one absolute path. The newest file is read
// through an inner plain Drive (which registers the image, so it opens
// with its real size) and its block map; sectors it does not hold come
// from the drive of the older files, or are zeros at the bottom of the
// chain. Every file is a protected source and a destination on any of
// them is refused.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/Drive.h"

// A piece of a virtual read.
struct ImageRun {
  enum Kind : uint8_t {
    kZeros = 0,   // reads as zeros
    kFile = 1,    // bytes of this file at fileByte
    kParent = 2,  // the older files' sectors (zeros without them)
    kBad = 3,     // the map could not be read: zeros, counted as a read error
  };
  Kind kind = kZeros;
  uint64_t fileByte = 0;
  uint32_t bytes = 0;
};

// How a file of a chain names its parent, and how a child names it: the
// ids a chain's order is checked by (VHD unique ids, VHDX data-write GUID
// and parent linkage, VMDK CID and parentCID), as lower-case hexadecimal
// or GUID text; empty when the format keeps none.
struct ChainLink {
  bool known = false;                  // the file says whether it has a parent (a hand-made one may not)
  bool differencing = false;           // the file holds only what differs from a parent
  std::string ownId;                   // the id a child of this file names
  std::vector<std::string> parentIds;  // the ids this file knows its parent by (any one matches)
  std::vector<WString> parentNames;    // the parent's names from the header and its locators
};

// The code a differencing file opened without its parent is refused with
// (DvCodeError{kNeedsParent}, the message in the last error), so that the
// window can offer the chained-image road; LastParentGuess then names the
// file beside it that bears the parent's name (empty for none).
inline constexpr int kNeedsParent = 2126;
const WString& LastParentGuess();
// The first of the parent's names (Windows or Unix paths, relative or
// absolute: only the file name counts) that names a file in the child's
// folder; empty when none does.
WString GuessParentFile(WStringView child, const std::vector<WString>& names);

// What a virtual-disk file's table places past the end of a file cut short:
// `blocks` blocks, virtual sectors first..last (inclusive); none when
// blocks is 0.
struct CutBlocks {
  uint64_t blocks = 0;
  uint64_t first = 0, last = 0;
  void Add(uint64_t firstSector, uint64_t lastSector) {
    if (!blocks || firstSector < first) first = firstSector;
    if (!blocks || lastSector > last) last = lastSector;
    blocks++;
  }
};

// Appends a run, merging it with the last one when it continues it.
void AppendRun(std::vector<ImageRun>& runs, ImageRun::Kind kind, uint64_t fileByte, uint32_t bytes);

// The bytes of one image file, as the maps read their tables.
class ImageFile {
 public:
  enum ReadResult { kReadOk = 0, kReadDamaged = 1, kReadFailed = 2 };
  virtual ~ImageFile() = default;
  // The file's size in bytes.
  virtual uint64_t Size() const = 0;
  // Reads bytes at any offset (at most 1 MiB). kReadDamaged: parts could
  // not be read and are zeros; kReadFailed: nothing usable (the last error
  // says why).
  virtual ReadResult Read(uint64_t offset, uint32_t bytes, uint8_t* out) = 0;
};

// Bytes held in memory (tests, fuzzing).
class MemoryImageFile : public ImageFile {
 public:
  MemoryImageFile(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t Size() const override { return size_; }
  ReadResult Read(uint64_t offset, uint32_t bytes, uint8_t* out) override;
  // Reads that touched [first, end) come back damaged.
  uint64_t damagedFirst = 0, damagedEnd = 0;
  uint32_t reads = 0;

 private:
  const uint8_t* data_;
  size_t size_;
};

// Where the sectors of a virtual disk are in its file.
class ImageMap {
 public:
  virtual ~ImageMap() = default;
  // Appends the runs of `sectors` virtual sectors from `sector` (sectors
  // of the map's sector size; the whole range lies inside the disk). False
  // when a table could not be read at all (the last error says why).
  virtual bool Lookup(uint64_t sector, uint32_t sectors, std::vector<ImageRun>& runs) = 0;
};

// A file read straight through: virtual byte x is file byte x; past the
// file's end the disk reads as zeros.
class RawImageMap : public ImageMap {
 public:
  RawImageMap(uint32_t sectorSize, uint64_t fileSize) : sectorSize_(sectorSize), fileSize_(fileSize) {}
  bool Lookup(uint64_t sector, uint32_t sectors, std::vector<ImageRun>& runs) override;

 private:
  uint32_t sectorSize_;
  uint64_t fileSize_;
};

// The drive of a chain of virtual-disk files.
class ImageChainDrive : public Drive {
 public:
  static constexpr size_t kMaxChainFiles = 8;

  ~ImageChainDrive() override;

  // Splits the chain definition and opens its files (at most 8; further
  // ones are ignored). Throws DvCodeError{0} with the last error set.
  void InitDrive(WStringView name) override;
  uint8_t* ReadSectors(int64_t sector, uint32_t bytes, uint32_t retryPiece, void* buffer, bool wait) override;
  uint8_t* FinishRead() override;
  // A destination is refused when it is refused for any file of the chain.
  bool IsSafeVolume(WStringView destinationPath) override;
  bool IsSafeDrive(int diskNumber) override;
  // Every file of the chain, newest first.
  std::vector<SourceIdentity> ChainIdentities() const;

  int ChainDepth() const { return chainDepth_; }
  // How this file links to its parent (set by OpenFormat).
  const ChainLink& Link() const { return link_; }
  const Drive* File() const { return file_.get(); }
  const ImageChainDrive* Parent() const { return parent_.get(); }

  // The files of a chain definition or a single path, oldest first; false
  // with the last error set when the text cannot name a chain (an empty or
  // relative member, or one holding '|' or ')').
  static bool SplitChain(WStringView name, WStringView keyword, std::vector<WString>* files);

 protected:
  ImageChainDrive() = default;
  // "VHD(" or "VMDK(".
  virtual WStringView Keyword() const = 0;
  // A drive of the same kind for the older files.
  virtual std::unique_ptr<ImageChainDrive> MakeParent() const = 0;
  // Reads the format of file_ and sets the sector size, the sector count
  // and map_. Throws DvCodeError{0} with the last error set.
  virtual void OpenFormat() = 0;

  // Opens files[count - 1] over the drive of the older ones.
  void InitFiles(const std::vector<WString>& files, size_t count);
  // The size and count of the virtual sectors.
  void SetGeometry(uint32_t sectorSize, uint64_t sectorCount);
  // The inner file as the maps read it.
  ImageFile& FileBytes();
  // Sets the last error and throws DvCodeError{0}.
  [[noreturn]] void Refuse(const WString& text);
  // The note of a file whose table places data past its end (Drive::notes).
  void NoteCut(const CutBlocks& cut);

  std::unique_ptr<Drive> file_;
  std::unique_ptr<ImageChainDrive> parent_;
  std::unique_ptr<ImageMap> map_;
  int chainDepth_ = 1;
  uint64_t fileSize_ = 0;
  ChainLink link_;

 private:
  class DriveFile;
  uint32_t ChainErrors() const;
  // Refuses a chain whose files do not follow one another by their ids
  // (newest-first, a file that is not the next one's parent) or whose
  // oldest file is itself a differencing image; `files` oldest first.
  void CheckChainOrder(const std::vector<WString>& files) const;
  uint8_t* ReadInto(uint64_t sector, uint32_t bytes, uint32_t retryPiece, uint8_t* out);

  std::unique_ptr<ImageFile> fileBytes_;
  std::vector<ImageRun> runs_;
  uint8_t* buffer_ = nullptr;  // own buffer, transfer size
  uint32_t bufferBytes_ = 0;
  uint8_t* started_ = nullptr;  // result of a read asked for without waiting
  bool haveStarted_ = false;
};
