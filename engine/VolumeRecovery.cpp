#include "engine/VolumeRecovery.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "engine/PieceWriter.h"
#include "engine/RecFile.h"
#include "engine/RecoverDriver.h"
#include "engine/RecoverNtfs.h"
#include "engine/RecoveryLog.h"
#include "engine/SendObj.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "volumes/DestinationPath.h"
#include "volumes/Extents.h"
#include "volumes/FolderWalk.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

namespace {

constexpr size_t kPieceBytes = 0x100000;
// A folder whose pieces give no entry this many times in a row is damaged.
constexpr int kMaxEmptyPieces = 16;

// The run the volume belongs to stops and pauses it (CVol::engine).
bool Stopped(const CVol* v) { return v->StopRequested(); }
void WaitWhilePaused(const CVol* v) { v->ContinueAfterPause(); }

Drive* DriveOf(const CVol* v) { return v->drive; }

}  // namespace

int ParseDirData(CVol* v, cnode* folder) {
  if (!v->BuildNodeExtents(folder)) return 0;
  const FamilyScanOps* family = FindScanOps(v->type);
  if (!family || !family->parseEntries) return 0;
  uint8_t* buffer = v->GetClusterBuffer();
  // Never past the volume, whatever size the folder claims.
  const uint64_t volumeBytes = v->sizeSectors ? v->sizeSectors * uint64_t(v->sectorSize) : UINT64_MAX;
  const uint64_t claimed = family->folderBytes ? family->folderBytes(*v, *folder) : folder->size;
  const uint64_t size = std::min<uint64_t>(claimed, volumeBytes);
  int empty = 0;
  for (uint64_t at = 0; at < size && !Stopped(v);) {
    WaitWhilePaused(v);
    const uint64_t want = std::min<uint64_t>(size - at, kPieceBytes);
    // A file saved during the walk (Scan and Save) mapped itself on the
    // volume: the folder's own mapping first again.
    if (at && v->Options().scanAndSave && !v->BuildNodeExtents(folder)) break;
    const int64_t got = v->ReadNodeData(*folder, at, want, buffer, kClusterBufferBytes);
    if (got <= 0) break;
    const size_t use = size_t(std::min<uint64_t>(uint64_t(got), want));
    if (family->parseEntries(*v, *folder, buffer, use) > 0) empty = 0;
    else if (++empty >= kMaxEmptyPieces) return 0;
    at += use;
  }
  return 1;
}

int ParseFSCm(CVol* v) {
  TRACE_FN("ParseFSCm");
  if (!v || !v->rootNode) return 1;
  FolderWalk& walk = TheFolderWalk();
  walk = FolderWalk{};
  walk.volume = v;
  // A family of several trees gives their roots one tree after the other.
  const FamilyScanOps* scans = FindScanOps(v->type);
  bool (*const nextRoots)(CVol&, FolderWalk&, bool) = scans ? scans->nextRoots : nullptr;
  const bool rooted = nextRoots ? nextRoots(*v, walk, true) : true;
  if (!nextRoots) walk.live.push_back(FolderWalk::Entry{v->rootNode, WString(1, u'\\')});
  while (rooted && !Stopped(v)) {
    WaitWhilePaused(v);
    if (walk.live.empty()) {
      if (!walk.deleted.empty()) walk.live.swap(walk.deleted);
      else if (!nextRoots || !nextRoots(*v, walk, false)) break;
      continue;
    }
    FolderWalk::Entry e = std::move(walk.live.front());
    walk.live.pop_front();
    const NodeOps* ops = FindNodeOps(e.node->kind);
    const uint64_t key = scans && scans->folderKey ? scans->folderKey(*e.node)
                         : ops && ops->fullId      ? ops->fullId(*e.node)
                                                   : e.node->id;
    if (walk.parsed.insert(key).second) {
      if (traceMft) TracePrintfW(u"\n--- Parsing %s inode %ld %ld\n", e.path, int32_t(e.node->id), 0);
      if (ViewSink* view = v->Options().view) view->ProgressText(4, FormatW(Msg(557), e.path));
      walk.path = e.path;
      ParseDirData(v, e.node);
    }
    if (e.node != v->rootNode) DeleteNode(&e.node);
  }
  for (auto* q : {&walk.live, &walk.deleted})
    for (FolderWalk::Entry& e : *q)
      if (e.node != v->rootNode) DeleteNode(&e.node);
  walk = FolderWalk{};
  v->FreeBuf();
  return 1;
}

namespace {

uint64_t BytesOf(uint64_t clusters, uint32_t shift) {
  return clusters > (UINT64_MAX >> shift) ? UINT64_MAX : clusters << shift;
}

// How much of the node its map holds: a file ends where its map ends, and a
// hole after the last of its data is believed while the file fits the
// volume (a sparse tail); past the volume such a size is not the file's,
// which ends where its data ends. Without a map (block maps) the family
// says where the data can end at most; without that the size stands.
uint64_t MappedLength(CVol& v, const cnode& node, CExtents* map, uint64_t limit) {
  const uint64_t size = node.size;
  if (!size) return size;
  uint64_t length = size, dataEnd = UINT64_MAX;
  if (map) {
    const uint32_t shift = map->clusterShift;
    length = std::min(size, BytesOf(map->TotalClusters(), shift));
    dataEnd = BytesOf(DataEndVcn(*map, limit), shift);
  } else if (const FamilyDataOps* ops = FindDataOps(v.type); ops && ops->dataEnd) {
    dataEnd = ops->dataEnd(v, node);
  }
  const uint64_t volumeBytes =
      v.sizeSectors && v.sizeSectors <= UINT64_MAX / v.sectorSize ? v.sizeSectors * v.sectorSize : UINT64_MAX;
  if (length > dataEnd && length > volumeBytes) length = dataEnd;
  return length;
}

}  // namespace

int RecoverVolumeNode(CVol* v, const cnode* node, WStringView destPath, RecMemory* memory, uint32_t* corruptOut,
                      CHashFile* hash, int64_t resumeOffset) {
  TRACE_FN("CVol::RecoverNode");
  uint32_t corruptLocal = 0;
  uint32_t& corrupt = corruptOut ? *corruptOut : corruptLocal;
  corrupt = 0;
  if (!v || !node) return -1;
  const uint32_t cs = v->clusterSize ? v->clusterSize : 4096;
  // Clusters the family's map knows to be wrong (a chain cut short) make
  // the file corrupt however well they read.
  uint32_t mapWrong = 0;
  if (node->size && !v->BuildNodeExtents(node, nullptr, &mapWrong)) {
    ErrorMsg(Msg(630));
    return -1;
  }
  // The node's map, when its family reads it through one: its holes are
  // written as holes and the file is bounded by what it holds.
  const FamilyDataOps* data = FindDataOps(v->type);
  CExtents* const map = node->size && !(data && data->mapIsPrivate) ? v->extents.get() : nullptr;
  const uint32_t shift = map ? map->clusterShift : 0;
  const uint64_t limit = map ? v->ClusterLimit(map->clusterSize) : UINT64_MAX;
  const uint64_t length = MappedLength(*v, *node, map, limit);
  if (hash && !memory) {
    if (hash->GetExistingSize(u"") == int64_t(length)) hash->InitDigest();
    else hash = nullptr;
  } else {
    hash = nullptr;
  }
  uint64_t at = 0;
  RecFile* file = nullptr;
  if (!memory) {
    file = &ThreadRecFile();
    if (v->Options().verifyKnownExtensions && node->typeIndex != kNoType) file->SetExpectedType(node->typeIndex);
    // A file of the options file's restart list is continued where the
    // earlier run left it.
    int64_t listed = 0;
    if (resumeOffset <= 0 && v->Options().IsListedFileWithSize(destPath, &listed) && listed > 0) resumeOffset = listed;
    // A resume point inside a cluster goes back to the cluster's start, so
    // the bytes land where they belong.
    if (resumeOffset > 0) at = std::min<uint64_t>(uint64_t(resumeOffset) / cs * cs, length);
    if (file->Open(destPath, cs, false, resumeOffset > 0 ? int64_t(at) : -1) < 0) return -1;
  }
  Drive* d = DriveOf(v);
  // The writer closed on every way out, a reader's exception too.
  struct Guard {
    RecFile* file = nullptr;
    ~Guard() {
      if (file && file->IsOpen()) file->Close();
    }
  } guard;
  guard.file = file;
  // The thread's piece buffer, kept from file to file: a fresh megabyte
  // for each of many small files costs more than writing them.
  uint8_t* buffer = ThreadScratchBuffer(0, kPieceBytes);
  if (!buffer) ShowErrorAndThrow();
  // A large file is written on a thread of its own while the next piece
  // is read.
  std::optional<PieceWriter> writer;
  if (file && length - at >= PieceWriter::kMinFileBytes) writer.emplace(file, kPieceBytes);
  Sink sink;
  sink.file = file;
  sink.memory = memory;
  sink.hash = hash;
  uint32_t outside = 0;  // clusters the map places past the volume's end
  bool failed = false;
  while (at < length) {
    if (Stopped(v)) {
      ErrorMsg(u"Stopped.");
      failed = true;
      break;
    }
    WaitWhilePaused(v);
    uint64_t piece = std::min<uint64_t>(length - at, kPieceBytes);
    if (map) {
      const uint64_t vcn = at >> shift, within = at & ((uint64_t(1) << shift) - 1);
      const MapSpan span = SpanAt(*map, vcn, limit);
      if (span.kind != MapSpan::kData) {
        // A hole, or data the volume does not hold (read as a hole and
        // counted), is written as a hole.
        const uint64_t n = std::min(length - at, BytesOf(span.clusters, shift) - within);
        if (span.kind == MapSpan::kOutside)
          outside += uint32_t(std::min<uint64_t>((n + (uint64_t(1) << shift) - 1) >> shift, UINT32_MAX - outside));
        if (n == 0 || !(writer ? writer->Hole(n, hash) : sink.Hole(n))) {
          if (n == 0) ErrorMsg(Msg(630));
          failed = true;
          break;
        }
        at += n;
        continue;
      }
      // The data of this run and of the runs that follow it without a hole.
      uint64_t clusters = span.clusters;
      while (BytesOf(clusters, shift) - within < piece) {
        const MapSpan more = SpanAt(*map, vcn + clusters, limit);
        if (more.kind != MapSpan::kData) break;
        clusters += more.clusters;
      }
      piece = std::min(piece, BytesOf(clusters, shift) - within);
    }
    // Whole clusters: the reader may deliver up to the cluster's end.
    const size_t room = size_t(std::min<uint64_t>((piece + cs - 1) / cs * cs, kPieceBytes));
    uint8_t* const into = writer ? writer->Room(room) : buffer;
    if (!into) {
      // An earlier piece's write failed; its error is the last error.
      TracePrintfA("Write error\n");
      failed = true;
      break;
    }
    // Zeros in place of data: a read error, an excluded range, the part of
    // a volume past the end of a source shorter than it, or bytes the
    // family's reader knows are not the file's.
    auto misses = [d] { return d ? d->TotalErrors() + d->ExcludedFills() + d->PastEndFills() : 0u; };
    const uint32_t before = misses(), faults = v->readFaults;
    const int64_t got = v->ReadNodeData(*node, at, piece, into, writer ? room : kPieceBytes);
    if (got < int64_t(piece)) {
      // A failed or short read is a failure: the file is not complete.
      if (traceMft)
        TracePrintfA("nBytesCount %I64d nClustersRead %u nClustersToRead %u\n", int64_t(length - at),
                     uint32_t(got < 0 ? 0 : got / cs), uint32_t((piece + cs - 1) / cs));
      if (got >= 0 || LastErrorText().empty())
        VErrorMsg(u"Only %I64d of %I64d bytes could be read at offset %I64d.", int64_t(got < 0 ? 0 : got),
                  int64_t(piece), int64_t(at));
      failed = true;
      break;
    }
    if (misses() != before || v->readFaults != faults) corrupt += uint32_t((piece + cs - 1) / cs);
    if (memory) {
      const size_t space = memory->capacity - std::min(memory->capacity, memory->used);
      const size_t k = size_t(std::min<uint64_t>(space, piece));
      if (k) std::memcpy(memory->data + memory->used, buffer, k);
      memory->used += k;
      if (k < piece) break;  // the caller's buffer is full
    } else if (writer) {
      writer->Commit(size_t(piece));
    } else if (!file->Write(uint32_t(piece), buffer)) {
      TracePrintfA("Write error\n");
      failed = true;
      break;
    }
    if (hash) hash->Update(into, size_t(piece));
    at += piece;
  }
  if (writer) {
    if (failed) {
      writer->Abandon();
    } else if (!writer->Finish()) {
      TracePrintfA("Write error\n");
      failed = true;
    }
  }
  int result = failed ? -1 : 0;
  if (file) {
    if (!failed && !file->Flush()) result = -1;
    if (result == 0) {
      uint64_t t0 = 0, t1 = 0;
      node->GetFileTime(&t0, 0);
      t1 = t0;
      if (const NodeOps* ops = FindNodeOps(node->kind); ops && (ops->traits & kNodeTraitCreationTime))
        node->GetFileTime(&t1, 1);
      file->SetFileTime(t1, t0);
    }
    file->Close();
  }
  if (result == 0 && hash) {
    hash->Final();
    if (hash->MatchesExistingStream(u"", int64_t(length)) == 0) {
      ErrorMsg(Msg(468));
      result = -1;
    }
  }
  if (result == 0 && (length < node->size || outside)) {
    // Saved, but not whole: what the map does not hold is counted and said.
    const uint64_t missing = (node->size - length + cs - 1) / cs;
    const uint64_t unreadable = corrupt;
    corrupt = uint32_t(std::min<uint64_t>(uint64_t(corrupt) + outside + missing, UINT32_MAX));
    WString why;
    if (unreadable) why = FormatW(Msg(476), int32_t(unreadable)) + u" ";
    if (outside)
      why += FormatW(u"%ld cluster(s) of its map lie past the end of the volume and were left as holes. ",
                     int32_t(std::min<uint32_t>(outside, INT32_MAX)));
    if (length < node->size)
      why += FormatW(u"Its size, %I64d bytes, is more than its map holds: it ends after %I64d bytes. ",
                     int64_t(node->size), int64_t(length));
    why.pop_back();
    ErrorMsg(why);
    result = 1;
  }
  if (!failed) corrupt = uint32_t(std::min<uint64_t>(uint64_t(corrupt) + mapWrong, UINT32_MAX));
  return result;
}

bool RecoverNodeToFolder(CVol* v, const cnode* node, WStringView destination, WStringView name, Checkpoint* checkpoint,
                         int diskFullAnswer) {
  if (!v || !node) return false;
  const WString root(destination);
  WString path;
  const WString& walked = CurrentFolderPath(v);
  const WString folderPath = walked.empty() ? WString(1, u'\\') : walked;
  if (!BuildDestinationPath(root, folderPath, name, &path)) {
    g_recoveryCounters.processed++;
    return false;
  }
  if (node->flags & kNodeSymlink) {
    VErrorMsg(Msg(505).c_str(), path);
    g_recoveryCounters.processed++;
    g_recoveryTotals.skipped++;  // a deliberate skip
    return true;
  }
  if (checkpoint && checkpoint->Advance(1) == -1) {
    g_recoveryCounters.processed++;
    return true;
  }
  // The folder is made once for the files that follow in it.
  static thread_local WString lastFolder;
  const WString folder = path.substr(0, path.rfind(u'/'));
  if (folder != lastFolder) {
    WStringView r = root;
    while (r.size() > 1 && r.back() == u'/') r.remove_suffix(1);
    if (CheckPath(path) < 0 || (folder != r && !ResolvesBelowRoot(root, folder))) {
      lastFolder.clear();
      g_recoveryCounters.processed++;
      return false;
    }
    lastFolder = folder;
  }
  int r = RecoverVolumeNode(v, node, path, nullptr, nullptr, nullptr);
  if (r < 0 && theTrace().LastErrorCode() == ENOSPC) {
    const int answer = diskFullAnswer ? diskFullAnswer
                                      : ShowMessage(kMbYesNo | kMbIconQuestion,
                                                    u"Disk is full saving %s. Replace disk and continue?", path);
    if (answer == kIdYes) {
      r = RecoverVolumeNode(v, node, path, nullptr, nullptr, nullptr);
    } else if (g_appState) {
      g_appState->stopRequested = 1;
    }
  }
  g_recoveryCounters.processed++;
  if (r > 0) g_recoveryTotals.corrupt++;
  else if (r == 0) g_recoveryTotals.saved++;
  else g_recoveryTotals.failed++;
  return r >= 0;
}
