#include "diagnostics/Macro.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "diagnostics/DebugDlg.h"
#include "filesystems/zfs/BlockPointer.h"
#include "filesystems/zfs/Compression.h"
#include "filesystems/zfs/Definitions.h"
#include "foundation/PathUtil.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "platform/Format.h"
#include "storage/Drive.h"
#include "storage/RDrive.h"

namespace {

std::vector<WString> Tokens(WStringView text) {
  std::vector<WString> out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find(u' ', at), text.size());
    if (end > at) out.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

bool Number(const WString& t, uint64_t* out) {
  if (t.empty() || t.size() > 19) return false;
  uint64_t v = 0;
  for (char16_t c : t) {
    if (c < u'0' || c > u'9') return false;
    v = v * 10 + uint64_t(c - u'0');
  }
  *out = v;
  return true;
}

bool Readable(Drive* drive) { return drive != nullptr; }

}  // namespace

void CMacro::Say(WStringView text) {
  message.assign(text);
  ShowMessage(kMbOk, u"%s", message);
}

int CMacro::RunCommand(WStringView text, Drive* drive) {
  outputPath.clear();
  const bool zfsTrace = traceZfs != 0;
  const std::vector<WString> t = Tokens(text);
  if (zfsTrace) {
    TracePrintfA("Starting DumpZDVA\n");
    for (size_t i = 0; i < t.size(); ++i) TracePrintfA("cnt: %d\n", int32_t(i + 1));
  }
  auto end = [&](int result) {
    if (zfsTrace) TracePrintfA("End DumpZDVA\n");
    return result;
  };
  if (t.empty() || t[0] != u"DumpZDVA") {
    Say(u"Wrong usage.");
    return end(kFailed);
  }
  // Counted first: a short command makes no file.
  if (t.size() < 6) {
    Say(u"Missing parameters for DumpZDVA");
    return end(kFailed);
  }
  uint64_t offset = 0, asize = 0, lsize = 0, psize = 0;
  // The sizes come from a person typing: held to a block's bounds.
  if (t.size() > 6 || !Number(t[1], &offset) || !Number(t[2], &asize) || !Number(t[3], &lsize) ||
      !Number(t[4], &psize) || lsize > kMacroMaxBlockBytes || psize > lsize || asize > kMacroMaxBlockBytes * 4 ||
      lsize % 512 || psize % 512 || asize % 512 || offset % 512 || !Readable(drive)) {
    Say(u"Wrong usage.");
    return end(kFailed);
  }
  // The folder passes the trace folder's checks: never on the source.
  CDebugDlg folderCheck;
  folderCheck.folder = t[5];
  if (!folderCheck.CheckFolder()) {
    message = LastErrorText();
    return end(kFailed);
  }
  ZfsDva dva;
  dva.offset = offset / 512;
  dva.asize = uint32_t(asize / 512);
  const uint32_t ss = drive->SectorSize() ? drive->SectorSize() : 512;
  const uint64_t sector = dva.OffsetSectors(ss);
  const uint32_t sectors = dva.SizeSectors(ss);
  outputPath = FormatW(u"%s/dumpz_%I64d_%d.dsk", TrimPathEnd(t[5]), int64_t(sector), int32_t(sectors));
  const int fd = open(ToUtf8(outputPath).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int e = errno;
    Say(FormatW(u"Could not open %s.  errno: %d", outputPath, int32_t(e)));
    outputPath.clear();
    return end(kFailed);
  }
  std::vector<uint8_t> block(size_t(lsize), 0);
  int result = kRead;
  bool ok = true;
  if (sector == 0 && sectors == 0) {
    if (traceIo) TracePrintfA("Sparse block\n");
    result = kSparse;
  } else if (psize) {
    if (zfsTrace) {
      TracePrintfA("Start RAIDZRead\n");
      ZFSDumpDVA(dva, 0);
      TracePrintfA("\n");
    }
    std::vector<uint8_t> raw;
    try {
      auto* set = dynamic_cast<RDrive*>(drive);
      if (set && set->IsRaidz()) {
        // Whole member units: room for the rounded size.
        raw.assign(size_t(psize) + (size_t(1) << std::max<uint32_t>(drive->Shift(), 12)), 0);
        ok = set->RAIDZRead(raw.data(), (offset) >> drive->Shift(), psize) == 1;
      } else {
        // A single vdev: its data area starts after the labels.
        const uint64_t byte = zfs::kVdevDataOffset + offset;
        const uint64_t first = byte / ss, within = byte % ss;
        const uint64_t span = (within + psize + ss - 1) / ss * ss;
        raw.assign(size_t(span), 0);
        ok = first + span / ss <= drive->SectorCount() &&
             drive->ReadSectors(int64_t(first), uint32_t(span), uint32_t(span), raw.data(), true) != nullptr;
        if (ok && within) std::memmove(raw.data(), raw.data() + within, size_t(psize));
      }
    } catch (const DvCodeError&) {
      ok = false;
    }
    if (ok && psize < lsize) ok = LZJBDecompress(raw.data(), block.data(), size_t(psize), size_t(lsize)) == 0;
    else if (ok) std::copy(raw.begin(), raw.begin() + ptrdiff_t(psize), block.begin());
    if (ok && zfsTrace) TracePrintfA("Everything is OK.\n");
  }
  if (!ok) {
    close(fd);
    unlink(ToUtf8(outputPath).c_str());
    outputPath.clear();
    Say(FormatW(u"Cannot read the block at sector %I64d.", int64_t(sector)));
    return end(kFailed);
  }
  size_t done = 0;
  while (done < block.size()) {
    const ssize_t w = write(fd, block.data() + done, block.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += size_t(w);
  }
  close(fd);
  if (done != block.size()) {
    Say(FormatW(u"Could not write %s.", outputPath));
    return end(kFailed);
  }
  Say(result == kSparse ? u"Sparse block.  No output." : u"done");
  return end(result);
}
