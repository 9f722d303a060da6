#include "storage/DiskImage.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Memory.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "storage/RDrive.h"
#include "storage/RaidMemberRebuild.h"

uint64_t ListingBytesPerSector(uint32_t sectorSize) { return sectorSize == 512 ? 2414 : 19214; }

int64_t DiskImageSpaceMiB(int64_t first, int64_t last, bool binary, uint32_t sectorSize) {
  if (first < 0 || last < 0 || last < first) return 0;
  const unsigned __int128 count = uint64_t(last - first) + 1;
  const unsigned __int128 bytes = count * (binary ? sectorSize : ListingBytesPerSector(sectorSize));
  if (bytes == 0) return 0;
  const unsigned __int128 mib = (bytes - 1) / 1048576 + 1;
  using U128 = unsigned __int128;
  return mib > U128(INT64_MAX) ? INT64_MAX : int64_t(mib);
}

WString RebuildMemberPath(WStringView path, int second) {
  if (path.size() < 7) return {};
  WString out(path);
  const size_t n = out.size();
  out[n - 7] = u'_';
  out[n - 6] = u'0';
  out[n - 5] = second ? u'2' : u'1';
  return out;
}

int RebuildKindOfName(WStringView path) {
  const size_t slash = path.find_last_of(u'/');
  const WStringView name = slash == WStringView::npos ? path : path.substr(slash + 1);
  if (name == u"raid6gen.dsk") return 2;
  if (name == u"raid5gen.dsk") return 1;
  return 0;
}

namespace {

struct AlignedDeleter {
  void operator()(void* p) const { AlignedFree(p); }
};

}  // namespace

int CopyDiskImageThread(Drive& drive, DumpJob& job) {
  TRACE_FN("CopyDiskImageThread");
  using Clock = std::chrono::steady_clock;
  const uint32_t ss = drive.SectorSize() ? drive.SectorSize() : 512;
  const uint32_t chunk = std::max<uint32_t>(1, drive.TransferSize() / ss);
  int status = 1;
  bool finished = false;
  RaidMemberRebuild rebuild[2];
  int rebuilds = 0;
  std::unique_ptr<void, AlignedDeleter> own;
  std::unique_ptr<void, AlignedDeleter> own2;
  auto* set = dynamic_cast<RDrive*>(&drive);
  if (job.regenerate) {
    rebuilds = job.regenerate == 2 && set && set->MissingCount() > 1 ? 2 : 1;
    if (!set) ErrorMsg(u"The source is no RAID set: there is no missing member to rebuild.");
    for (int i = 0; i < rebuilds; ++i)
      if (!set || !rebuild[i].Init(*set, i)) {
        job.error = 1;
        rebuilds = -1;
        break;
      }
    if (rebuilds > 0) {
      own.reset(AlignedAlloc(size_t(chunk) * ss));
      if (rebuilds > 1) own2.reset(AlignedAlloc(size_t(chunk) * ss));
      if (!own || (rebuilds > 1 && !own2)) {
        ErrorMsg(Msg(209));
        job.error = 1;
        rebuilds = -1;
      }
    }
  }
  try {
    uint64_t total = 0;
    uint64_t every = 1, pieces = 0;
    const Clock::time_point start = Clock::now();
    while (rebuilds >= 0 && job.first <= job.last && !(job.cancel && job.cancel->load())) {
      const uint32_t n = uint32_t(std::min<uint64_t>(chunk, uint64_t(job.last - job.first) + 1));
      const uint32_t bytes = n * ss;
      const uint32_t errorsBefore = drive.TotalErrors();
      uint8_t* data;
      if (job.regenerate == 0) {
        data = drive.ReadSectors(job.first, bytes, Drive::kRetryPiece, nullptr, true);
      } else {
        data = rebuild[0].Read(uint64_t(job.first), bytes, static_cast<uint8_t*>(own.get()))
                   ? static_cast<uint8_t*>(own.get())
                   : nullptr;
        if (data && rebuilds > 1 &&
            !rebuild[1].Read(uint64_t(job.first), bytes, static_cast<uint8_t*>(own2.get())))
          data = nullptr;
      }
      if (drive.TotalErrors() != errorsBefore) {
        VErrorMsg(u"Unreadable sectors between sector %I64d and sector %I64d: the copy stopped there.", job.first,
                  job.first + int64_t(n) - 1);
        job.error = 1;
        break;
      }
      if (!data) break;
      if (job.binary) {
        if (theTrace().WriteHandle(data, bytes, 0) != int64_t(bytes) ||
            (rebuilds > 1 && theTrace().WriteHandle(own2.get(), bytes, 1) != int64_t(bytes))) {
          ErrorMsg(nullptr, nullptr);
          break;
        }
      } else if (HexDumpSector(data, job.first, bytes, ss, job.text) != 0) {
        ErrorMsg(nullptr, nullptr);
        std::fclose(job.text);
        job.text = nullptr;
        break;
      }
      total += bytes;
      ++pieces;
      if (job.progress && pieces % every == 0) job.progress(total);
      job.first += n;
      // About one report a second once the pace is known.
      if (pieces == 100) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed < 100.0 && elapsed > 0)
          every = uint64_t(std::clamp(100.0 / elapsed, 1.0, 100.0));
      }
    }
    finished = rebuilds >= 0 && (job.first > job.last || (job.cancel && job.cancel->load()));
  } catch (const DvCodeError&) {
    job.error = 1;
  }
  if (job.binary) theTrace().CloseHandles();
  else if (job.text) {
    if (std::fclose(job.text) != 0 && finished) {
      ErrorMsg(nullptr, nullptr);
      finished = false;
    }
    job.text = nullptr;
  }
  drive.CloseDevice();
  drive.ReleaseBuffers();
  if (finished) status = 0;
  else if (!job.error) job.error = 1;
  return status;
}
