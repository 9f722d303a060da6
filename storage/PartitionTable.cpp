#include "storage/PartitionTable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"

namespace {

constexpr size_t kMbrEntriesOffset = 446;
constexpr size_t kMbrEntryBytes = 16;
constexpr uint8_t kTypeExtended = 5;
constexpr uint8_t kTypeExtendedLba = 15;
constexpr uint8_t kTypeGptProtective = 0xEE;
constexpr uint32_t kGrowBy = 4;
// GPT entries are read this many sectors at a time.
constexpr uint32_t kGptChunkSectors = 4;

// {AA31E02A-400F-11DB-9590-000C2911D1B8} as it lies on disk.
constexpr uint8_t kVmfsTypeGuid[16] = {0x2A, 0xE0, 0x31, 0xAA, 0x0F, 0x40, 0xDB, 0x11,
                                       0x95, 0x90, 0x00, 0x0C, 0x29, 0x11, 0xD1, 0xB8};
constexpr char kGptSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};

bool IsExtendedType(uint8_t type) { return type == kTypeExtended || type == kTypeExtendedLba; }

bool HasSignature(const uint8_t* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

MbrEntry ReadMbrEntry(const uint8_t* sector, int index) {
  const uint8_t* e = sector + kMbrEntriesOffset + size_t(index) * kMbrEntryBytes;
  MbrEntry out;
  out.type = e[4];
  out.first = GetLittleEndian(e + 8, 4);
  out.count = GetLittleEndian(e + 12, 4);
  return out;
}

uint32_t ValidSectorSize(uint32_t bytes) {
  if (bytes < 512 || bytes > 4096 || (bytes & (bytes - 1)) != 0) return 512;
  return bytes;
}

// first + count <= limit without overflow (count > 0).
bool FitsBelow(uint64_t first, uint64_t count, uint64_t limit) {
  return count != 0 && first < limit && count <= limit - first;
}

}  // namespace

// ---------------------------------------------------------------- readers

bool DriveSectorReader::ReadSectors(uint64_t sector, uint32_t count, uint8_t* out) {
  if (sector > uint64_t(INT64_MAX) || count == 0) return false;
  const uint64_t bytes = uint64_t(count) * sectorSize_;
  if (bytes > Drive::kTransferSize) return false;
  return drive_.ReadSectors(int64_t(sector), uint32_t(bytes), 512, out, true) != nullptr;
}

bool HandleSectorReader::ReadSectors(uint64_t sector, uint32_t count, uint8_t* out) {
  if (fd_ < 0 || count == 0 || sector > uint64_t(INT64_MAX) / sectorSize_) return false;
  size_t want = size_t(count) * sectorSize_;
  uint64_t offset = sector * sectorSize_;
  while (want > 0) {
    ssize_t n = pread(fd_, out, want, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      ErrorMsg(nullptr, u"Reading the partition table");
      return false;
    }
    out += n;
    offset += uint64_t(n);
    want -= size_t(n);
  }
  return true;
}

// ---------------------------------------------------------------- table

PartitionTable::PartitionTable(Drive* drive, uint32_t sectorSize)
    : sectorSize_(ValidSectorSize(sectorSize)), drive_(drive) {
  mbr_.reset(new uint8_t[size_t(4) * sectorSize_]());
}

int PartitionTable::AddPartition(uint64_t start, uint64_t length, uint16_t type) {
  if (length == 0 || start > kPartitionMaxSector || length > kPartitionMaxSector) return -1;
  uint32_t at = 0;
  while (at < count_ && entries_[at].Start() < start) ++at;
  for (; at < count_ && entries_[at].Start() == start; ++at) {
    if (entries_[at].Length() == length) return int(at);
  }
  if (count_ == capacity_) {
    const uint32_t grown = capacity_ + kGrowBy;
    std::unique_ptr<PartitionEntry[]> bigger(new (std::nothrow) PartitionEntry[grown]());
    if (!bigger) return -1;
    if (count_) std::memcpy(bigger.get(), entries_.get(), size_t(count_) * sizeof(PartitionEntry));
    entries_ = std::move(bigger);
    capacity_ = grown;
  }
  std::memmove(&entries_[at + 1], &entries_[at], size_t(count_ - at) * sizeof(PartitionEntry));
  PartitionEntry& e = entries_[at];
  e = PartitionEntry{};
  e.startLow = uint32_t(start);
  e.startHigh = uint16_t(start >> 32);
  e.lengthLow = uint32_t(length);
  e.lengthHigh = uint16_t(length >> 32);
  e.type = type;
  ++count_;
  return int(at);
}

bool PartitionTable::CheckAndCopyParTable(const uint8_t* sector, uint64_t deviceSectors, MbrEntry out[4]) {
  TRACE_FN("CheckAndCopyParTable");
  if (traceIo) TracePrintfA("In CheckAndCopyParTable\n");
  for (int i = 0; i < 4; ++i) out[i] = MbrEntry{};
  if (!HasSignature(sector)) {
    if (traceIo) TracePrintfA("Out CheckAndCopyParTable\n");
    return false;
  }
  MbrEntry accepted[4];
  bool ok = true;
  for (int i = 0; i < 4 && ok; ++i) {
    const MbrEntry e = ReadMbrEntry(sector, i);
    if (e.count == 0) continue;
    const uint64_t last = uint64_t(e.first) + e.count - 1;
    if (e.type != kTypeGptProtective && last >= deviceSectors) {
      ok = false;
      break;
    }
    for (int j = 0; j < i; ++j) {
      const MbrEntry& a = accepted[j];
      if (a.count == 0) continue;
      const uint64_t aLast = uint64_t(a.first) + a.count - 1;
      if (e.first <= aLast && a.first <= last) {
        ok = false;
        break;
      }
    }
    if (!ok) break;
    accepted[i] = e;
    if (traceIo) TracePrintfA("Adding %d\n", i);
  }
  if (ok) {
    for (int i = 0; i < 4; ++i) out[i] = accepted[i];
  }
  if (traceIo) TracePrintfA("Out CheckAndCopyParTable\n");
  return ok;
}

bool PartitionTable::IsProtectiveMbr(const uint8_t* sector) {
  if (!HasSignature(sector)) return false;
  if (ReadMbrEntry(sector, 0).type != kTypeGptProtective) return false;
  for (int i = 1; i < 4; ++i) {
    if (ReadMbrEntry(sector, i).type != 0) return false;
  }
  return true;
}

bool PartitionTable::ReadPartitionTable(int handle, uint64_t deviceSectors) {
  if (handle >= 0) {
    HandleSectorReader reader(handle, sectorSize_);
    return ReadPartitionTable(reader, deviceSectors);
  }
  if (!drive_) {
    ErrorMsg(u"No drive to read the partition table from.");
    return false;
  }
  DriveSectorReader reader(*drive_, sectorSize_);
  return ReadPartitionTable(reader, deviceSectors);
}

std::shared_ptr<PartitionTable> PartitionTable::ReadFromFile(const std::string& path, uint64_t deviceSectors) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  auto table = std::make_shared<PartitionTable>(nullptr, 512);
  if (!table->ReadPartitionTable(fd, deviceSectors)) table->Clear();
  close(fd);
  return table;
}

bool PartitionTable::ReadPartitionTable(SectorReader& reader, uint64_t deviceSectors) {
  TRACE_FN("ReadPartitionTable");
  if (traceIo) TracePrintfA("In ReadPartitionTable\n");
  bool valid = false;
  MbrEntry entries[4];
  if (deviceSectors > 0 && reader.ReadSectors(0, 1, mbr_.get()) &&
      CheckAndCopyParTable(mbr_.get(), deviceSectors, entries)) {
    valid = true;
    const bool protective = IsProtectiveMbr(mbr_.get());
    for (const MbrEntry& e : entries) {
      if (e.count == 0) continue;
      if (IsExtendedType(e.type)) {
        ReadExtendedChain(reader, e.first, e.count, deviceSectors);
      } else if (e.type == kTypeGptProtective && protective) {
        ReadGPT(reader, e.first, deviceSectors);
      } else if (FitsBelow(e.first, e.count, deviceSectors)) {
        // A 0xEE entry of a table that is not protective passed the table
        // check unmeasured: it is taken only when it lies on the drive.
        AddPartition(e.first, e.count, e.type);
      }
    }
  }
  if (traceIo) TracePrintfA("Out ReadPartitionTable\n");
  return valid;
}

int PartitionTable::ReadExtendedChain(SectorReader& reader, uint64_t base, uint64_t size, uint64_t deviceSectors) {
  TRACE_FN("ReadExtendedChain");
  if (!FitsBelow(base, size, deviceSectors)) return 0;
  std::unique_ptr<uint8_t[]> ebr(new (std::nothrow) uint8_t[sectorSize_]);
  if (!ebr) return 0;
  int added = 0;
  uint64_t p = 0;
  // Each link must lead forward inside the extended partition, so a chain
  // that loops or turns back ends; the step cap bounds a long forward one.
  for (uint32_t step = 0; step < kMaxLogicalPartitions; ++step) {
    if (p >= size) break;
    MbrEntry e[4];
    if (!reader.ReadSectors(base + p, 1, ebr.get())) break;
    if (!CheckAndCopyParTable(ebr.get(), size, e)) break;
    const MbrEntry& logical = e[0];
    if (logical.count > kMinLogicalSectors && p + logical.first + logical.count <= size &&
        base + p + logical.first + logical.count <= deviceSectors) {
      if (AddPartition(base + p + logical.first, logical.count, logical.type) >= 0) ++added;
    }
    const MbrEntry& link = e[1];
    if (!IsExtendedType(link.type) || link.count <= kMinLogicalSectors ||
        uint64_t(link.first) + link.count > size)
      break;
    if (link.first <= p) {
      if (traceIo) TracePrintfA("Extended chain turns back at %I64d\n", int64_t(base + link.first));
      break;
    }
    p = link.first;
  }
  return added;
}

bool PartitionTable::ReadGPT(SectorReader& reader, uint64_t headerSector, uint64_t deviceSectors) {
  TRACE_FN("ReadGPT");
  TracePrintfA("In ReadGPT\n");
  const uint32_t ss = sectorSize_;
  uint8_t* header = mbr_.get() + ss;
  bool ok = false;
  if (headerSector == 0 || headerSector >= deviceSectors) {
    TracePrintfA("Out ReadGPT\n");
    return false;
  }
  TracePrintfA("ReadData hDev %d nSectNo %I64d nSize %ld\n", -1, int64_t(headerSector), int32_t(ss));
  if (!reader.ReadSectors(headerSector, 1, header) || std::memcmp(header, kGptSignature, 8) != 0) {
    TracePrintfA("Out ReadGPT\n");
    return false;
  }
  ok = true;
  const uint32_t entryCount = GetLittleEndian(header + 80, 4);
  const uint32_t entrySize = GetLittleEndian(header + 84, 4);
  if ((entrySize != 128 && entrySize != 256 && entrySize != 512) || entryCount > kGptMaxEntries) {
    TracePrintfA("Out ReadGPT\n");
    return ok;
  }
  // The array lies right after the header; it is read in chunks and never
  // past its last entry or the drive's end.
  const uint64_t arrayBytes = uint64_t(entryCount) * entrySize;
  uint64_t arraySectors = (arrayBytes + ss - 1) / ss;
  const uint64_t firstArraySector = headerSector + 1;
  if (firstArraySector >= deviceSectors) arraySectors = 0;
  else if (arraySectors > deviceSectors - firstArraySector) arraySectors = deviceSectors - firstArraySector;
  const uint32_t perSector = ss / entrySize;

  std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[size_t(kGptChunkSectors) * ss]);
  if (!chunk) {
    TracePrintfA("Out ReadGPT\n");
    return ok;
  }
  uint32_t walked = 0;
  bool done = false;
  for (uint64_t s = 0; s < arraySectors && !done;) {
    const uint32_t n = uint32_t(std::min<uint64_t>(kGptChunkSectors, arraySectors - s));
    if (!reader.ReadSectors(firstArraySector + s, n, chunk.get())) break;
    for (uint32_t i = 0; i < n * perSector; ++i) {
      if (walked++ >= entryCount) {
        done = true;
        break;
      }
      const uint8_t* e = chunk.get() + size_t(i) * entrySize;
      const uint64_t first = GetLittleEndian(e + 32, 4) | uint64_t(GetLittleEndian(e + 36, 4)) << 32;
      const uint64_t last = GetLittleEndian(e + 40, 4) | uint64_t(GetLittleEndian(e + 44, 4)) << 32;
      if (traceIo) {
        TracePrintfA(
            "PartitionTypeGUID %08u-%04u-%04u-%02u%02u%02u%02u%02u%02u%02u%02u EndingLBA %I64d StartingLBA %I64d "
            "nDevSzInSects %I64d\n",
            GetLittleEndian(e, 4), GetLittleEndian(e + 4, 2), GetLittleEndian(e + 6, 2), e[8], e[9], e[10], e[11],
            e[12], e[13], e[14], e[15], int64_t(last), int64_t(first), int64_t(deviceSectors));
      }
      static const uint8_t kZero[16] = {};
      if (std::memcmp(e, kZero, 16) == 0 || first > last || last >= deviceSectors) {
        done = true;
        break;
      }
      const uint16_t type = std::memcmp(e, kVmfsTypeGuid, 16) == 0 ? kPartitionVmfs : 0;
      AddPartition(first, last - first + 1, type);
    }
    s += n;
  }
  TracePrintfA("Out ReadGPT\n");
  return ok;
}
