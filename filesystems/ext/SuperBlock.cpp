#include "filesystems/ext/SuperBlock.h"

#include <cstring>
#include <memory>
#include <new>

#include "filesystems/ext/Definitions.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "volumes/Node.h"
#include "volumes/ScanSink.h"
#include "volumes/VolumeSearch.h"

using namespace ext;

uint8_t ExtSuperBlock::Flavour() const {
  if ((incompat & ~kIncompatExt3) || (roCompat & ~kRoCompatExt3)) return 4;
  return (compat & kCompatHasJournal) ? 3 : 2;
}

uint64_t ExtSuperBlock::GroupCount() const {
  if (!blocksPerGroup || blockCount <= firstDataBlock) return 0;
  const uint64_t blocks = blockCount - firstDataBlock;
  return blocks / blocksPerGroup + (blocks % blocksPerGroup ? 1 : 0);
}

ExtSuperBlock ParseExtSuperBlock(const uint8_t* s) {
  ExtSuperBlock sb;
  sb.inodeCount = Le32(s + kSbInodeCount);
  sb.blockCount = Le32(s + kSbBlockCount);
  sb.reservedBlocks = Le32(s + kSbReservedBlocks);
  sb.freeBlocks = Le32(s + kSbFreeBlocks);
  sb.freeInodes = Le32(s + kSbFreeInodes);
  sb.firstDataBlock = Le32(s + kSbFirstDataBlock);
  sb.logBlockSize = Le32(s + kSbLogBlockSize);
  sb.blocksPerGroup = Le32(s + kSbBlocksPerGroup);
  sb.fragsPerGroup = Le32(s + kSbFragsPerGroup);
  sb.inodesPerGroup = Le32(s + kSbInodesPerGroup);
  sb.magic = Le16(s + kSbMagic);
  sb.firstInode = Le32(s + kSbFirstInode);
  sb.inodeSize = Le16(s + kSbInodeSize);
  sb.blockGroup = Le16(s + kSbBlockGroup);
  sb.compat = Le32(s + kSbCompat);
  sb.incompat = Le32(s + kSbIncompat);
  sb.roCompat = Le32(s + kSbRoCompat);
  if (sb.incompat & kIncompat64Bit) {
    sb.descSize = Le16(s + kSbDescSize);
    sb.blockCount |= uint64_t(Le32(s + kSbBlockCountHigh)) << 32;
  }
  if (sb.incompat & kIncompatMetaBg) sb.firstMetaBg = Le32(s + kSbFirstMetaBg);
  memcpy(sb.volumeName, s + kSbVolumeName, kSbVolumeNameBytes);
  return sb;
}

int IsExt3SuperBlock(const uint8_t* s) {
  // The magic first: the Long Scan asks this of every sector.
  if (!s || Le16(s + kSbMagic) != kMagic) return -1;
  const ExtSuperBlock sb = ParseExtSuperBlock(s);
  if (sb.magic != kMagic || sb.logBlockSize > kMaxLogBlockSize) return -1;
  if (sb.inodeSize != 128 && sb.inodeSize != 256) return -1;
  if (sb.reservedBlocks >= sb.blockCount || sb.freeBlocks >= sb.blockCount) return -1;
  // A probe has no run at hand: the program's options.
  const bool skipCounts = ProgramOptions().extSkipSbInodeCountsCheck != 0;
  if (!skipCounts && sb.freeInodes >= sb.inodeCount) return -1;
  // Zero counts per group would divide by zero later; a volume of one
  // group has all its inodes in that group.
  if (!sb.inodesPerGroup || sb.inodesPerGroup > sb.inodeCount) return -1;
  if (!sb.blocksPerGroup || sb.blocksPerGroup != sb.fragsPerGroup) return -1;
  const uint64_t groups = sb.GroupCount();
  if (!groups || uint64_t(sb.inodesPerGroup) * groups != sb.inodeCount) return -1;
  return sb.blockGroup;
}

int64_t Ext3SuperBlockStart(int64_t sector, const uint8_t* s, uint32_t sectorSize) {
  const int group = IsExt3SuperBlock(s);
  if (group < 0 || !sectorSize) return -1;
  const ExtSuperBlock sb = ParseExtSuperBlock(s);
  if (group) {
    const uint64_t groupSectors = uint64_t(sb.BlockSize()) * sb.blocksPerGroup / sectorSize;
    // On 1 KiB blocks a group's first block is block 1 of the volume: its
    // superblock copy lies 1024 bytes into the group's sectors.
    const uint64_t into = sb.BlockSize() == 1024 ? kSuperBlockOffset / sectorSize : 0;
    const uint64_t back = uint64_t(group) * groupSectors + into;
    return back > uint64_t(sector) ? -1 : int64_t(uint64_t(sector) - back);
  }
  const int64_t back = sectorSize == 512 ? 2 : 1;
  return sector >= back ? sector - back : -1;
}

bool FindExt3BackupSuperBlock(Drive& drive, int64_t start, const uint8_t* s) {
  const ExtSuperBlock sb = ParseExtSuperBlock(s);
  const uint32_t ss = drive.SectorSize();
  if (!ss || start < 0 || !sb.blocksPerGroup) return false;
  const uint64_t groupSectors = uint64_t(sb.BlockSize()) * sb.blocksPerGroup / ss;
  const uint64_t groups = sb.GroupCount();
  const uint32_t readBytes = 4096;
  const uint32_t readSectors = (readBytes + ss - 1) / ss;
  const uint64_t driveSectors = drive.SectorCount();
  // Only the places on the drive can confirm it (a cut image holds the
  // first groups alone).
  auto onDrive = [&](uint32_t g) {
    const uint64_t sector = uint64_t(start) + uint64_t(g) * groupSectors;
    return sector + 2 < driveSectors && sector + readSectors <= driveSectors;
  };
  int places = 0;
  for (uint32_t g : kBackupGroups)
    if (g < groups && onDrive(g)) ++places;
  const int needed = places * 2 < 6 ? places * 2 : 6;
  if (needed == 0) return true;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[size_t(readSectors) * ss]);
  if (!buf) return false;
  const uint32_t at = sb.BlockSize() == 1024 ? 1024 : 0;
  int sum = 0;
  for (uint32_t g : kBackupGroups) {
    if (g >= groups || !onDrive(g)) continue;
    const uint64_t sector = uint64_t(start) + uint64_t(g) * groupSectors;
    if (!ReadSectorsWaited(drive, int64_t(sector), readSectors * ss, buf.get())) continue;
    const uint8_t* backup = buf.get() + at;
    const int group = IsExt3SuperBlock(backup);
    if (group < 0 || ParseExtSuperBlock(backup).blockCount != sb.blockCount) continue;
    TracePrintfA("Backup SB @ %I64d\n", int64_t(sector));
    sum += uint32_t(group) == g ? 2 : 1;
    if (sum >= needed) return true;
  }
  return false;
}

WString ExtVolumeLabel(const ExtSuperBlock& sb) {
  size_t n = 0;
  while (n < kSbVolumeNameBytes && sb.volumeName[n]) ++n;
  return ConvertNameToWide(sb.volumeName, n);
}
