// The partition table of a drive: the MBR with its extended chain, or the
// GPT behind a protective MBR. The volume search starts its probes at each
// entry, so the table only has to be right about where partitions start and
// how long they are; everything read from the disk is checked against the
// drive's size before it becomes an entry.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class Drive;

// One partition: 48-bit start and length in drive sectors, kept in the
// on-disk record layout the session files and the volume search use.
struct PartitionEntry {
  uint32_t lengthLow = 0;
  uint32_t startLow = 0;
  uint16_t lengthHigh = 0;
  uint16_t startHigh = 0;
  uint16_t type = 0;          // MBR type byte; kPartitionVmfs or 0 for GPT
  uint16_t searchResult = 0;  // volumes the search at this entry found

  uint64_t Start() const { return uint64_t(startHigh) << 32 | startLow; }
  uint64_t Length() const { return uint64_t(lengthHigh) << 32 | lengthLow; }
};
static_assert(sizeof(PartitionEntry) == 16);

inline constexpr uint16_t kPartitionVmfs = 251;       // GPT entry of the VMFS type
inline constexpr uint64_t kPartitionMaxSector = (uint64_t(1) << 48) - 1;
inline constexpr uint32_t kGptMaxEntries = 1024;
// An extended chain longer than this is damaged or crafted.
inline constexpr uint32_t kMaxLogicalPartitions = 128;
// Logical partitions and chain links of this many sectors or fewer are not
// taken (the original's rule; real ones are at least 1 MiB).
inline constexpr uint32_t kMinLogicalSectors = 2048;

// One 16-byte MBR/EBR entry, the fields the table uses.
struct MbrEntry {
  uint8_t type = 0;
  uint32_t first = 0;
  uint32_t count = 0;
};

// Where the table reader gets its sectors from: the drive, a descriptor, or
// whatever a test gives. `count` sectors of the reader's sector size from
// `sector` into `out`; false when they could not all be read.
class SectorReader {
 public:
  virtual ~SectorReader() = default;
  virtual bool ReadSectors(uint64_t sector, uint32_t count, uint8_t* out) = 0;
};

// Through Drive::ReadSectors (retry piece 512, waited).
class DriveSectorReader : public SectorReader {
 public:
  DriveSectorReader(Drive& drive, uint32_t sectorSize) : drive_(drive), sectorSize_(sectorSize) {}
  bool ReadSectors(uint64_t sector, uint32_t count, uint8_t* out) override;

 private:
  Drive& drive_;
  uint32_t sectorSize_;
};

// Through pread on an open descriptor; every byte asked for is required.
class HandleSectorReader : public SectorReader {
 public:
  HandleSectorReader(int fd, uint32_t sectorSize) : fd_(fd), sectorSize_(sectorSize) {}
  bool ReadSectors(uint64_t sector, uint32_t count, uint8_t* out) override;

 private:
  int fd_;
  uint32_t sectorSize_;
};

class PartitionTable {
 public:
  // `sectorSize` is the drive's: 512 up to 4096, a power of two (anything
  // else is taken as 512). `drive` may be null when every read goes through
  // a handle or a reader.
  PartitionTable(Drive* drive, uint32_t sectorSize);
  PartitionTable(const PartitionTable&) = delete;
  PartitionTable& operator=(const PartitionTable&) = delete;

  // Inserts (start, length, type) at its place by start and returns its
  // index; an entry of the same start and length is not added again (its
  // index is returned). -1 when start or length passes 48 bits, length is 0
  // or memory runs out.
  int AddPartition(uint64_t start, uint64_t length, uint16_t type);

  // Reads sector 0 and what it leads to. `handle` is a descriptor to read
  // with pread, or -1 for the owning drive. `deviceSectors` is the drive's
  // size: no entry is taken that does not lie inside it. True when sector 0
  // held a valid table (entries may still have been refused).
  bool ReadPartitionTable(int handle, uint64_t deviceSectors);
  bool ReadPartitionTable(SectorReader& reader, uint64_t deviceSectors);
  // The table of an image file read as a device of deviceSectors 512-byte
  // sectors (empty when sector 0 holds none); null when the file cannot be
  // opened.
  static std::shared_ptr<PartitionTable> ReadFromFile(const std::string& path, uint64_t deviceSectors);

  // Validates an MBR or EBR sector: the 0xAA55 signature; each entry with
  // a count must end below `deviceSectors` (a 0xEE entry excepted) and not
  // overlap an entry accepted before it, otherwise the whole sector is
  // refused. The accepted entries go to out[0..3] in order, the rest zeroed.
  static bool CheckAndCopyParTable(const uint8_t* sector, uint64_t deviceSectors, MbrEntry out[4]);
  // Signature, 0xEE in the first entry, nothing in the other three.
  static bool IsProtectiveMbr(const uint8_t* sector);

  // The GPT whose header is at `headerSector`: adds each valid entry up to
  // the first invalid one. False when the header is not a GPT header.
  bool ReadGPT(SectorReader& reader, uint64_t headerSector, uint64_t deviceSectors);
  // The extended chain of the extended partition (base, size); returns the
  // number of logical partitions added.
  int ReadExtendedChain(SectorReader& reader, uint64_t base, uint64_t size, uint64_t deviceSectors);

  uint32_t Count() const { return count_; }
  uint32_t Capacity() const { return capacity_; }
  uint32_t SectorSize() const { return sectorSize_; }
  const PartitionEntry& Entry(uint32_t index) const { return entries_[index]; }
  PartitionEntry& Entry(uint32_t index) { return entries_[index]; }
  const PartitionEntry* begin() const { return entries_.get(); }
  const PartitionEntry* end() const { return entries_.get() + count_; }
  // Sector 0 as last read, then the GPT sectors after it (4 sectors).
  const uint8_t* MbrBuffer() const { return mbr_.get(); }
  Drive* Owner() const { return drive_; }
  void Clear() { count_ = 0; }

 private:
  uint32_t count_ = 0;
  uint32_t capacity_ = 0;
  uint32_t sectorSize_ = 512;
  std::unique_ptr<uint8_t[]> mbr_;
  std::unique_ptr<PartitionEntry[]> entries_;
  Drive* drive_ = nullptr;
};
