#include "storage/RDrive.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "platform/Format.h"
#include "platform/Memory.h"
#include "platform/Platform.h"
#include "storage/DiskList.h"
#include "storage/VolumeDefinition.h"

namespace {

constexpr uint32_t kMiB = 0x100000;
// RAID-Z members keep their labels and boot block in front of the data.
constexpr uint64_t kRaidzDataStart = 4 * kMiB;
// A set's read of one member is joined into one window up to this size;
// larger windows (far-apart groups of a schema) are read group by group,
// and a single group needing more of one member is refused.
constexpr uint64_t kMaxJoinedWindow = 16 * kMiB;

void NoFree(void*) {}

int ParityOf(int kind) {
  switch (kind) {
    case kRaid5:
    case kRaidZ1: return 1;
    case kRaid6:
    case kRaidZ2: return 2;
    default: return 0;
  }
}

// Custom sets say nothing of their parity; their schema may rebuild up to
// two members.
int AllowedMissing(int kind) { return kind == kRaidCustom ? 2 : ParityOf(kind); }

void ArmMarker() {
  int32_t expected = g_zeroFillMarker.load();
  while (expected != 0 && !g_zeroFillMarker.compare_exchange_weak(expected, 2)) {
  }
}

}  // namespace

RDrive::RDrive(const RaidSettings* settings) : buffer_(nullptr, NoFree) {
  if (settings) {
    settings_ = *settings;
    haveSettings_ = true;
  }
}

RDrive::~RDrive() {
  members_.clear();
  if (g_currentDrive == this) g_currentDrive = nullptr;
}

bool RDrive::IsRaidz() const { return raidType_ == kRaidZ1 || raidType_ == kRaidZ2; }

int RDrive::ParityCount() const { return ParityOf(raidType_); }

Drive* RDrive::FirstMember() const {
  for (const auto& m : members_)
    if (m) return m.get();
  return nullptr;
}

void RDrive::ParseFailure(WStringView definition) {
  VErrorMsg(Msg(180).c_str(), definition);
  Fail(-1);
}

void RDrive::Fail(int message) {
  if (message >= 0) ErrorMsg(Msg(message));
  members_.clear();
  ranges_.clear();
  throw DvCodeError{0};
}

bool RDrive::AllocateBuffer(uint32_t bytes) {
  // Room for a request's last sector when its length is not whole sectors.
  const uint32_t want = bytes + sectorSize_;
  void* p = AlignedAlloc(want);
  if (!p) return false;
  buffer_ = std::unique_ptr<uint8_t, void (*)(void*)>(static_cast<uint8_t*>(p), AlignedFree);
  bufferBytes_ = want;
  return true;
}

void RDrive::OpenMember(size_t index, WStringView text, bool nested, int64_t first, int64_t last, bool hasRange) {
  std::unique_ptr<Drive> d;
  if (nested) {
    RaidSettings s;
    FindRaidSettings(text, &s);
    d = std::make_unique<RDrive>(&s);
  } else {
    d = std::make_unique<Drive>();
  }
  d->replayMember[0] = uint8_t(index);
  d->replayMember[1] = replayMember[0];
  d->InitDrive(text);  // a failure passes on with the member's own message
  memberStart_[index] = 0;
  if (nested && hasRange) {
    if (first > last || uint64_t(last) >= d->SectorCount()) {
      members_[index] = std::move(d);
      ParseFailure(name_);
    }
    memberStart_[index] = first;
  }
  members_[index] = std::move(d);
}

void RDrive::InitDrive(WStringView definition) {
  TRACE_FN("RDrive::InitDrive");
  members_.clear();
  ranges_.clear();
  missing_.clear();
  memberStart_.clear();
  cacheValid_ = false;
  consecutiveErrors_ = totalErrors_ = errorsAtCache_ = 0;
  firstErrorSector_ = -1;
  retryPiece_ = kRetryPiece;
  raidType_ = GetRaidType(definition);
  name_ = WString(definition);
  isImage_ = isVolume_ = false;
  diskNumber_ = -1;
  extentFirst_ = 0;
  zfsLabelSeen = 0;
  if (!haveSettings_) FindRaidSettings(definition, &settings_);

  const size_t open = definition.find(u'(');
  if (raidType_ == kRaidNone || open == WStringView::npos || open > 6) ParseFailure(definition);
  bool closed = false;
  size_t end = 0;
  const std::vector<WStringView> texts = SplitDefinitionMembers(definition, open + 1, &closed, &end);
  if (!closed || end != definition.size() || texts.empty() || texts.size() > kMaxRaidMembers)
    ParseFailure(definition);
  const size_t n = texts.size();
  members_.resize(n);
  memberStart_.assign(n, 0);
  std::vector<MemberText> parsed(n);
  for (size_t i = 0; i < n; ++i) {
    if (!ParseMemberText(texts[i], &parsed[i])) ParseFailure(definition);
    const bool missing = texts[i] == u"Missing" || (raidType_ != kRaid0 && texts[i].find(u"<9999:") != WStringView::npos);
    if (missing || texts[i] == u"Missing") missing_.push_back(int(i));
  }
  // More missing members than the parity can rebuild: nothing to read.
  if (int(missing_.size()) > AllowedMissing(raidType_)) Fail(672);
  const int parity = ParityOf(raidType_);
  const size_t least = raidType_ == kRaid0 ? 2 : raidType_ == kRaidCustom ? 1 : size_t(parity) + 2;
  if (n < least) Fail(raidType_ == kRaid0 ? 224 : parity == 1 ? 225 : parity == 2 ? 665 : 376);
  if (settings_.stripeBytes < 512 || settings_.parityGroup < 1 || settings_.rotation < 0 || settings_.rotation > 5)
    Fail(376);

  // Open the members; the first sets the geometry.
  bool first = true;
  std::vector<uint64_t> sizes(n, 0);
  for (size_t i = 0; i < n; ++i) {
    if (std::find(missing_.begin(), missing_.end(), int(i)) != missing_.end()) continue;
    const MemberText& m = parsed[i];
    if (m.device == u"Missing") ParseFailure(definition);
    WStringView text = m.nested ? m.device : texts[i];
    try {
      OpenMember(i, text, m.nested, m.first, m.last, m.hasRange);
    } catch (const DvCodeError&) {
      members_.clear();
      ranges_.clear();
      throw;
    }
    Drive* d = members_[i].get();
    if (first) {
      sectorSize_ = d->SectorSize();
      shift_ = d->Shift();
      sectorsPer4G_ = d->SectorsPer4G();
      memberTransferBytes_ = d->TransferSize();
      first = false;
    } else if (d->SectorSize() != sectorSize_) {
      ParseFailure(definition);
    }
    sizes[i] = (m.nested && m.hasRange) ? uint64_t(m.last - m.first + 1) : d->SectorCount();
  }
  if (first) Fail(672);
  if (uint32_t(settings_.stripeBytes) % sectorSize_ != 0) Fail(376);
  stripeSectors_ = uint32_t(settings_.stripeBytes) >> shift_;
  // Members are used to the smallest whole number of stripes.
  memberSectors_ = ~0ull;
  for (size_t i = 0; i < n; ++i)
    if (members_[i]) memberSectors_ = std::min(memberSectors_, sizes[i] / stripeSectors_ * stripeSectors_);

  bool schema = false;
  dataMembers_ = int(n);
  if (raidType_ == kRaid0 || raidType_ == kRaidCustom) {
    WString path = settings_.schemaPath;
    if (path.empty() && raidType_ == kRaid0) {
      const std::string special = plat::SupportDir() + "/$DVS$RAID$.txt";
      struct stat st;
      if (stat(special.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        ShowMessage(kMbIconInformation, u"A special RAID filter is being used.");
        path = FromUtf8(special);
      }
    }
    if (!path.empty()) {
      if (!LoadSchema(path)) Fail(-1);
      schema = true;
    } else if (raidType_ == kRaidCustom) {
      Fail(668);  // a custom layout comes only from its schema
    }
  }
  if (!schema) {
    dataMembers_ = int(n) - parity;
    sectorCount_ = memberSectors_ * uint64_t(dataMembers_);
    if (raidType_ == kRaid0 || raidType_ == kRaid5 || raidType_ == kRaid6) {
      RaidMapParams p;
      p.sectors = sectorCount_;
      p.members = uint32_t(n);
      p.stripe = stripeSectors_;
      p.group = uint32_t(settings_.parityGroup);
      p.rotation = settings_.rotation;
      p.missing.assign(n, false);
      for (int m : missing_) p.missing[size_t(m)] = true;
      p.coefficientMode = settings_.coefficientMode;
      p.order = settings_.order;
      const bool built = raidType_ == kRaid0   ? RaidMap::BuildRaid0(p, &ranges_)
                         : raidType_ == kRaid5 ? RaidMap::BuildRaid5(p, &ranges_)
                                               : RaidMap::BuildRaid6(p, &ranges_);
      if (!built) Fail(376);
      for (RaidRange& r : ranges_) r.ComputeWindows(n, shift_);
      if (traceRaid) RaidMap::TraceRanges(ranges_, n);
    }
    uint64_t transfer = uint64_t(dataMembers_) * kMiB;
    if (!ranges_.empty() && uint32_t(settings_.stripeBytes) < kMiB)
      transfer -= uint64_t(dataMembers_) * uint32_t(settings_.stripeBytes);
    transferSize_ = uint32_t(std::min<uint64_t>(transfer, 64 * kMiB));
  }
  rowBytes_ = uint64_t(dataMembers_) * uint32_t(settings_.stripeBytes);
  if (!AllocateBuffer(transferSize_)) {
    members_.clear();
    ShowErrorAndThrow();
  }
  lastWindowSector_.assign(n, -1);
  currentRange_ = 0;
  CheckLayout();
}

void RDrive::CloseDevice() {
  for (auto& m : members_)
    if (m) m->CloseDevice();
  cacheValid_ = false;
}

void RDrive::HookExclusiveRanges(const CDrvAttr& attributes) {
  for (auto& m : members_)
    if (m) m->HookExclusiveRanges(attributes);
  cacheValid_ = false;
}

bool RDrive::IsSafeVolume(WStringView destinationPath) {
  for (auto& m : members_)
    if (m && !m->IsSafeVolume(destinationPath)) return false;
  return true;
}

bool RDrive::IsSafeDrive(int diskNumber) {
  for (auto& m : members_)
    if (m && !m->IsSafeDrive(diskNumber)) return false;
  return true;
}

void RDrive::FixSize(uint32_t a) {
  const uint64_t count = uint64_t(raidType_ == kRaid0 ? members_.size() : members_.size() - 1);
  const uint64_t want = a > 512 * 1024 ? uint64_t(a) * count : count * kMiB;
  const uint32_t bytes = uint32_t(std::min<uint64_t>(want, 64 * kMiB));
  if (bytes != transferSize_ && AllocateBuffer(bytes)) transferSize_ = bytes;
  requestBytes_ = a;
  cacheValid_ = false;
  if (a >= sectorSize_) {
    const uint64_t unit = a >> shift_;
    if (unit) sectorCount_ = sectorCount_ / unit * unit;
  }
  for (auto& m : members_) {
    if (!m) continue;
    const uint32_t t = m->TransferSize();
    if ((t > kMiB && a <= 512 * 1024) || (t == kMiB && a > 512 * 1024)) m->FixSize(a > 512 * 1024 ? a : kMiB);
    else break;
  }
}

std::vector<WString> RDrive::ListMemberTexts() const {
  std::vector<WString> texts;
  for (size_t i = 0; i < members_.size(); ++i) {
    if (!members_[i]) continue;
    std::vector<WString> names;
    members_[i]->ListMembers(&names);
    for (WString& t : names) texts.push_back(std::move(t));
  }
  return texts;
}

WString RDrive::FormatMemberStarts() const {
  WString out;
  bool firstEntry = true;
  for (size_t i = 0; i < lastWindowSector_.size(); ++i) {
    if (lastWindowSector_[i] < 0) continue;
    out += FormatW(u"%c%d:%I64d", firstEntry ? u' ' : u',', int(i), lastWindowSector_[i]);
    firstEntry = false;
  }
  return out;
}

WString RDrive::FormatMemberSectors(int member, int64_t logical) {
  WString out;
  if (ranges_.empty() || logical < 0 || member < 0 || size_t(member) >= members_.size()) return out;
  size_t ri = 0;
  while (ri + 1 < ranges_.size() && uint64_t(logical) >= ranges_[ri].startLsn + ranges_[ri].sizeSectors) ++ri;
  RaidRange& r = ranges_[ri];
  if (!r.logicalGroupSectors || uint64_t(logical) < r.startLsn) return out;
  const uint64_t rel = uint64_t(logical) - r.startLsn;
  const uint64_t g = rel / r.logicalGroupSectors;
  const uint32_t o = uint32_t(rel % r.logicalGroupSectors);
  const RaidExtent& e = r.extents[r.FindExtent(o)];
  const uint64_t psn = r.startingPsn[size_t(member)] == ~0ull ? 0 : r.startingPsn[size_t(member)];
  for (const RaidItem& it : e.items)
    if (it.member == member)
      out += FormatW(u" %I64d", int64_t(g * r.physicalGroupSectors[size_t(member)] + psn + it.offset + (o - e.lso) +
                                        uint64_t(memberStart_[size_t(member)])));
  return out;
}

// ---- member reads ----

bool RDrive::EnsureMemberTransfer(size_t member, uint64_t bytes) {
  Drive* d = members_[member].get();
  if (bytes <= d->TransferSize()) return true;
  if (bytes > kMaxJoinedWindow) return false;
  if (dynamic_cast<RDrive*>(d)) return false;  // a nested set's buffer is its own size
  d->FixSize(uint32_t((bytes + kMiB - 1) / kMiB * kMiB));
  return bytes <= d->TransferSize();
}

uint8_t* RDrive::StartMemberRead(size_t member, uint64_t sector, uint32_t bytes) {
  Drive* d = members_[member].get();
  const uint64_t at = sector + uint64_t(memberStart_[member]);
  if (at > uint64_t(INT64_MAX)) return nullptr;
  return d->ReadSectors(int64_t(at), bytes, kRetryPiece, nullptr, false);
}

uint8_t* RDrive::FinishMemberRead(size_t member, uint8_t* started) {
  if (started != kReadStarted) return started;
  return members_[member]->FinishRead();
}

// ---- reading ----

uint8_t* RDrive::ReadSectors(int64_t sector, uint32_t bytes, uint32_t retryPiece, void* buffer, bool /*wait*/) {
  (void)retryPiece;
  if (sector < 0) {
    VErrorMsg(Msg(362).c_str(), sector);
    return nullptr;
  }
  if (!buffer_) {
    VErrorMsg(Msg(181).c_str(), name_);
    return nullptr;
  }
  uint8_t* const dest = buffer ? static_cast<uint8_t*>(buffer) : buffer_.get();
  const uint64_t s = uint64_t(sector);
  if (s >= sectorCount_) {
    VErrorMsg(Msg(228).c_str(), sector);
    return nullptr;
  }
  if (bytes > transferSize_ || uint64_t(bytes) + sectorSize_ > bufferBytes_) {
    ErrorMsg(Msg(138));
    return nullptr;
  }
  if (bytes == 0) return dest;
  const uint64_t sectors = (uint64_t(bytes) + sectorSize_ - 1) >> shift_;
  const bool sequential = s == nextSequential_;
  nextSequential_ = s + sectors;
  if (CacheHolds(s, bytes)) {
    uint8_t* data = buffer_.get() + ((s - cacheFirst_) << shift_);
    if (!buffer) return data;
    memcpy(buffer, data, bytes);
    return static_cast<uint8_t*>(buffer);
  }
  // A sequential reader gets the whole transfer size read at once into the
  // drive's buffer: each member then reads about 1 MiB per call instead of
  // its share of one request, and the following requests come from there.
  if (sequential && bytes <= transferSize_ / 2 && s + (transferSize_ >> shift_) <= sectorCount_) {
    const uint32_t ahead = transferSize_ >> shift_ << shift_;
    if (ReadSectors(sector, ahead, retryPiece, nullptr, true) && CacheHolds(s, bytes)) {
      nextSequential_ = s + sectors;
      uint8_t* data = buffer_.get() + ((s - cacheFirst_) << shift_);
      if (!buffer) return data;
      memcpy(buffer, data, bytes);
      return static_cast<uint8_t*>(buffer);
    }
    nextSequential_ = s + sectors;
  }
  cacheValid_ = false;
  // The part past the end of the set reads as zeros.
  const uint64_t inside = std::min<uint64_t>(sectors, sectorCount_ - s);
  const uint32_t insideBytes = uint32_t(std::min<uint64_t>(bytes, inside << shift_));
  // Whole sectors are evaluated; a caller's buffer that ends inside a
  // sector gets the bytes through ours.
  const bool partial = buffer && (insideBytes & (sectorSize_ - 1)) != 0;
  uint8_t* out = partial ? buffer_.get() : dest;
  const uint32_t errorsBefore = totalErrors_;
  if (traceRaid && g_currentDrive == this) TracePrintfA("SimIO @ sect %I64d %u bytes\n", sector, bytes);
  bool ok;
  if (!ranges_.empty()) ok = ReadThroughRanges(s, uint32_t(inside << shift_), out);
  else ok = ReadRows(s << shift_, uint32_t(inside << shift_), out);
  if (!ok) return nullptr;
  if (partial) memcpy(dest, buffer_.get(), insideBytes);
  if (insideBytes < bytes) memset(dest + insideBytes, 0, bytes - insideBytes);
  if (traceIo) {
    const int32_t mode = sectorTraceMode.load();
    if (mode == 9999) WriteTraceSectors(sector, bytes, sectorSize_, dest, "dsk", replayMember[0], replayMember[1]);
  }
  if (!buffer) {
    if (totalErrors_ == errorsBefore) {
      cacheValid_ = true;
      cacheFirst_ = s;
      cacheSectors_ = uint32_t(bytes >> shift_);
      errorsAtCache_ = totalErrors_;
    }
    return buffer_.get();
  }
  return static_cast<uint8_t*>(buffer);
}

bool RDrive::ReadThroughRanges(uint64_t a, uint32_t bytes, uint8_t* out) {
  if (currentRange_ >= ranges_.size()) currentRange_ = 0;
  {
    const RaidRange& c = ranges_[currentRange_];
    if (a < c.startLsn || a - c.startLsn >= c.sizeSectors) {
      size_t lo = 0, hi = ranges_.size();
      while (hi - lo > 1) {
        const size_t mid = lo + (hi - lo) / 2;
        if (ranges_[mid].startLsn <= a) lo = mid;
        else hi = mid;
      }
      currentRange_ = lo;
    }
  }
  uint32_t done = 0;
  while (done < bytes) {
    if (currentRange_ >= ranges_.size()) {
      VErrorMsg(Msg(228).c_str(), int64_t(a));
      return false;
    }
    RaidRange& r = ranges_[currentRange_];
    if (a < r.startLsn || a - r.startLsn >= r.sizeSectors) {
      // A gap between ranges or past the last: nothing maps there.
      if (a >= r.startLsn + r.sizeSectors && currentRange_ + 1 < ranges_.size()) {
        ++currentRange_;
        continue;
      }
      VErrorMsg(Msg(228).c_str(), int64_t(a));
      return false;
    }
    const uint64_t left = (r.startLsn + r.sizeSectors - a) << shift_;
    const uint32_t piece = uint32_t(std::min<uint64_t>(bytes - done, left));
    if (!ReadRange(r, a, piece >> shift_, out + done)) return false;
    done += piece;
    a += piece >> shift_;
    if (done < bytes) ++currentRange_;
  }
  return true;
}

bool RDrive::ReadRange(RaidRange& r, uint64_t a, uint32_t m, uint8_t* out) {
  const size_t n = members_.size();
  const uint64_t L = r.logicalGroupSectors;
  if (L == 0 || r.extents.empty() || r.startingPsn.size() != n) return false;
  const uint64_t rel = a - r.startLsn;
  const uint64_t g0 = rel / L;
  const uint64_t o = rel - g0 * L;
  const uint64_t k = (rel + m - 1) / L - g0;
  const uint32_t ss = sectorSize_;

  // The part of group j the request covers: [from, to) logical sectors.
  auto span = [&](uint64_t j, uint64_t* from, uint64_t* to) {
    *from = j == 0 ? o : 0;
    *to = j == k ? o + m - k * L : L;
  };
  std::vector<uint64_t> lo(n, ~0ull), hi(n, 0), base(n, 0);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t psn = r.startingPsn[i] == ~0ull ? 0 : r.startingPsn[i];
    base[i] = g0 * r.physicalGroupSectors[i] + psn;
  }
  for (uint64_t j = 0; j <= k; ++j) {
    uint64_t from, to;
    span(j, &from, &to);
    if (from == 0 && to == L) {
      for (size_t i = 0; i < n; ++i) {
        if (r.windowLo[i] == ~0ull) continue;
        const uint64_t shiftBytes = (j * r.physicalGroupSectors[i]) << shift_;
        lo[i] = std::min(lo[i], r.windowLo[i] + shiftBytes);
        hi[i] = std::max(hi[i], r.windowHi[i] + shiftBytes);
      }
      continue;
    }
    for (size_t x = r.FindExtent(uint32_t(from)); x < r.extents.size() && r.extents[x].lso < to; ++x) {
      const RaidExtent& e = r.extents[x];
      const uint64_t s0 = std::max<uint64_t>(from, e.lso), s1 = std::min<uint64_t>(to, uint64_t(e.lso) + e.length);
      if (s0 >= s1) continue;
      for (const RaidItem& it : e.items) {
        if (it.member < 0 || size_t(it.member) >= n) continue;
        const size_t i = size_t(it.member);
        const uint64_t first = (j * r.physicalGroupSectors[i] + it.offset + (s0 - e.lso)) << shift_;
        lo[i] = std::min(lo[i], first);
        hi[i] = std::max(hi[i], first + ((s1 - s0) << shift_));
      }
    }
  }
  // Far-apart groups are read one at a time rather than as one huge window.
  if (k > 0) {
    for (size_t i = 0; i < n; ++i) {
      if (lo[i] != ~0ull && hi[i] - lo[i] > kMaxJoinedWindow) {
        const uint64_t firstPart = std::min<uint64_t>(m, L - o);
        return ReadRange(r, a, uint32_t(firstPart), out) &&
               ReadRange(r, a + firstPart, uint32_t(m - firstPart), out + (firstPart << shift_));
      }
    }
  }

  // One read per member with a window, all started before any is awaited.
  std::vector<uint8_t*> data(n, nullptr);
  std::vector<uint32_t> errorsBefore(n, 0);
  bool failed = false;
  for (size_t i = 0; i < n; ++i) {
    lastWindowSector_[i] = -1;
    if (lo[i] == ~0ull || !members_[i]) continue;
    const uint64_t sector = base[i] + (lo[i] >> shift_);
    const uint64_t len = hi[i] - lo[i];
    lastWindowSector_[i] = int64_t(sector + uint64_t(memberStart_[i]));
    errorsBefore[i] = members_[i]->TotalErrors();
    if (!EnsureMemberTransfer(i, len)) {
      ErrorMsg(Msg(138));
      failed = true;
      break;
    }
    if (!(data[i] = StartMemberRead(i, sector, uint32_t(len)))) {
      failed = true;
      break;
    }
  }
  for (size_t i = 0; i < n; ++i) {
    if (!data[i]) continue;
    data[i] = FinishMemberRead(i, data[i]);
    if (!data[i]) failed = true;
    else if (members_[i]->TotalErrors() != errorsBefore[i]) RaiseErrors();  // zeros must not pass as data
  }
  if (failed) return false;

  // Evaluate the extents group by group.
  uint8_t* dst = out;
  for (uint64_t j = 0; j <= k; ++j) {
    uint64_t from, to;
    span(j, &from, &to);
    for (size_t x = r.FindExtent(uint32_t(from)); x < r.extents.size() && r.extents[x].lso < to; ++x) {
      const RaidExtent& e = r.extents[x];
      const uint64_t s0 = std::max<uint64_t>(from, e.lso), s1 = std::min<uint64_t>(to, uint64_t(e.lso) + e.length);
      if (s0 >= s1) continue;
      const size_t len = size_t((s1 - s0) << shift_);
      auto at = [&](const RaidItem& it) -> const uint8_t* {
        const size_t i = size_t(it.member);
        if (it.member < 0 || i >= n || !data[i]) return nullptr;
        const uint64_t first = (j * r.physicalGroupSectors[i] + it.offset + (s0 - e.lso)) << shift_;
        if (first < lo[i] || first + len > hi[i]) return nullptr;
        return data[i] + (first - lo[i]);
      };
      bool bad = (e.flags & kRaidFlagBad) != 0;
      if (e.op == kRaidOpZero) {
        memset(dst, 0, len);
        bad = true;
      } else if (e.op == kRaidOpXor) {
        bool firstItem = true;
        for (const RaidItem& it : e.items) {
          const uint8_t* p = at(it);
          if (!p) {
            // A member the set does not have: the extent cannot be read.
            firstItem = true;
            bad = true;
            RaiseErrors();
            break;
          }
          if (firstItem) memcpy(dst, p, len);
          else XorInto(dst, p, len);
          firstItem = false;
        }
        if (firstItem) memset(dst, 0, len);
      } else {
        const uint8_t* rebuilt = nullptr;
        if (gf_.Prepare(len, n, &e)) {
          for (const RaidItem& it : e.items)
            if (const uint8_t* p = at(it)) gf_.SetMember(size_t(it.member), p);
          rebuilt = gf_.Rebuild();
        }
        if (rebuilt) {
          memcpy(dst, rebuilt, len);
        } else {
          memset(dst, 0, len);
          bad = true;
          RaiseErrors();
        }
      }
      if (bad) ArmMarker();
      dst += len;
    }
  }
  (void)ss;
  return true;
}

// ---- row by row (RAID-Z sets) ----

bool RDrive::ReadRows(uint64_t u, uint32_t bytes, uint8_t* out) {
  if (rowBytes_ == 0) return false;
  const uint64_t end = u + bytes;
  const int healedBefore = -1;
  int marked = healedBefore;
  for (uint64_t row = u / rowBytes_; row * rowBytes_ < end; ++row) {
    const uint64_t rowStart = row * rowBytes_;
    const uint32_t from = uint32_t(std::max(u, rowStart) - rowStart);
    const uint32_t to = uint32_t(std::min(end, rowStart + rowBytes_) - rowStart);
    uint8_t* dst = out + (rowStart + from - u);
    std::vector<uint32_t> before(members_.size());
    for (size_t i = 0; i < members_.size(); ++i) before[i] = members_[i] ? members_[i]->TotalErrors() : 0;
    if (!ReadRow(row, from, to, dst, -1)) return false;
    int failing = -1, failures = 0;
    for (size_t i = 0; i < members_.size(); ++i)
      if (members_[i] && members_[i]->TotalErrors() != before[i]) {
        failing = int(i);
        ++failures;
      }
    if (failures == 0) continue;
    // Heal once per request: read the row again with the failing member
    // rebuilt from the others.
    if (failures == 1 && missing_.empty() && marked < 0) {
      marked = failing;
      for (size_t i = 0; i < members_.size(); ++i) before[i] = members_[i] ? members_[i]->TotalErrors() : 0;
      if (!ReadRow(row, from, to, dst, failing)) return false;
      bool clean = true;
      for (size_t i = 0; i < members_.size(); ++i)
        if (int(i) != failing && members_[i] && members_[i]->TotalErrors() != before[i]) clean = false;
      if (clean) continue;
    }
    RaiseErrors();
  }
  return true;
}

// The request's part [from, to) of one row into out.
bool RDrive::ReadRow(uint64_t row, uint32_t from, uint32_t to, uint8_t* out, int treatAsMissing) {
  const int n = int(members_.size());
  const int parity = ParityCount();
  const uint32_t chunk = uint32_t(settings_.stripeBytes);
  const int pp = int((row / uint64_t(settings_.parityGroup)) % uint64_t(n));
  const int rot = settings_.rotation;
  const int q = (rot == 1 || rot == 2) ? n - 1 - pp : pp;
  const int p = parity == 2 ? (q + n - 1) % n : -1;
  // The members holding the row's chunks, in order.
  std::vector<int> holder;
  if (rot == 2) {
    for (int c = 0; c < n - parity; ++c) holder.push_back((q + 1 + c) % n);
  } else {
    for (int m = 0; m < n; ++m)
      if (m != q && m != p) holder.push_back(m);
  }
  int lost = treatAsMissing;
  if (lost < 0 && !missing_.empty()) lost = missing_[0];
  int lostChunk = -1;
  for (size_t c = 0; c < holder.size(); ++c)
    if (holder[c] == lost && uint64_t(c) * chunk < to && uint64_t(c + 1) * chunk > from) lostChunk = int(c);
  const uint64_t memberSector = (row * chunk) >> shift_;

  struct Part {
    int member;
    uint32_t offset, length;  // inside the chunk
    uint8_t* data = nullptr;
  };
  std::vector<Part> parts;
  if (lostChunk < 0) {
    for (size_t c = 0; c < holder.size(); ++c) {
      const uint64_t c0 = uint64_t(c) * chunk, c1 = c0 + chunk;
      if (c1 <= from || c0 >= to) continue;
      const uint32_t a = uint32_t(std::max<uint64_t>(from, c0) - c0), b = uint32_t(std::min<uint64_t>(to, c1) - c0);
      // A second member gone (RAID-Z2): its chunk cannot be had.
      parts.push_back({members_[size_t(holder[c])] ? holder[c] : -1, a, b - a});
    }
  } else {
    // Every other member of the row reads its whole chunk: the lost one is
    // their XOR (RAID-Z2 rows rebuild with P, leaving Q out).
    for (int m = 0; m < n; ++m) {
      if (m == lost || m == (parity == 2 ? q : -1)) continue;
      if (!members_[size_t(m)]) {
        // A second member gone in this row: its chunk cannot be had.
        memset(out, 0, to - from);
        RaiseErrors();
        ArmMarker();
        return true;
      }
      parts.push_back({m, 0, chunk});
    }
  }
  for (Part& pt : parts) {
    if (pt.member < 0) continue;
    const uint64_t sector = memberSector + (pt.offset >> shift_);
    if (!EnsureMemberTransfer(size_t(pt.member), pt.length) ||
        !(pt.data = StartMemberRead(size_t(pt.member), sector, pt.length)))
      return false;
  }
  bool failed = false;
  for (Part& pt : parts) {
    if (pt.member < 0) continue;
    pt.data = FinishMemberRead(size_t(pt.member), pt.data);
    if (!pt.data) failed = true;
  }
  if (failed) return false;
  if (lostChunk < 0) {
    size_t i = 0;
    for (size_t c = 0; c < holder.size(); ++c) {
      const uint64_t c0 = uint64_t(c) * chunk, c1 = c0 + chunk;
      if (c1 <= from || c0 >= to) continue;
      const Part& pt = parts[i++];
      uint8_t* to0 = out + (std::max<uint64_t>(from, c0) - from);
      if (pt.member >= 0) {
        memcpy(to0, pt.data, pt.length);
      } else {
        memset(to0, 0, pt.length);
        RaiseErrors();
        ArmMarker();
      }
    }
    return true;
  }
  if (scratch_.size() < chunk) scratch_.resize(chunk);
  memcpy(scratch_.data(), parts[0].data, chunk);
  for (size_t i = 1; i < parts.size(); ++i) XorInto(scratch_.data(), parts[i].data, chunk);
  for (size_t c = 0; c < holder.size(); ++c) {
    const uint64_t c0 = uint64_t(c) * chunk, c1 = c0 + chunk;
    if (c1 <= from || c0 >= to) continue;
    const uint64_t a = std::max<uint64_t>(from, c0), b = std::min<uint64_t>(to, c1);
    const uint8_t* src = nullptr;
    if (int(c) == lostChunk) {
      src = scratch_.data();
    } else {
      for (const Part& pt : parts)
        if (pt.member == holder[c]) src = pt.data;
    }
    memcpy(out + (a - from), src + (a - c0), size_t(b - a));
  }
  return true;
}

// ---- RAID-Z blocks ----

int RDrive::RAIDZRead(void* buffer, uint64_t offset, uint64_t size, uint32_t unitShift) {
  const int parity = ParityCount();
  if (!IsRaidz() || parity < 1 || members_.empty() || unitShift >= 32) return 0;
  const uint32_t unit = std::max(unitShift, shift_);
  const uint64_t rounded = (size + (uint64_t(1) << unit) - 1) >> unit << unit;
  if (rounded == 0 || rounded > 64 * kMiB || (!buffer && rounded > bufferBytes_)) {
    ErrorMsg(Msg(138));
    return 0;
  }
  uint8_t* dest = buffer ? static_cast<uint8_t*>(buffer) : buffer_.get();
  if (!buffer) cacheValid_ = false;
  const size_t n = members_.size();
  std::vector<RaidzColumn> cols(n);
  const uint64_t count =
      RaidMap::BuildRaidzColumns((offset << shift_) >> unit, rounded, n, uint64_t(parity), unit, cols.data());
  // The columns' places in units, as member sectors.
  for (uint64_t c = 0; c < count; ++c) cols[c].offset <<= unit - shift_;
  if (traceRaid) {
    TracePrintfA("RAIDZRead offset 0x%08x%08x psize %u sects\n", uint32_t(offset >> 32), uint32_t(offset),
                 uint32_t(rounded >> shift_));
    for (uint64_t c = 0; c < count; ++c)
      TracePrintfA("***devIdx, offset, size: %d, %I64d, %d\n", cols[c].devIdx, int64_t(cols[c].offset),
                   int(cols[c].size));
  }
  if (count == 0) return 0;
  // Which columns have no member; parity is read only when one of them
  // holds data.
  std::vector<size_t> lost;
  for (uint64_t c = 0; c < count; ++c)
    if (!members_[size_t(cols[c].devIdx)]) lost.push_back(size_t(c));
  bool dataLost = false;
  for (size_t c : lost)
    if (c >= size_t(parity)) dataLost = true;
  if (lost.size() > size_t(parity)) return 0;
  std::vector<std::vector<uint8_t>> parityBuffers(static_cast<size_t>(parity));
  std::vector<uint8_t*> started(count, nullptr);
  std::vector<uint32_t> before(n, 0);
  for (size_t i = 0; i < n; ++i) before[i] = members_[i] ? members_[i]->TotalErrors() : 0;
  uint64_t at = 0;
  for (uint64_t c = 0; c < count; ++c) {
    RaidzColumn& col = cols[c];
    if (c < uint64_t(parity)) {
      parityBuffers[c].assign(col.size, 0);
      col.buffer = parityBuffers[c].data();
    } else {
      col.buffer = dest + at;
      at += col.size;
    }
  }
  if (at != rounded) return 0;
  const uint64_t skip = kRaidzDataStart >> shift_;
  bool failed = false;
  for (uint64_t c = 0; c < count && !failed; ++c) {
    RaidzColumn& col = cols[c];
    const size_t m = size_t(col.devIdx);
    if (!members_[m] || (c < uint64_t(parity) && !dataLost)) continue;
    if (!EnsureMemberTransfer(m, col.size) || !(started[c] = StartMemberRead(m, col.offset + skip, col.size)))
      failed = true;
  }
  for (uint64_t c = 0; c < count; ++c) {
    if (!started[c]) continue;
    uint8_t* d = FinishMemberRead(size_t(cols[c].devIdx), started[c]);
    if (!d) failed = true;
    else memcpy(cols[c].buffer, d, cols[c].size);
    cols[c].readResult = d;
  }
  if (failed) return 0;
  for (size_t i = 0; i < n; ++i)
    if (members_[i] && members_[i]->TotalErrors() != before[i]) RaiseErrors();
  if (!dataLost) {
    if (traceRaid) TracePrintfA("Exiting RAIDZRead.\n");
    return 1;
  }

  // Columns of unequal size count as zero-padded.
  const size_t width = cols[0].size;
  std::vector<std::vector<uint8_t>> padded(count);
  auto columnData = [&](uint64_t c) -> const uint8_t* {
    if (cols[c].size == width) return cols[c].buffer;
    padded[c].assign(width, 0);
    memcpy(padded[c].data(), cols[c].buffer, cols[c].size);
    return padded[c].data();
  };
  std::vector<size_t> lostData;
  for (size_t c : lost)
    if (c >= size_t(parity)) lostData.push_back(c);
  const bool pLost = !lost.empty() && lost[0] == 0;
  if (lostData.size() == 1 && !pLost) {
    // XOR of P and the other data columns (Q left out).
    std::vector<uint8_t> x(width, 0);
    for (uint64_t c = 0; c < count; ++c)
      if (c != lostData[0] && (c == 0 || c >= uint64_t(parity))) XorInto(x.data(), columnData(c), width);
    memcpy(cols[lostData[0]].buffer, x.data(), cols[lostData[0]].size);
  } else {
    // P and Q: column k of the data holds coefficient 2^(columns - 1 - k).
    RaidExtent e;
    e.op = lostData.size() == 2 ? kRaidOpQ2 : kRaidOpQ1;
    for (uint64_t c = 0; c < count; ++c) {
      const int coefficient = c == 0 ? 0 : c == 1 ? -1 : theGfTables().Pow(count - 1 - c);
      e.items.push_back({coefficient, 0, int(c)});
    }
    e.gx = theGfTables().Pow(count - 1 - lostData[0]);
    e.gy = lostData.size() == 2 ? theGfTables().Pow(count - 1 - lostData[1]) : 0;
    if (!gf_.Prepare(width, count, &e)) return 0;
    for (uint64_t c = 0; c < count; ++c)
      if (std::find(lost.begin(), lost.end(), size_t(c)) == lost.end()) gf_.SetMember(size_t(c), columnData(c));
    const uint8_t* x = gf_.Rebuild();
    if (!x) return 0;
    memcpy(cols[lostData[0]].buffer, x, cols[lostData[0]].size);
    if (lostData.size() == 2) memcpy(cols[lostData[1]].buffer, gf_.Out2(), cols[lostData[1]].size);
  }
  if (traceRaid) TracePrintfA("Exiting RAIDZRead.\n");
  return 1;
}
