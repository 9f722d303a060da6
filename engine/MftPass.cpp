// The NTFS metadata pass of a Quick Scan: the volume's $MFT is read in large
// pieces, every FILE record becomes a node, folders are mapped by record
// number, and once every record is known the paths are built and the shown
// nodes handed over in record order.
#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engine/Engine.h"
#include "engine/ProgressStats.h"
#include "engine/SendObj.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Memory.h"
#include "volumes/Node.h"
#include "volumes/ntfs/DevBitmap.h"
#include "volumes/ntfs/Inode.h"
#include "volumes/ntfs/NtfsDefinitions.h"
#include "volumes/ntfs/NtfsVolume.h"

namespace {

constexpr uint32_t kChunkBytes = 0x100000;
// Deeper folder chains than this are damaged or crafted (or a loop).
constexpr int kMaxFolderDepth = 1024;

struct AlignedBuffer {
  explicit AlignedBuffer(size_t n) : p(static_cast<uint8_t*>(AlignedAlloc(n))) {}
  ~AlignedBuffer() { AlignedFree(p); }
  uint8_t* p;
};

bool StopRequested(const NTFSObj& engine) {
  return engine.abort || (g_appState && g_appState->stopRequested);
}

void HonourPause(const NTFSObj& engine) {
  while (g_appState && g_appState->pauseRequested && !StopRequested(engine)) {
    if (g_eventPause) g_eventPause->Wait(100);
  }
}

bool IsRecycleFolderName(WStringView name) {
  return EqualsNoCase(name, u"$Recycle.Bin") || EqualsNoCase(name, u"RECYCLER") || EqualsNoCase(name, u"RECYCLED");
}

}  // namespace

int NTFSObj::ReadMFT(NTFSVol* volume, int report) {
  TRACE_FN("NTFSObj::ReadMFT");
  if (!volume) return -1;
  if (volume->LoadMftNode() != 0 || !volume->mftMap || volume->RecordCount() == 0) {
    if (report) {
      ErrorMsg(Msg(424));
      throw DvCodeError{424};
    }
    return -1;
  }
  volume->mftNode->volumeIndex = uint16_t(volume->index);
  volume->mftNode->flags |= kInodeAtHome | kInodeNumberKnown;
  volume->mftNode->id = 0;
  return 0;
}

int NTFSObj::ParseNTFS(NTFSVol* vol, uint64_t firstRecord, int firstStep) {
  TRACE_FN("NTFSObj::ParseNTFS");
  CProgressAndStats& stats = theProgressAndStats();
  const uint32_t recSize = vol->recordSize;
  if (!vol->mftMap || recSize < 512 || kChunkBytes % recSize) return 0;
  // The loop bound comes from disk: never past what the runs map.
  const uint64_t mapped = vol->mftMap->TotalClusters() * uint64_t(vol->clusterSize);
  const uint64_t records = std::min(vol->RecordCount(), mapped / recSize);
  const uint32_t perChunk = kChunkBytes / recSize;
  const uint16_t volIndex = uint16_t(vol->index);
  const uint8_t show = g_appState ? g_appState->scanFlag.load() : 3;
  const uint32_t share = vol->progressSteps;

  AlignedBuffer buf(kChunkBytes);
  if (!buf.p) {
    ErrorMsg(u"Out of memory.");
    throw DvCodeError{0};
  }
  inode work;
  work.names = nodes.get();
  // Folder record -> node index, and the nodes this pass added, in order.
  std::unordered_map<uint32_t, uint32_t> folders;
  std::vector<uint32_t> added;
  added.reserve(size_t(std::min<uint64_t>(records, 1u << 20)));
  int lastPercent = -1;
  std::vector<std::pair<uint32_t, uint64_t>> pieces;  // (chunk offset, volume byte)

  for (uint64_t first = firstRecord - firstRecord % perChunk; first < records && !StopRequested(*this);
       first += perChunk) {
    const uint32_t inChunk = uint32_t(std::min<uint64_t>(perChunk, records - first));
    const uint64_t streamFirst = first * recSize;
    const uint32_t want = inChunk * recSize;
    // Fill the chunk from the runs; an unmapped or unreadable piece reads as
    // zeros (its records are then skipped) and its volume position as 0.
    pieces.clear();
    uint32_t filled = 0;
    while (filled < want) {
      uint64_t contiguous = 0;
      const uint64_t at = vol->mftMap->MapByte(streamFirst + filled, &contiguous);
      const uint32_t cs = vol->clusterSize;
      if (!at || !contiguous) {
        const uint32_t n = std::min<uint32_t>(want - filled, cs);
        std::memset(buf.p + filled, 0, n);
        pieces.emplace_back(filled, 0);
        filled += n;
        continue;
      }
      const uint32_t n = uint32_t(std::min<uint64_t>(contiguous, want - filled));
      const uint32_t clusters = (n + cs - 1) / cs;
      uint32_t got = 0;
      const uint8_t* p = vol->ReadClusters(buf.p + filled, int64_t(at / cs), clusters, 0, kChunkBytes - filled, &got);
      const uint32_t gotBytes = p ? std::min<uint32_t>(n, got * cs) : 0;
      if (gotBytes < n) std::memset(buf.p + filled + gotBytes, 0, n - gotBytes);
      if (at % cs) {  // runs are cluster-aligned; a misaligned map is not trusted
        std::memset(buf.p + filled, 0, n);
        pieces.emplace_back(filled, 0);
      } else {
        pieces.emplace_back(filled, at);
      }
      filled += n;
    }
    size_t piece = 0;
    for (uint32_t k = 0; k < inChunk; k++) {
      const uint64_t r = first + k;
      if (r < firstRecord) continue;
      if (StopRequested(*this)) break;
      HonourPause(*this);
      stats.block[kStatRecordsRead]++;
      uint8_t* rec = buf.p + size_t(k) * recSize;
      const uint32_t off = k * recSize;
      while (piece + 1 < pieces.size() && pieces[piece + 1].first <= off) piece++;
      const uint64_t base = pieces[piece].second;
      if (!base || !CheckFILERecord(rec) || rec[ntfs::kRecUsaOffset + 1] != 0) continue;
      const uint64_t volByte = base + (off - pieces[piece].first);
      work.Init(rec, vol);
      work.position = vol->startSector + volByte / vol->sectorSize;
      if (work.parseEntry() != 0) {
        stats.block[kStatRecordsSkipped]++;
        continue;
      }
      stats.block[kStatRecordsParsed]++;
      // Extension records carry attributes of their base record only.
      if (work.baseRefLow || (work.baseRefHigh & 0xFFFF)) continue;
      if (work.HasPieces()) vol->LoadPieces(&work);
      if (work.id == kNoNodeId || work.id != uint32_t(r)) {
        const int sys = SystemFileRecordNumber(work.fileName);
        work.id = sys >= 0 ? uint32_t(sys) : uint32_t(r);
      }
      work.flags |= kInodeNumberKnown | kInodeAtHome;
      work.volumeIndex = volIndex;
      vol->SetNodeClusterCode(&work);
      const bool deleted = (work.flags2 & ntfs::kRecInUse) == 0;
      if (deleted) work.flags |= kNodeDeleted;
      if (work.residentData && work.size != 0 && work.size <= recSize && !work.runs)
        work.flags = uint16_t((work.flags & ~kNodeGradeMask) | (3 << kNodeGradeShift));
      if (work.id == ntfs::kRecordVolume) {
        vol->versionMajor = work.versionMajor;
        vol->versionMinor = work.versionMinor;
        if (vol->label.empty() && work.volumeName) vol->label = *work.volumeName;
      } else if (work.id == ntfs::kRecordBitmap && !deleted) {
        vol->ProcBitmap(&work);
        if (vol->sizeSectors == 0 && vol->bitmap)
          vol->sizeSectors = uint64_t(vol->bitmap->count) * vol->sectorsPerCluster;
      }
      int64_t idx = -1;
      cnode* stored = AddNewNode(&work, true, &idx);
      if (!stored) continue;
      added.push_back(uint32_t(idx));
      if (stored->IsDirectory()) folders[stored->id] = uint32_t(idx);
      foundCount++;
      if (share && scanMode == 0) {
        const int pc = firstStep + int(uint64_t(share) * (r + 1) / records);
        if (pc != lastPercent && sendObj) {
          lastPercent = pc;
          sendObj->SetPercentComplete(std::min(pc, 100), kCodeFoundItems, 1);
        }
      }
    }
  }

  // Folder paths ("\a\b\") by folder record, built once each, with whether
  // they lie in a recycle bin. A missing or unreadable parent leaves the path
  // where the chain broke off: the file still comes out, under the volume.
  struct FolderInfo {
    WString path;
    bool inRecycle = false;
  };
  std::unordered_map<uint32_t, FolderInfo> pathOf;
  pathOf.emplace(ntfs::kRecordRoot, FolderInfo{WString(1, u'\\'), false});
  auto folderPath = [&](uint32_t parentRecord) -> const FolderInfo* {
    std::vector<uint32_t> chain;
    uint32_t at = parentRecord;
    const FolderInfo* known = nullptr;
    while (true) {
      auto hit = pathOf.find(at);
      if (hit != pathOf.end()) {
        known = &hit->second;
        break;
      }
      auto f = folders.find(at);
      if (f == folders.end() || int(chain.size()) >= kMaxFolderDepth ||
          std::find(chain.begin(), chain.end(), at) != chain.end())
        return nullptr;
      chain.push_back(at);
      const cnode* n = nodes->GetAt(f->second);
      if (!n) return nullptr;
      at = n->parentId;
    }
    FolderInfo info = *known;
    for (size_t i = chain.size(); i-- > 0;) {
      const cnode* n = nodes->GetAt(folders[chain[i]]);
      const WString part = n->GetNameW();
      info.path.append(part.data(), part.size());
      info.path.push_back(u'\\');
      info.inRecycle = info.inRecycle || IsRecycleFolderName(part);
      known = &(pathOf[chain[i]] = info);
    }
    return known;
  };
  const FolderInfo volumeRoot{WString(1, u'\\'), false};

  // Paths start with the volume's two-character part: its letter or its
  // number code, and a colon.
  const WString prefix(vol->driveLetter);
  for (uint32_t idx : added) {
    if (StopRequested(*this)) break;
    cnode* n = nodes->GetAt(idx);
    if (!n) continue;
    const bool deleted = (n->flags & kNodeDeleted) != 0;
    if (n->id == ntfs::kRecordRoot) continue;
    if (deleted ? !(show & 1) : !(show & 2)) continue;
    WString name = n->GetNameW();
    if (scanMode == 0 && n->id < 16 && !name.empty() && name[0] == u'$') continue;
    if (name.empty()) continue;
    const FolderInfo* found = folderPath(n->parentId);
    const FolderInfo& folder = found ? *found : volumeRoot;
    // Recycle-bin contents are read by the recycle-bin code, not listed.
    if (folder.inRecycle) continue;
    if (g_appState && g_appState->fileFilter && !g_appState->fileFilter->ContainsW(name)) continue;
    if (n->IsDirectory()) {
      if (deleted) n->flags = uint16_t((n->flags & ~kNodeGradeMask) | (4 << kNodeGradeShift));
    } else if (vol->bitmap && ((n->flags & kNodeGradeMask) == 0)) {
      vol->bitmap->DetermineFileStatus(n, deleted ? 1 : 0);
    }
    n->flags |= kNodeHandedOver;
    stats.block[kStatItemsFound]++;
    if (deleted) stats.block[kStatDeletedFound]++;
    if (n->IsDirectory()) stats.block[kStatFoldersFound]++;
    foundCount--;
    StoreFileItem(prefix, folder.path, idx);
  }
  delete vol->bitmap;
  vol->bitmap = nullptr;
  stats.block[kStatVolumesScanned]++;
  return 0;
}
