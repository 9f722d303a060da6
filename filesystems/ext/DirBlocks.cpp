#include "filesystems/ext/DirBlocks.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "filesystems/ext/Definitions.h"
#include "filesystems/ext/NameTrees.h"
#include "filesystems/ext/UnixVolume.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

using namespace ext;

namespace {

// UFS's "." and ".." (type 4 at byte 6, the name length at 7): the same
// words with the bytes the other way round.
constexpr uint32_t kUfsDotWord = 0x0104000C;
constexpr uint16_t kUfsDotDotWord = 0x0204;
constexpr uint32_t kDirBlockHead = 24;

bool IsDotName(const uint8_t* name, uint8_t length) {
  return (length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.');
}

// A record as the layout reads it.
struct Record {
  uint32_t inode = 0;
  uint16_t length = 0;
  uint8_t nameLength = 0;
  uint8_t type = 0;
  const uint8_t* name = nullptr;
};

Record ReadRecord(const uint8_t* p, const UnixEntryLayout& l) {
  Record r;
  r.inode = Le32(p + kDeInode);
  r.length = Le16(p + kDeRecLen);
  r.nameLength = p[l.nameLengthAt];
  r.type = p[l.typeAt];
  r.name = p + kDeName;
  return r;
}

// A deleted record in the space [at, end) after a live one: a named
// inode of the volume, a known type, a name without "/" or NUL that fits.
bool HiddenRecord(const uint8_t* data, size_t at, size_t end, const UnixEntryLayout& l, uint64_t inodes, Record* out) {
  if (at + kDeHeaderBytes > end) return false;
  const Record r = ReadRecord(data + at, l);
  if (!r.inode || r.inode > inodes || !r.nameLength) return false;
  if (r.type != l.regular && r.type != l.directory && r.type != l.symlink) return false;
  if (at + kDeHeaderBytes + r.nameLength > end || r.length < kDeHeaderBytes + r.nameLength) return false;
  for (uint32_t i = 0; i < r.nameLength; ++i)
    if (r.name[i] == 0 || r.name[i] == '/') return false;
  *out = r;
  return true;
}

uint32_t RecordBytes(uint32_t nameLength) { return (kDeHeaderBytes + nameLength + 3) & ~3u; }

// One record named into the trees; false when it names nothing. A parent
// past the volume's inodes is a folder whose number is not known.
bool NameRecord(CUnixVol& v, const Record& r, uint32_t parent, bool hidden) {
  UnixNameTrees& t = v.Trees();
  if (t.Listed(r.inode) || IsDotName(r.name, r.nameLength)) return false;
  const UnixEntryLayout& l = v.entryLayout;
  const uint8_t strength = hidden                                                    ? kNameHidden
                           : uint64_t(parent) > uint64_t(v.inodeCount) + v.inodeBase ? kNameUnplaced
                                                                                     : kNameLive;
  if (r.type == l.directory) {
    t.AddFolder(r.inode, parent, r.name, r.nameLength, strength);
  } else if (r.type == l.regular || r.type == l.symlink) {
    t.AddFile(r.inode, parent, r.name, r.nameLength, strength);
  } else if (r.type == 0) {
    // No type kept (ext2 without the feature): either.
    t.AddFolder(r.inode, parent, r.name, r.nameLength, strength);
    t.AddFile(r.inode, parent, r.name, r.nameLength, strength);
  } else {
    return false;
  }
  return true;
}

}  // namespace

int IsUnixDirBlock(const uint8_t* d, uint32_t* dot, uint32_t* dotDot) {
  if (d[kDirDotName] != '.' || d[kDirDotDotName] != '.' || d[kDirDotDotName + 1] != '.') return 0;
  const uint32_t word = Le32(d + 4);
  const uint16_t second = Le16(d + 18);
  int kind = 0;
  if (word == kDirDotWord && second == kDirDotDotWord) kind = 4;
  else if (word == kUfsDotWord && second == kUfsDotDotWord) kind = 5;
  if (!kind) return 0;
  if (dot) *dot = Le32(d);
  if (dotDot) *dotDot = Le32(d + kDirDotDotInode);
  return kind;
}

bool IsUnixDirEntryRun(const uint8_t* d, size_t bytes, uint64_t inodeCount) {
  size_t at = 0;
  bool any = false;
  while (at + kDeHeaderBytes <= bytes) {
    const uint32_t inode = Le32(d + at + kDeInode);
    const uint16_t length = Le16(d + at + kDeRecLen);
    const uint8_t nameLength = d[at + kDeNameLen], type = d[at + kDeFileType];
    if (length == 0 || length > bytes - at || inode > inodeCount) return false;
    if (inode) {
      if (type != kDeTypeRegular && type != kDeTypeDirectory && type != kDeTypeSymlink) return false;
      if (length < kDeHeaderBytes + nameLength) return false;
      any = true;
    }
    at += length;
  }
  return at == bytes && any;
}

int NameUnixEntries(CUnixVol& v, const uint8_t* data, size_t bytes, uint32_t* parent) {
  UnixNameTrees& t = v.Trees();
  const UnixEntryLayout& l = v.entryLayout;
  const uint64_t inodes = uint64_t(v.inodeCount) + v.inodeBase;
  int named = 0;
  size_t at = 0;
  while (at + kDeHeaderBytes <= bytes) {
    const Record r = ReadRecord(data + at, l);
    if (r.length < kDirMinRecord || r.length % 4 || r.length > bytes - at || r.length < kDeHeaderBytes + r.nameLength)
      break;
    if (r.inode > inodes) break;
    if (r.inode && r.nameLength) {
      const bool dir = r.type == l.directory || r.type == 0;
      if (dir && r.nameLength == 1 && r.name[0] == '.') {
        *parent = r.inode;
        t.AddFolder(r.inode, 0, nullptr, 0, kNameHidden);
      } else if (dir && r.nameLength == 2 && r.name[0] == '.' && r.name[1] == '.') {
        if (*parent) t.SetFolderParent(*parent, r.inode);
      } else {
        // A folder whose "." this piece does not hold: a folder of its own
        // beyond the volume's inodes.
        if (!*parent) *parent = uint32_t(inodes + ++v.syntheticParents);
        named += NameRecord(v, r, *parent, false);
      }
    }
    // Deleted records in the space the live one does not use; not in a
    // hashed folder's index (its root after "..", its index blocks posing
    // as one empty record).
    const size_t used = r.inode ? RecordBytes(r.nameLength) : kDeHeaderBytes;
    const size_t cs = v.clusterSize, within = cs ? at % cs : 0;
    const uint8_t* block = data + (at - within);
    const bool index =
        cs >= 32 &&
        ((within == 12 && r.length == cs - 12 && r.nameLength == 2 && Le32(block + 24) == 0 && block[29] == 8) ||
         (within == 0 && !r.inode && !r.nameLength && r.length == cs));
    for (size_t h = at + used, end = index ? at : at + r.length; h + kDeHeaderBytes + 1 <= end;) {
      Record hidden;
      if (!HiddenRecord(data, h, end, l, inodes, &hidden) || IsDotName(hidden.name, hidden.nameLength)) {
        h += 4;
        continue;
      }
      if (!*parent) *parent = uint32_t(inodes + ++v.syntheticParents);
      named += NameRecord(v, hidden, *parent, true);
      h += RecordBytes(hidden.nameLength);
    }
    at += r.length;
    if (v.StopRequested()) break;
  }
  return named;
}

bool AddUnixDirBlockEntries(CUnixVol& v, const uint8_t* data, size_t bytes, int64_t) {
  if (!v.clusterSize || bytes < v.clusterSize) return false;
  uint32_t parent = 0;
  NameUnixEntries(v, data, v.clusterSize, &parent);
  return true;
}

bool IsUnixDirSector(const uint8_t* sector, const ClassifyContext*) {
  return IsUnixDirBlock(sector, nullptr, nullptr) != 0;
}

int ScanUnixDirSector(SectorVisit& visit) {
  uint32_t dot = 0, dotDot = 0;
  Drive* d = visit.drive;
  if (!d || visit.bytesLeft < kDirBlockHead) return 0;
  const int kind = IsUnixDirBlock(visit.sector, &dot, &dotDot);
  if (!kind) return 0;
  const uint32_t ds = d->SectorSize() ? d->SectorSize() : 512;
  struct Candidate {
    CUnixVol* volume;
    int score;
  };
  std::vector<Candidate> candidates;
  int best = 0;
  uint32_t need = 0;
  for (uint32_t i = 0; i < VolumeCount(*d); ++i) {
    auto* v = dynamic_cast<CUnixVol*>(VolumeAt(*d, i));
    if (!v || v->DirBlockKind() != kind || !v->clusterSize || !v->inodesPerGroup || !v->blocksPerGroup) continue;
    if (visit.position < int64_t(v->startSector)) continue;
    const unsigned __int128 byte = (unsigned __int128)(uint64_t(visit.position) - v->startSector) * ds;
    const unsigned __int128 volumeBytes = (unsigned __int128)v->sizeSectors * v->sectorSize;
    // On the volume's block grid and inside it.
    if (byte % v->clusterSize || byte + v->clusterSize > volumeBytes) continue;
    int score = 1;
    const uint64_t block = uint64_t(byte / v->clusterSize);
    if (dot >= v->inodeBase && block / v->blocksPerGroup == (dot - v->inodeBase) / v->inodesPerGroup) score = 2;
    candidates.push_back({v, score});
    best = std::max(best, score);
    need = std::max(need, v->clusterSize);
  }
  if (candidates.empty()) return 0;
  if (need > visit.bytesLeft) {
    // The block is cut by the read's end: the pass joins it with the next.
    visit.needBytes = need;
    return 0;
  }
  int taken = 0;
  for (const Candidate& c : candidates) {
    if (c.score != best) continue;
    if (traceUnixFsA)
      TracePrintfA("Dir block @ %I64d inode %ld parent %ld\n", visit.position, int32_t(dot), int32_t(dotDot));
    taken |= AddUnixDirBlockEntries(*c.volume, visit.sector, size_t(visit.bytesLeft), visit.position) ? 1 : 0;
  }
  return taken;
}
