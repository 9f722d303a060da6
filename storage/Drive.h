// A read-only source of sectors: a whole disk ("\\.\PhysicalDriveN"), a
// volume's block device ("/dev/sda1", "/dev/dm-0", "/dev/md0"; the part the
// drive letter played) or a disk-image file (an absolute path), optionally
// cut to sectors first..last by the suffix "<first:last>". Every read goes
// through the drive's own I/O thread (IoThread.h).
//
// Names are UTF-8 at the system calls and WString here. A whole disk may
// also be named by its device path ("/dev/sdb", "/dev/loop0"); it is then
// the same disk as its "\\.\PhysicalDriveN" name.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Wildcard.h"
#include "platform/Text.h"
#include "storage/DestinationSafety.h"
#include "storage/IoThread.h"

class BlockSource;
class CDrvAttr;
class PartitionTable;
class CPhysDisk;
class CSectRanges;

// A run of a found file, for the covered set: `length` units at unit
// `position` of the volume (a position below 0 is a hole and covers nothing).
struct NodeRun {
  int64_t position = 0;
  uint64_t length = 0;
};

class Drive {
 public:
  // What ReadSectors returns for a request that was only started.
  static inline uint8_t* const kReadStarted = reinterpret_cast<uint8_t*>(~uintptr_t(0));
  static constexpr uint32_t kTransferSize = 0x100000;
  static constexpr uint32_t kRetryPiece = 0x10000;
  static constexpr size_t kMaxNameChars = 1024;

  Drive();
  virtual ~Drive();
  Drive(const Drive&) = delete;
  Drive& operator=(const Drive&) = delete;

  // ---- the six operations the compound drives override ----
  // Whether recovered files may go to this destination path (a folder or a
  // file to be created): not onto the source's own sectors.
  virtual bool IsSafeVolume(WStringView destinationPath);
  // Whether a whole disk is clear of this source.
  virtual bool IsSafeDrive(int diskNumber);
  // Opens the drive. Throws DvCodeError{0} with the last error set.
  virtual void InitDrive(WStringView name);
  // Closes the device; the next read opens it again.
  virtual void CloseDevice();
  // Reads bytes at the drive-relative sector. With a buffer the data is
  // copied there and the buffer returned; without one the data stays in the
  // drive's buffer until the next read. Null for a refused request (the last
  // error says why); kReadStarted when wait is false (FinishRead ends it).
  // Throws DvCodeError{0} when the device cannot be reopened or the reader
  // has ended.
  virtual uint8_t* ReadSectors(int64_t sector, uint32_t bytes, uint32_t retryPiece, void* buffer, bool wait);
  // Takes a copy of the drive's exclusion set from its attribute entry.
  virtual void HookExclusiveRanges(const CDrvAttr& attributes);

  // Waits for a request started without the wait flag; the same result as
  // a waited ReadSectors.
  virtual uint8_t* FinishRead();
  // For a caller that keeps its buffer until FinishRead: its started reads
  // go straight into the buffer instead of through the thread's (no copy).
  void SetStartedReadsDirect(bool on) { startedDirect_ = on; }
  // Opens the device again and hands it to the I/O thread. Throws.
  void ReOpenDevice();
  // The logical sector size of the disk an image file lives on (the
  // drive's own sector size for any other source); 0 when unknown.
  uint32_t HostSectorSize() const;
  // Reads the opened drive in sectors of `bytes` (512 or 4096) from now on:
  // its size and extent are rescaled (whole new sectors), the matching
  // forced flag is set and the device is opened again (buffered when forced
  // to 512, since smaller pieces cannot be read directly). False, with
  // nothing changed, for another size or a drive that is not open. Throws
  // as ReOpenDevice.
  bool ForceSectorSize(uint32_t bytes);
  void SetFilter(WStringView patterns, const WString* second);
  // Transfer size and I/O buffer size; empties the cache.
  void FixSize(uint32_t bytes);
  // Where a default volume starts: the disk's value for a whole disk, else 0.
  uint32_t DefaultBootSector() const;
  // Adds the runs of a found file between file bytes firstByte and
  // limitByte to the covered set, as absolute drive bytes.
  void AddNodeRanges(const NodeRun* runs, size_t count, int64_t volumeStartSector, uint32_t unit, bool flatten,
                     uint64_t firstByte, uint64_t limitByte);
  // Frees the filter copy, the range sets and the pattern lists.
  void ReleaseBuffers();
  // Disk-list entries of the drive's disk (none for an image), with their
  // display names when asked.
  std::vector<const CPhysDisk*> ListMembers(std::vector<WString>* displayNames = nullptr) const;
  // A RAID or spanned set of more than one member, or a chained image.
  virtual bool IsCompound() const;

  // ---- name tests ----
  // A volume's block device (a partition, dm or md device, or another block
  // device that is not a listed whole disk).
  static bool IsDriveLetter(WStringView name);
  // The disk number of "\\.\PhysicalDriveN" or of a listed whole disk's
  // device path; -1 otherwise.
  static int PhysicalDriveNumber(WStringView name);
  static bool IsRaid(WStringView name);
  // Members of a "SPAN(" definition, 0 for anything else.
  static int SpanCount(WStringView name);
  static bool IsVhdName(WStringView name);
  static bool IsVmdkName(WStringView name);

  // ---- state ----
  const WString& Name() const { return name_; }
  const std::string& DevicePath() const { return devicePath_; }
  // The name in status texts: without "\\.\" unless an image.
  WString DisplayName() const;
  bool IsImage() const { return isImage_; }
  bool IsVolumeDevice() const { return isVolume_; }
  int DiskNumber() const { return diskNumber_; }
  uint32_t SectorSize() const { return sectorSize_; }
  uint32_t Shift() const { return shift_; }
  uint64_t SectorCount() const { return sectorCount_; }
  uint64_t ExtentFirstSector() const { return extentFirst_; }
  uint32_t ExtraReadableSectors() const { return extraSectors_; }
  void SetExtraReadableSectors(uint32_t sectors);
  uint32_t SectorsPer4G() const { return sectorsPer4G_; }
  uint32_t TransferSize() const { return transferSize_; }
  uint32_t RetryPiece() const { return retryPiece_; }
  bool Forced512() const { return forced512_; }
  bool Forced4K() const { return forced4K_; }
  bool SizeUnknown() const { return sizeUnknown_; }
  bool IsOpen() const { return source_ != nullptr; }
  uint32_t ConsecutiveErrors() const { return consecutiveErrors_; }
  uint32_t TotalErrors() const { return totalErrors_; }
  // The first sector of the first request that failed since the drive was
  // opened; -1 while none has.
  int64_t FirstErrorSector() const { return firstErrorSector_; }
  // Bytes delivered by completed requests since the drive was made (a
  // scan's rate is read from it).
  uint64_t BytesRead() const { return bytesRead_.load(std::memory_order_relaxed); }
  // Requests that had sectors zero-filled because the user excluded them:
  // what those sectors held is unknown, as after a read error.
  uint32_t ExcludedFills() const { return excludedFills_; }
  // Requests that ran past the drive's end (a source shorter than a volume
  // on it): the sectors there came back as zeros.
  uint32_t PastEndFills() const { return pastEndFills_; }
  // What opening the source found that its scans should say: a virtual
  // disk cut short (its sectors past the file's end read as unreadable).
  std::vector<WString> notes;
  // Set when the volume was formatted less than 14 days ago; the view reads
  // and clears it.
  uint32_t recentlyFormatted = 0;
  // Set until the user answered the usage tip before a Long Scan of this
  // volume device.
  uint32_t usageTip = 1;
  uint8_t zfsLabelSeen = 0;
  uint8_t replayMember[2] = {0, 255};
  // The reader of this drive (bitmaps and result of the last request).
  IOThread* IoThread() { return io_.get(); }
  const CSectRanges* Exclusions() const { return exclusions_.get(); }
  void SetExclusionSet(std::shared_ptr<CSectRanges> set);
  // The source's bytes were replaced under the open drive (an in-memory
  // source of a fuzz target): nothing read before is kept, and the error
  // counts start afresh.
  void SourceChanged();
  const CSectRanges* Covered() const { return covered_.get(); }
  const PatternList* Filter() const { return filter_.get(); }
  const PatternList* SecondFilter() const { return secondFilter_.get(); }
  const WString* SecondText() const { return secondText_.get(); }
  // The source described for the destination checks.
  SourceIdentity Identity() const;

  // ---- partitions and volumes ----
  // Made on first use. The volume table is made and read by volumes/
  // (VolumeSearch.h); the drive only owns it: the volumes are deleted with
  // the drive.
  std::shared_ptr<PartitionTable> partitionTable;
  // The volume table: made, read and changed only by volumes/
  // (VolumeSearch.h); the volumes go with the last holder.
  std::shared_ptr<void> volumeList;

 protected:
  // The steps of InitDrive: forget the last source; what the name is (a
  // listed disk, a volume device or an image); open it and measure it (the
  // sector size, forced sizes, the device's sectors); cut it to the name's
  // extent; start the reader; and what a volume device's first sectors
  // tell (DriveOpenProbe).
  void ResetForInit();
  void IdentifySource(WStringView name, const WString& device, const CPhysDisk** disk, bool* isBlock);
  uint64_t OpenAndMeasure(const WString& device, const CPhysDisk* disk, bool isBlock, uint64_t* factor,
                          uint64_t* divisor);
  void SetExtent(WStringView name, bool hasExtent, uint64_t first, uint64_t last, uint64_t factor, uint64_t divisor,
                 uint64_t deviceSectors);
  void StartReader();
  void ReadVolumeDeviceFacts(uint64_t deviceSectors);
  void UpdateEndOffset();
  // Whether bytes at sector s lie in the one-request cache, which holds
  // only while no read error has come since it was filled.
  bool CacheHolds(uint64_t s, uint32_t bytes) const {
    return cacheValid_ && errorsAtCache_ == totalErrors_ && s >= cacheFirst_ && s - cacheFirst_ < cacheSectors_ &&
           ((s - cacheFirst_) << shift_) + bytes <= uint64_t(cacheSectors_) << shift_;
  }
  [[noreturn]] void FailInit();
  void OpenSource();
  uint8_t* Complete();

  WString name_;
  std::string devicePath_;
  bool isImage_ = false;
  bool isVolume_ = false;
  int diskNumber_ = -1;
  uint32_t defaultBootSector_ = 63;
  uint64_t extentFirst_ = 0;
  uint32_t sectorSize_ = 512;
  uint64_t sectorCount_ = 0;
  uint32_t extraSectors_ = 0;
  uint32_t sectorsPer4G_ = 0x800000;
  uint32_t transferSize_ = 0;
  uint32_t retryPiece_ = 0;
  uint32_t shift_ = 9;
  bool sizeUnknown_ = false;
  bool forced512_ = false;
  bool forced4K_ = false;
  uint32_t consecutiveErrors_ = 0;
  uint32_t totalErrors_ = 0;
  uint32_t excludedFills_ = 0;
  uint32_t pastEndFills_ = 0;
  uint32_t errorsAtCache_ = 0;
  int64_t firstErrorSector_ = -1;
  std::atomic<uint64_t> bytesRead_{0};
  uint64_t nextExpectedSector_ = 0;
  uint64_t cacheFirst_ = 0;
  uint32_t cacheSectors_ = 0;
  bool cacheValid_ = false;
  // The request in flight.
  void* pendingBuffer_ = nullptr;
  uint64_t pendingFirst_ = 0;
  uint32_t pendingBytes_ = 0;
  bool pendingDirect_ = false;  // read straight into pendingBuffer_
  bool startedDirect_ = false;  // SetStartedReadsDirect
  std::shared_ptr<BlockSource> source_;
  std::unique_ptr<IOThread> io_;
  std::shared_ptr<CSectRanges> exclusions_;
  std::unique_ptr<CSectRanges> covered_;
  std::unique_ptr<PatternList> filter_;
  std::unique_ptr<PatternList> secondFilter_;
  std::unique_ptr<WString> secondText_;
  bool protectedSource_ = false;
  bool allowDirect_ = false;
};

// The class for a name, not yet opened: an RDrive for "RAID...", an SDrive
// for "SPAN...", a VHD or VMDK name gives its virtual-disk drive, anything
// else is a plain Drive.
Drive* CreateDrive(WStringView name);
// Deletes the drive and clears the pointer; null is fine.
void DeleteDrive(Drive** drive);

// The window's current source (its document state, kept null here when
// the drive goes). The core never reads it: a run is given its drive in its
// request, a volume has its own (CVol::drive).
extern Drive* g_currentDrive;

// What the first sectors of an opened volume device tell about its volume.
struct DriveOpenFacts {
  bool recentlyFormatted = false;  // formatted less than 14 days ago
  uint64_t totalSectors = 0;       // the volume's own sector count; 0 when unknown
};
// Called by InitDrive for a volume device with its first 8 sectors; true
// when it knew them. A sector count above the device's measured one
// stretches the drive up to the device's end (a volume device of unknown
// size); never past it. The start-up root installs the file-system
// families' probe; null reads nothing.
using DriveOpenProbe = bool (*)(Drive& drive, const uint8_t* firstSectors, uint32_t bytes, DriveOpenFacts* facts);
void SetDriveOpenProbe(DriveOpenProbe probe);

// Measures a source's readable size by probing single sectors: the sector
// count, 0 when nothing is readable.
uint64_t GetVolumeSize(BlockSource& source, uint32_t sectorSize);
