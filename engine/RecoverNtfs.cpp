#include "engine/RecoverNtfs.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/Engine.h"
#include "engine/PieceWriter.h"
#include "engine/RecFile.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "volumes/DestinationPath.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/Streams.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "filesystems/ntfs/GuessVolume.h"
#include "volumes/VolumeSearch.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsFileData.h"
#include "filesystems/ntfs/Definitions.h"
#include "filesystems/ntfs/NtfsVolume.h"

namespace {

constexpr uint64_t kZeroTailLimit = 0xA00000;  // 10 MiB
constexpr size_t kMaxPath = 1022;


// A read buffer of the worker thread, kept from file to file. Slots 0 and
// 1 are independent; 2 to 4 are the pieces of a large file's writer
// (PieceWriter).
uint8_t* ScratchBuffer(int slot, size_t bytes) {
  uint8_t* p = ThreadScratchBuffer(slot, bytes);
  if (!p) ShowErrorAndThrow();
  return p;
}

// A volume of the node's family (whose records the node's are).
bool IsVolumeOfNode(const CVol* v, const cnode* node) {
  const VolumeFamily* f = FindVolumeFamily(v->type);
  return f && f->nodeFamily == node->Family();
}

// The search the volume belongs to, when it is this engine's.
NTFSObj* EngineOf(const CVol* v) { return v ? dynamic_cast<NTFSObj*>(v->engine) : nullptr; }

// The run's stop (the volume's engine), or the program's outside a run.
bool Stopped(const NTFSVol* v) { return v->StopRequested(); }

Drive* DriveOf(const CVol* v) { return v->drive; }

bool PathExists(WStringView path) {
  struct stat st;
  return ::lstat(ToUtf8(path).c_str(), &st) == 0;
}

// The common start: the writer opened on the destination, the hash armed.
// -1 when the destination cannot be opened.
int Begin(const NTFSVol* v, const snode* node, WStringView dest, WStringView streamName, uint64_t realSize,
          RecMemory* memory, CHashFile* hash, Sink* sink, uint32_t clusterBytes) {
  sink->memory = memory;
  if (!memory) {
    RecFile& writer = ThreadRecFile();
    if (v->Options().verifyKnownExtensions && node->typeIndex != kNoType) writer.SetExpectedType(node->typeIndex);
    if (writer.Open(dest, clusterBytes) < 0) {
      TracePrintfW(u"Err: %s\n", LastErrorText());
      return -1;
    }
    sink->file = &writer;
  }
  if (hash && !memory && hash->GetExistingSize(streamName) == int64_t(realSize)) {
    hash->InitDigest();
    sink->hash = hash;
  }
  return 0;
}

// Flush, times, hash test: the final result for a copy that went well.
int Finish(const snode* node, Sink* sink, WStringView streamName, uint64_t realSize, int okCode) {
  if (sink->file) {
    if (!sink->file->Flush()) return -1;
    sink->file->SetFileTime(node->creationTime, node->writeTime);
  }
  if (sink->hash) {
    sink->hash->Final();
    if (sink->hash->MatchesExistingStream(streamName, int64_t(realSize)) == 0) {
      TracePrintfW(u"%s\n", Msg(468));
      ErrorMsg(Msg(468));
      return kRecIdentical;
    }
  }
  return okCode;
}

void CloseSink(Sink* sink) {
  if (sink->file) sink->file->Close();
}

// The record of a resident file read again from its place on the disk.
int RecoverResident(NTFSVol* v, const snode* node, const NTFSStream* stream, Sink* sink, uint64_t* realSize) {
  inode r;
  if (NTFS::ReadResidentRecord(v, node, stream, &r) < 0) return -1;
  *realSize = r.residentSize;
  if (r.residentSize && !sink->Put(r.residentData, r.residentSize)) return -1;
  return kRecCopiedResident;
}

}  // namespace

int NtfsRecoverFile(NTFSVol* v, const snode* node, WStringView dest, const NTFSStream* stream, RecMemory* memory,
                    CHashFile* hash, uint32_t* corruptOut) {
  TRACE_FN("NTFSVol::RecoverFile");
  uint32_t corruptLocal = 0;
  uint32_t& corrupt = corruptOut ? *corruptOut : corruptLocal;
  corrupt = 0;
  if (!v || !node) return -1;
  const WString streamName = stream && stream->name ? WString(stream->name) : WString();
  const bool resident = stream ? (!stream->runs && !stream->pieces) : (!node->runs);
  const uint64_t real = stream ? stream->realSize : node->size;
  const uint32_t cs = v->clusterSize ? v->clusterSize : 4096;
  if (traceMft)
    TracePrintfW(u"Clus size %ld - Inode sect %I64d - 1st Sect %I64d - %s\n", int32_t(cs), int64_t(node->position),
                 int64_t(v->startSector), dest);
  Sink sink;
  if (Begin(v, node, dest, streamName, real, memory, hash, &sink, cs) < 0) return -1;
  int result = -1;
  if (resident) {
    uint64_t size = 0;
    result = RecoverResident(v, node, stream, &sink, &size);
    if (result >= 0) result = Finish(node, &sink, streamName, size, kRecCopiedResident);
    CloseSink(&sink);
    return result;
  }

  inode w;
  if (!NTFS::MakeDataReader(v, node, stream, &w)) {
    CloseSink(&sink);
    ShowErrorAndThrow();
  }
  if (w.BuildMappingTablesAll() < 0) {
    ErrorMsg(Msg(630));
    CloseSink(&sink);
    return -1;
  }
  Drive* d = DriveOf(v);
  const uint32_t transfer = d && d->TransferSize() ? d->TransferSize() : 0x100000;
  const uint32_t perRead = std::max<uint32_t>(1, transfer / cs);
  uint8_t* const buf = ScratchBuffer(0, size_t(perRead) * cs);
  std::optional<PieceWriter> writer;
  if (sink.file && w.size >= PieceWriter::kMinFileBytes) writer.emplace(sink.file, size_t(perRead) * cs * 4);
  auto zeros = [&](uint64_t n) { return writer ? writer->Zeros(n, sink.hash) : sink.Zeros(n); };
  auto holes = [&](uint64_t n) { return writer ? writer->Hole(n, sink.hash) : sink.Hole(n); };
  const bool isBoot = NTFS::IsBootFile(node);
  uint64_t remaining = w.size;
  uint64_t initLeft = std::min(w.validSize, w.size);
  CExtents& map = w.Map();
  bool failed = false;
  for (size_t i = 0; i < map.RunCount() && remaining > 0 && !failed; i++) {
    const ExtentRun& e = map.Runs()[i];
    const bool hole = initLeft == 0 || e.IsHole() || (e.lcn == 0 && !isBoot);
    if (traceMft && hole) TracePrintfA("bIsSparseRun %ld ClusterCount %ld\n", 1, int32_t(e.Length()));
    uint64_t lcn = e.lcn;
    uint64_t left = e.Length();
    while (left > 0 && remaining > 0) {
      if (Stopped(v)) {
        if (NTFSObj* e = EngineOf(v)) e->abort = 0;
        ErrorMsg(u"Stopped.");
        failed = true;
        break;
      }
      const uint32_t step = uint32_t(std::min<uint64_t>(left, perRead));
      const uint64_t bytes = std::min<uint64_t>(uint64_t(step) * cs, remaining);
      bool ok;
      if (hole || initLeft == 0) {
        ok = holes(bytes);
      } else {
        if (traceMft) TracePrintfA("ReadSector SectNo %I64d n %ld\n", int64_t(lcn), int32_t(step));
        const uint32_t need = uint32_t((bytes + cs - 1) / cs);
        uint8_t* const into = writer ? writer->Room(size_t(need) * cs) : buf;
        if (!into || !NTFS::ReadVolumeClusters(v, into, lcn, need, cs, &corrupt)) {
          failed = true;
          break;
        }
        const uint64_t good = std::min<uint64_t>(bytes, initLeft);
        if (writer) {
          if (sink.hash) sink.hash->Update(into, size_t(good));
          writer->Commit(size_t(good));
          ok = true;
        } else {
          ok = sink.Put(buf, size_t(good));
        }
        if (ok && good < bytes) ok = zeros(bytes - good);
      }
      if (!ok || v->StopRequested()) {
        failed = true;
        break;
      }
      remaining -= bytes;
      initLeft -= std::min(initLeft, bytes);
      left -= step;
      lcn += step;
    }
  }
  uint64_t tailHole = 0;
  if (!failed && remaining > 0) {
    // The runs end before the file does: the rest cannot be read. In a
    // file it is a hole, never written zeros.
    if (initLeft > 0) corrupt += uint32_t(std::min<uint64_t>((initLeft + cs - 1) / cs, UINT32_MAX));
    if (sink.file && !sink.hash) tailHole = remaining;
    else failed = !zeros(remaining);
  }
  if (writer) {
    if (failed)
      writer->Abandon();
    else
      failed = !writer->Finish();
  }
  if (!failed && tailHole) {
    uint64_t end;
    if (__builtin_add_overflow(sink.file->Written() + sink.file->Pending(), tailHole, &end) ||
        end > uint64_t(INT64_MAX)) {
      ErrorMsg(u"The file's size is larger than any file can be.");
      failed = true;
    } else {
      failed = !sink.file->ExtendTo(end);
    }
  }
  w.FreeWorkBuffer();
  if (failed) {
    CloseSink(&sink);
    return -1;
  }
  result = Finish(node, &sink, streamName, real, kRecCopied);
  CloseSink(&sink);
  if (result == kRecCopied && corrupt) return kRecUnreadable;
  return result;
}

int NtfsRecoverCompressedFile(NTFSVol* v, const snode* node, WStringView dest, RecMemory* memory, CHashFile* hash,
                              uint32_t* corruptOut) {
  TRACE_FN("NTFSVol::RecoverCompressedFile");
  uint32_t corruptLocal = 0;
  uint32_t& corrupt = corruptOut ? *corruptOut : corruptLocal;
  corrupt = 0;
  if (!v || !node) return -1;
  const uint32_t cs = v->clusterSize ? v->clusterSize : 4096;
  const size_t unitBytes = size_t(cs) * ntfs::kUnitClusters;
  Sink sink;
  if (Begin(v, node, dest, u"", node->size, memory, hash, &sink, cs) < 0) return -1;
  inode w;
  if (!NTFS::MakeDataReader(v, node, nullptr, &w)) {
    CloseSink(&sink);
    ShowErrorAndThrow();
  }
  const int64_t entries = w.BuildMappingTablesAll();
  if (traceMft) TracePrintfA("Clus Count %ld\n", int32_t(entries));
  if (entries < 0) {
    ErrorMsg(Msg(630));
    CloseSink(&sink);
    return -1;
  }
  struct {
    uint8_t* p;
  } in{ScratchBuffer(0, unitBytes)}, out{ScratchBuffer(1, unitBytes)};
  CExtents& map = w.Map();
  const uint64_t toProduce = std::min(node->size, static_cast<const snode*>(node)->validSize);
  uint64_t produced = 0;
  // Output collects in the writer's data area (or goes straight to memory).
  uint8_t* area = sink.file ? sink.file->GetDataBuffer() : nullptr;
  const size_t areaCap = sink.file ? sink.file->Capacity() : 0;
  size_t areaUsed = 0;
  auto flushArea = [&]() -> bool {
    if (!areaUsed) return true;
    if (sink.hash) sink.hash->Update(area, areaUsed);
    const bool ok = sink.file->WriteCompressedData(uint32_t(areaUsed)) != 0;
    if (traceMft) TracePrintfA("remainLeng %I64d - writeLeng %ld\n", int64_t(toProduce - produced), int32_t(areaUsed));
    areaUsed = 0;
    return ok;
  };
  bool failed = false;
  for (uint64_t u = 0; produced < toProduce && !failed; u += ntfs::kUnitClusters) {
    if (Stopped(v)) {
      if (NTFSObj* e = EngineOf(v)) e->abort = 0;
      ErrorMsg(u"Stopped.");
      failed = true;
      break;
    }
    // The last unit may expand to less than a whole unit.
    const bool lastUnit = toProduce - produced <= unitBytes;
    const uint8_t* unit = nullptr;
    if (NTFS::ReadCompressionUnit(v, map, u, in.p, out.p, lastUnit, &corrupt, &unit) < 0) {
      failed = true;
      break;
    }
    if (!unit) unit = ZeroBuffer();  // a unit of holes
    size_t unitLength = unitBytes;
    unitLength = size_t(std::min<uint64_t>(unitBytes, toProduce - produced));
    if (memory) {
      if (!sink.Put(unit, unitLength)) failed = true;
    } else {
      if (areaUsed + unitLength > areaCap && !flushArea()) {
        failed = true;
        break;
      }
      std::memcpy(area + areaUsed, unit, unitLength);
      areaUsed += unitLength;
      if (areaUsed + unitBytes > areaCap && !flushArea()) failed = true;
    }
    produced += unitLength;
    if (v->StopRequested()) failed = true;
  }
  if (!failed && !memory) failed = !flushArea();
  if (!failed && node->size > toProduce) {
    const uint64_t tail = node->size - toProduce;
    if (tail < kZeroTailLimit) {
      failed = !sink.Zeros(tail);
    } else if (sink.file) {
      // A longer tail is not written byte by byte: the file is extended to
      // its real size (a sparse tail) so it is never left short.
      failed = !sink.file->ExtendTo(sink.file->Written() + sink.file->Pending() + tail);
    }
  }
  w.FreeWorkBuffer();
  if (failed) {
    CloseSink(&sink);
    return -1;
  }
  int result = Finish(node, &sink, u"", node->size, kRecCopied);
  CloseSink(&sink);
  if (result == kRecCopied && corrupt) return kRecUnreadable;
  return result;
}

// ---- the engine's recovery ----

int CheckPath(WStringView path, WString* existing, bool dryRun) {
  TRACE_FN("CheckPath");
  if (path.size() < 3 || path.size() > kMaxPath) {
    TracePrintfA("Invalid path length %d\n", int32_t(path.size()));
    VErrorMsg(u"Invalid path length %d", int32_t(path.size()));
    return -1;
  }
  // Cut at each "/" from the end until a prefix exists.
  std::vector<size_t> cuts;
  size_t end = path.size();
  while (true) {
    const size_t slash = path.rfind(u'/', end == 0 ? 0 : end - 1);
    if (slash == WStringView::npos) {
      ErrorMsg(u"Invalid path");
      return -1;
    }
    if (slash == 0) {
      end = 0;
      break;
    }
    if (cuts.size() >= 128) {
      VErrorMsg(u"More than %d folder levels", 128);
      return -1;
    }
    const WString prefix(path.substr(0, slash));
    struct stat st;
    if (::stat(ToUtf8(prefix).c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        ErrorMsg(nullptr, prefix.c_str());
        return -1;
      }
      end = slash;
      break;
    }
    if (errno != ENOENT) {
      ErrorMsg(nullptr, prefix.c_str());
      return -1;
    }
    cuts.push_back(slash);
    end = slash;
  }
  if (existing) *existing = WString(path.substr(0, end ? end : 1));
  if (dryRun) return cuts.empty() ? 0 : 1;
  for (size_t i = cuts.size(); i-- > 0;) {
    const WString folder(path.substr(0, cuts[i]));
    if (::mkdir(ToUtf8(folder).c_str(), 0755) != 0 && errno != EEXIST) {
      ErrorMsg(nullptr, folder.c_str());
      return -1;
    }
  }
  return cuts.empty() ? 0 : 1;
}

int MoveFileLong(WStringView from, WStringView to) {
  if (::rename(ToUtf8(from).c_str(), ToUtf8(to).c_str()) != 0) {
    const WString t(to);
    ErrorMsg(nullptr, t.c_str());
    if (traceExecutionPath) TracePrintfW(u"%s\n", LastErrorText());
    return -1;
  }
  return 1;
}

namespace {
// "name(n).ext", or "name(n)" for a name without an extension.
WString AttemptName(WStringView path, int n) {
  const size_t slash = path.rfind(u'/');
  const size_t dot = path.rfind(u'.');
  const bool hasExt = dot != WStringView::npos && (slash == WStringView::npos || dot > slash + 1);
  if (!hasExt) return FormatW(u"%s(%d)", path, n);
  return FormatW(u"%s(%d).%s", path.substr(0, dot), n, path.substr(dot + 1));
}
}  // namespace

bool NextFreeAttemptName(WStringView path, WString* out) {
  for (int n = 1; n < 1000; n++) {
    WString c = AttemptName(path, n);
    if (!PathExists(c)) {
      *out = std::move(c);
      return true;
    }
  }
  return false;
}

namespace {

// The file of a named stream beside a main file path.
bool StreamPathBeside(WStringView mainPath, const char16_t* streamName, WString* out) {
  const size_t slash = mainPath.rfind(u'/');
  if (slash == WStringView::npos) return false;
  return BuildDestinationPath(mainPath.substr(0, slash), u"", mainPath.substr(slash + 1), out,
                              WStringView(streamName ? streamName : u""));
}

void RemoveWritten(WStringView path, const std::vector<WString>& streams) {
  ::unlink(ToUtf8(path).c_str());
  for (const WString& s : streams) ::unlink(ToUtf8(s).c_str());
}

}  // namespace

namespace {
int RecoverNtfsOnVolume(NTFSVol* vol, snode* node, WStringView target, WStringView temporary, bool verify,
                        CHashFile* hash);

// Whether the node's record lies on the volume, as far as the volume
// reaches (its size override counts), at a whole number of records from
// its start. A node without a record position is not refused.
bool VolumeHoldsRecord(const NTFSVol& v, const snode& node) {
  if (!node.position) return true;
  const Drive* d = DriveOf(&v);
  if (!d || node.position < v.startSector) return false;
  const uint64_t ds = d->SectorSize();
  const uint64_t offset = (node.position - v.startSector) * ds;
  const uint64_t record = v.recordSize ? v.recordSize : 1024;
  return offset % record == 0 && offset + record <= VolumeLengthOnDrive(v, *d) * ds;
}

// The volumes a node may be recovered from, in table order, one per
// start: a drive-letter volume's Quick Scan has only its one volume; a node
// without data its own; else the user's chosen range, every volume for a
// node without one, or its own; then those that can hold it.
std::vector<NTFSVol*> CandidateVolumes(NTFSObj* engine, const snode* node, bool* rangeChosen = nullptr) {
  std::vector<NTFSVol*> candidates;
  const std::vector<CVol*>& vols = engine->volumes;
  std::vector<uint8_t> mark(vols.size(), 0);
  // Only the user's choice of volumes makes a range: a Long Scan adds the
  // volumes it finds past the end the whole-drive choice was given.
  const bool range = engine->volumeRangeChosen;
  if (rangeChosen) *rangeChosen = range;
  const bool own = node->volumeIndex != kNoVolume;
  if (engine->scanMode == 0 && engine->drive && engine->drive->IsVolumeDevice()) {
    if (!mark.empty()) mark[0] = 1;
  } else if (node->IsEmpty()) {
    const size_t i = own && node->volumeIndex < vols.size() ? node->volumeIndex : 0;
    if (i < mark.size()) mark[i] = 1;
  } else if (range) {
    for (int32_t i = std::max(0, engine->firstVolume); i < engine->endVolume && size_t(i) < mark.size(); i++)
      mark[size_t(i)] = 1;
  } else if (!own) {
    std::fill(mark.begin(), mark.end(), uint8_t(1));
  } else if (node->volumeIndex < mark.size()) {
    mark[node->volumeIndex] = 1;
  }
  for (size_t i = 0; i < vols.size(); i++)
    if (mark[i] && (!vols[i] || !IsVolumeOfNode(vols[i], node) ||
                    (range && !VolumeHoldsRecord(*static_cast<NTFSVol*>(vols[i]), *node))))
      mark[i] = 0;
  GuessVolume(vols, engine->drive, node, mark);
  std::vector<uint64_t> starts;
  for (size_t i = 0; i < vols.size(); i++) {
    if (!mark[i]) continue;
    CVol* cv = vols[i];
    // A volume found twice (a backup boot sector, a partition entry) is
    // tried once.
    if (std::find(starts.begin(), starts.end(), cv->startSector) != starts.end()) continue;
    if (starts.size() < 8) starts.push_back(cv->startSector);
    candidates.push_back(static_cast<NTFSVol*>(cv));
  }
  return candidates;
}
}  // namespace

bool IsRefusedSystemFile(const snode& node) {
  const WString name = node.GetNameW();
  return !name.empty() && name[0] == u'$' && SystemFileRecordNumber(name) >= 0 && !traceMft;
}

int RecoverNtfsNode(NTFSObj* engine, int64_t nodeIndex, WStringView target, WStringView temporary, bool verify,
                    CHashFile* hash) {
  TRACE_FN("NTFSObj::Recover");
  ErrorMsg(Msg(252));
  if (!engine || !engine->nodes) return -1;
  cnode* c = engine->nodes->GetAt(nodeIndex);
  if (!c || !c->IsSnode()) {
    ErrorMsg(Msg(182));
    return -1;
  }
  auto* node = static_cast<snode*>(c);
  if (IsRefusedSystemFile(*node)) {
    ErrorMsg(Msg(139));
    return -1;
  }
  if (hash && (verify || hash->existingSize() != int64_t(node->size))) hash = nullptr;

  bool rangeChosen = false;
  const std::vector<NTFSVol*> candidates = CandidateVolumes(engine, node, &rangeChosen);
  if (candidates.empty()) {
    ErrorMsg(rangeChosen || node->volumeIndex != kNoVolume ? Msg(344) : Msg(182));
    return -1;
  }
  // The first attempt writes the target; each later one the first
  // "name(n).ext" that does not exist (an unrelated file is never
  // overwritten). An empty file already saved under its attempt's name is
  // not written again. The first result is the item's.
  int first = -1;
  WString firstError;
  int32_t firstCode = 0;
  for (size_t k = 0; k < candidates.size(); k++) {
    if (k > 0 && (Stopped(candidates[k]) || verify)) break;
    WString attemptTarget(target);
    if (k > 0) {
      if (node->size == 0 && PathExists(AttemptName(target, int(k)))) {
        ErrorMsg(Msg(333));
        continue;
      }
      if (!NextFreeAttemptName(target, &attemptTarget)) break;
    }
    const int r = RecoverNtfsOnVolume(candidates[k], node, attemptTarget, k == 0 ? temporary : WStringView(), verify,
                                      k == 0 ? hash : nullptr);
    if (k == 0) {
      first = r;
      firstError = LastErrorText();
      firstCode = theTrace().LastErrorCode();
    }
  }
  // The first attempt's error, with its code (a full destination must
  // still read as one).
  if (first < 0) theTrace().SetLastError(firstError, firstCode);
  return first;
}

int RecoverNtfsNodeToMemory(NTFSObj* engine, int64_t nodeIndex, RecMemory* memory) {
  if (!engine || !engine->nodes || !memory) return -1;
  cnode* c = engine->nodes->GetAt(nodeIndex);
  if (!c || !c->IsSnode()) {
    ErrorMsg(Msg(182));
    return -1;
  }
  auto* node = static_cast<snode*>(c);
  bool rangeChosen = false;
  const std::vector<NTFSVol*> candidates = CandidateVolumes(engine, node, &rangeChosen);
  if (candidates.empty()) {
    ErrorMsg(rangeChosen || node->volumeIndex != kNoVolume ? Msg(344) : Msg(182));
    return -1;
  }
  int r = -1;
  for (NTFSVol* v : candidates) {
    memory->used = 0;
    r = (node->flags2 & kNode2Compressed) && node->runs && !node->IsDirectory()
            ? NtfsRecoverCompressedFile(v, node, u"", memory)
            : NtfsRecoverFile(v, node, u"", nullptr, memory);
    if (r >= 0 || r == kRecUnreadable) break;
  }
  return r;
}

namespace {

int RecoverNtfsOnVolume(NTFSVol* vol, snode* node, WStringView target, WStringView temporary, bool verify,
                        CHashFile* hash) {
  const WString writeTo(temporary.empty() ? target : temporary);
  uint32_t corrupt = 0, c2 = 0;
  int r;
  if ((node->flags2 & kNode2Compressed) && node->runs && !node->IsDirectory())
    r = NtfsRecoverCompressedFile(vol, node, writeTo, nullptr, hash, &corrupt);
  else
    r = NtfsRecoverFile(vol, node, writeTo, nullptr, nullptr, hash, &corrupt);
  std::vector<WString> streamFiles;
  std::vector<WString> streamTargets;
  if (r >= 0 && r != kRecIdentical) r = (r == kRecUnreadable) ? kRecUnreadable : 0;
  else if (r == kRecUnreadable) r = kRecUnreadable;
  for (const NTFSStream* s = node->streams; s && !verify && (r == 0 || r == kRecUnreadable); s = s->next) {
    if (!s->name || !*s->name) continue;
    WString sp, st;
    if (!StreamPathBeside(writeTo, s->name, &sp) || !StreamPathBeside(target, s->name, &st)) {
      r = -1;
      break;
    }
    streamFiles.push_back(sp);
    streamTargets.push_back(st);
    c2 = 0;
    const int sr = NtfsRecoverFile(vol, node, sp, s, nullptr, nullptr, &c2);
    corrupt += c2;
    if (sr < 0 && sr != kRecUnreadable) r = -1;
    else if (sr == kRecUnreadable) r = kRecUnreadable;
  }
  if (r == kRecIdentical) r = -1;
  if (r == -1) {
    RemoveWritten(writeTo, streamFiles);
    return -1;
  }
  if (!temporary.empty()) {
    if (MoveFileLong(temporary, target) < 0) {
      RemoveWritten(writeTo, streamFiles);
      return -1;
    }
    for (size_t i = 0; i < streamFiles.size(); i++) {
      if (MoveFileLong(streamFiles[i], streamTargets[i]) < 0) {
        RemoveWritten(u"", streamFiles);
        return -1;
      }
    }
  }
  if (r == kRecUnreadable) {
    if (corrupt == 0) corrupt = 1;
    VErrorMsg(Msg(476).c_str(), int32_t(corrupt));
    return int(corrupt);
  }
  return 0;
}

}  // namespace
