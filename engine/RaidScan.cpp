#include "engine/RaidScan.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/Engine.h"
#include "engine/ProgressStats.h"
#include "engine/RaidSampler.h"
#include "engine/SectorClassify.h"
#include "filesystems/ntfs/Definitions.h"
#include "filesystems/ntfs/Inode.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/QuadBuffer.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Format.h"
#include "platform/Platform.h"
#include "storage/IoTrace.h"
#include "storage/RDrive.h"
#include "volumes/Node.h"

namespace {

// A row larger than this is read in rows of this size: the scan only needs
// the members side by side, not row for row.
constexpr uint64_t kMaxRowBytes = 16u << 20;
constexpr uint32_t kLargestRecord = 4096;

uint32_t RecordBytes(const uint8_t* sector, uint32_t sectorSize) {
  const uint32_t alloc = Le32(sector + ntfs::kRecAllocated);
  const uint32_t bytes = (alloc == 1024 || alloc == 2048 || alloc == 4096) ? alloc : 1024;
  return std::max(bytes, sectorSize);
}

// Of each MiB of the block, the bytes that are not zero.
uint32_t ContentValue(const uint8_t* block, uint32_t bytes) {
  if (!bytes) return 0;
  uint64_t filled = 0;
  for (uint32_t i = 0; i < bytes; ++i) filled += block[i] != 0;
  return uint32_t(filled * (1u << 20) / bytes);
}

struct MemberState {
  QuadBuffer carry;  // section 0: a FILE record cut by a part's end
  int64_t carryFirst = -1;
  uint32_t carryWant = 0;
  ClassifyContext context;
};

class MemberClassifier {
 public:
  MemberClassifier(NTFSObj& engine, RaidScanSink& sink, uint32_t sectorSize)
      : engine_(engine), sink_(sink), ss_(sectorSize) {}

  void Part(int member, MemberState& st, const uint8_t* data, uint32_t bytes, int64_t first) {
    uint32_t from = 0;
    const uint64_t held = st.carry.Used(0);
    if (held) {
      if (st.carryFirst + int64_t(held / ss_) == first) {
        const uint32_t need = st.carryWant - uint32_t(held);
        const uint32_t take = std::min(need, bytes);
        uint8_t* rec = st.carry.Append(data, take, 0);
        if (rec && take == need) engine_.TraceRaidFileRecord(sink_, member, st.carryFirst, rec, st.carryWant);
        from = take;
      }
      st.carry.Clear();
      st.carryFirst = -1;
    }
    for (uint32_t off = from; off + ss_ <= bytes;) {
      const int64_t position = first + int64_t(off / ss_);
      const uint8_t* sector = data + off;
      st.context.sector = position;
      const int kind = ClassifySector(sector, nullptr, &st.context);
      if (kind == kSectNtfsRecord) {
        const uint32_t rb = RecordBytes(sector, ss_);
        if (off + rb > bytes) {
          // Less than a record left: the rest comes with the next part.
          st.carry.Append(sector, bytes - off, 0);
          st.carryFirst = position;
          st.carryWant = rb;
          return;
        }
        engine_.TraceRaidFileRecord(sink_, member, position, sector, rb);
        off += rb;
        continue;
      }
      if (kind != kSectNone) sink_.Structure(member, kind, position, sector, ss_);
      else if (memcmp(sector, "INDX", 4) == 0) sink_.Structure(member, kRaidScanIndexBuffer, position, sector, ss_);
      off += ss_;
    }
  }

 private:
  NTFSObj& engine_;
  RaidScanSink& sink_;
  uint32_t ss_;
};

// The recorder's adapter. The recorder is told of a member only when the
// channel changes (IoTrace::SetChannel), so the member of each entry is
// the channel's.
class IoTraceSink final : public RaidScanSink {
 public:
  bool Begin(const RDrive&) override {
    // The recording goes to the trace folder; a name file in the support
    // folder names it.
    folder_ = theTrace().TraceFolder();
    const std::string nameFile = plat::SupportDir() + "/$DVTRACE$.txt";
    struct stat st;
    nameFile_ = stat(nameFile.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? nameFile : std::string();
    theIoTrace().Open();
    return true;
  }
  void End() override { theIoTrace().FlushAndCloseFiles(); }
  void Pause() override { theIoTrace().FlushAndCloseFiles(); }
  void Resume() override { theIoTrace().ReopenFiles(); }
  int Channel(int member) override { return theIoTrace().SetChannel(uint8_t(member)); }
  int Structure(int, int, int64_t sector, const uint8_t* bytes, uint32_t) override {
    return theIoTrace().LogSector(sector, bytes);
  }
  int FileRecord(int, int64_t, const RaidScanRecord& record) override {
    return theIoTrace().LogFileRecord(record.node, record.refused ? 1 : 0);
  }
  int ContentSample(int, int64_t sector, int bytes, int value) override {
    return theIoTrace().LogContentSample(sector, bytes, value);
  }
  int Block(int, const uint32_t* position, const uint8_t* block, uint32_t) override {
    return theIoTrace().RecordRead(position, block);
  }

 private:
  std::string folder_, nameFile_;
};

}  // namespace

std::unique_ptr<RaidScanSink> MakeIoTraceRaidSink() { return std::make_unique<IoTraceSink>(); }

int NTFSObj::TraceRaidFileRecord(RaidScanSink& sink, int member, int64_t sector, const uint8_t* record,
                                 uint32_t bytes) {
  // The parser applies the fix-up in place: it works on a copy.
  uint8_t copy[kLargestRecord];
  const uint32_t n = std::min(bytes, kLargestRecord);
  memcpy(copy, record, n);
  inode work;
  work.Init(copy, nullptr);
  work.recordSizeHint = n;
  work.drive = drive;
  work.position = uint64_t(sector);
  RaidScanRecord r;
  r.refused = work.parseEntry() != 0 || (work.errors & kInodeErrFixup);
  if (!r.refused) {
    r.id = work.id;
    r.folder = work.IsDirectory();
    r.name = work.fileName;
    r.node = &work;
  }
  return sink.FileRecord(member, sector, r);
}

int ScanRAID(NTFSObj& engine, RDrive& set, RaidScanSink& sink, const RaidScanOptions& options) {
  TRACE_FN("ScanRAID");
  const size_t n = set.MemberCount();
  const uint32_t ss = set.SectorSize();
  if (n == 0 || ss == 0) return 0;
  // A missing member is as long as the shortest one there.
  std::vector<uint64_t> remaining(n, 0);
  uint64_t shortest = ~0ull, longest = 0;
  for (size_t i = 0; i < n; ++i)
    if (set.Member(i)) shortest = std::min(shortest, set.MemberLength(i) * ss);
  if (shortest == ~0ull) return 0;
  for (size_t i = 0; i < n; ++i) {
    remaining[i] = set.Member(i) ? set.MemberLength(i) * ss : shortest;
    longest = std::max(longest, remaining[i]);
  }
  uint64_t rowBytes = options.rowBytes
                          ? options.rowBytes
                          : uint64_t(std::max(1, set.DataMembers())) * uint64_t(std::max(0, set.StripeBytes()));
  rowBytes = std::min(kMaxRowBytes, std::max<uint64_t>(rowBytes, ss)) / ss * ss;
  const uint64_t interval = std::max<uint32_t>(1, options.interval);

  if (!sink.Begin(set)) return -1;
  RaidSampler sampler(set, sink, options.threshold);
  std::vector<MemberState> state(n);
  MemberClassifier classify(engine, sink, ss);
  std::vector<uint32_t> bytes(n, 0);
  const uint64_t step = std::max<uint64_t>(1, longest / 100);
  engine.SetPercentComplete(0, 2);
  int result = 0;
  uint64_t done = 0;
  int lastPercent = 0;
  try {
    for (uint64_t row = 0; !engine.StopRequested(); ++row) {
      if (std::any_of(remaining.begin(), remaining.end(), [](uint64_t r) { return r == 0; })) break;
      for (size_t i = 0; i < n; ++i) bytes[i] = uint32_t(std::min(remaining[i], rowBytes));
      const uint64_t sector = row * (rowBytes / ss);
      const bool sampled = row % interval == 0;
      int present = 0;
      for (size_t i = 0; i < n; ++i) {
        const uint8_t* data = i == 0 ? set.TRead(sector, bytes) : set.TGetNext(nullptr);
        if (set.TReadError()) break;
        if (!data) break;
        const int member = int(i);
        sink.Channel(member);
        theProgressAndStats().bytesScanned += int64_t(bytes[i]);
        remaining[i] -= bytes[i];
        const uint32_t position[3] = {uint32_t(sector), uint32_t(sector >> 32), bytes[i]};
        if (row == 0) sink.Block(member, position, data, bytes[i]);
        if (sampled) {
          const uint32_t value = ContentValue(data, bytes[i]);
          sink.ContentSample(member, int64_t(sector), int(bytes[i]), int(value));
          if (set.Member(i) && sampler.Add(data, value, present++, bytes[i])) sampler.Record(position);
        }
        classify.Part(member, state[i], data, bytes[i], int64_t(sector));
      }
      if (set.TReadError()) {
        // The error the member's read left stands; else say where.
        if (theTrace().LastErrorText().empty())
          ErrorMsg(FormatW(u"Cannot read member %d of the RAID set at sector %I64d.", set.TMember(), int64_t(sector)));
        result = -1;
        break;
      }
      done += rowBytes;
      const int percent = int(std::min<uint64_t>(100, done / step));
      if (percent != lastPercent) {
        engine.SetPercentComplete(percent, 2);
        lastPercent = percent;
      }
      if (engine.Options().pauseRequested) {
        sink.Pause();
        engine.WaitWhilePaused();
        sink.Resume();
      }
    }
  } catch (const DvCodeError&) {
    result = -1;
  }
  sink.End();
  return result;
}

int ScanRAID(NTFSObj& engine, RDrive& set) {
  std::unique_ptr<RaidScanSink> sink = MakeIoTraceRaidSink();
  RaidScanOptions options;
  options.interval = uint32_t(std::max<int32_t>(1, traceRaidInterval.load()));
  return ScanRAID(engine, set, *sink, options);
}
