#include "storage/SDrive.h"

#include <algorithm>
#include <cstring>

#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Format.h"
#include "platform/Memory.h"
#include "storage/RDrive.h"
#include "storage/VolumeDefinition.h"

namespace {

constexpr uint32_t kMiB = 0x100000;
void NoFree(void*) {}

}  // namespace

SDrive::SDrive() : buffer_(nullptr, NoFree) {}

SDrive::~SDrive() {
  members_.clear();
  if (g_currentDrive == this) g_currentDrive = nullptr;
}

void SDrive::Refuse(WStringView definition, size_t position, const WString& why) {
  ErrorMsg(
      FormatW(u"The spanned set %s cannot be read: %s (at character %u).", definition, why, uint32_t(position + 1)));
  members_.clear();
  extents_.clear();
  throw DvCodeError{0};
}

void SDrive::InitDrive(WStringView definition) {
  TRACE_FN("SDrive::Init");
  members_.clear();
  extents_.clear();
  cacheValid_ = false;
  consecutiveErrors_ = totalErrors_ = errorsAtCache_ = 0;
  retryPiece_ = kRetryPiece;
  sectorCount_ = 0;
  name_ = WString(definition);
  isImage_ = isVolume_ = false;
  diskNumber_ = -1;
  extentFirst_ = 0;
  zfsLabelSeen = 0;
  currentExtent_ = 0;
  if (!definition.starts_with(u"SPAN(")) Refuse(definition, 0, u"it does not begin with \"SPAN(\"");
  bool closed = false;
  size_t end = 0;
  const std::vector<WStringView> texts = SplitDefinitionMembers(definition, 5, &closed, &end);
  if (texts.empty()) Refuse(definition, 5, u"it lists no member");
  if (texts.size() > kMaxSpanMembers)
    Refuse(definition, size_t(texts[kMaxSpanMembers].data() - definition.data()),
           FormatW(u"a spanned set has at most %u members", uint32_t(kMaxSpanMembers)));
  if (!closed) Refuse(definition, end, u"its closing \")\" is missing");
  if (end != definition.size()) Refuse(definition, end, u"text follows its closing \")\"");
  for (size_t i = 0; i < texts.size(); ++i) {
    const size_t at = size_t(texts[i].data() - definition.data());
    MemberText m;
    if (!ParseMemberText(texts[i], &m))
      Refuse(
          definition, at,
          FormatW(u"member %u (\"%s\") is not a path with an optional range <first:last>", uint32_t(i + 1), texts[i]));
    if (m.device == u"Missing") Refuse(definition, at, FormatW(u"member %u is \"Missing\"", uint32_t(i + 1)));
    if (m.hasRange && m.first > m.last)
      Refuse(definition, at, FormatW(u"the range of member %u ends before it begins", uint32_t(i + 1)));
    std::unique_ptr<Drive> d;
    if (m.nested) {
      RaidSettings s;
      FindRaidSettings(m.device, &s);
      d = std::make_unique<RDrive>(&s);
    } else {
      d = std::make_unique<Drive>();
    }
    d->replayMember[0] = uint8_t(i);
    d->replayMember[1] = replayMember[0];
    try {
      // A plain member applies its range itself; a nested set is opened
      // whole and its range applied here. A member without a range spans
      // all of it.
      d->InitDrive(m.nested || !m.hasRange ? m.device : texts[i]);
    } catch (const DvCodeError&) {
      members_.clear();
      extents_.clear();
      throw;
    }
    if (i == 0) {
      sectorSize_ = d->SectorSize();
      shift_ = d->Shift();
      sectorsPer4G_ = d->SectorsPer4G();
    } else if (d->SectorSize() != sectorSize_) {
      // Extents are counted in the first member's sectors.
      const uint32_t other = d->SectorSize();
      members_.push_back(std::move(d));
      Refuse(definition, at,
             FormatW(u"member %u has sectors of %u bytes, the first member %u", uint32_t(i + 1), other, sectorSize_));
    }
    SpanExtent e;
    e.member = int(i);
    e.logicalStart = sectorCount_;
    const uint64_t sectors = d->SectorCount();
    uint64_t length = m.hasRange ? uint64_t(m.last - m.first) + 1 : sectors;
    if (length == 0) {
      members_.push_back(std::move(d));
      Refuse(definition, at, FormatW(u"member %u is empty", uint32_t(i + 1)));
    }
    if (m.nested) {
      if (m.hasRange && uint64_t(m.last) >= sectors) {
        members_.push_back(std::move(d));
        Refuse(definition, at,
               FormatW(u"the range of member %u passes its end (it has %I64d sectors)", uint32_t(i + 1),
                       int64_t(sectors)));
      }
      e.memberFirst = m.hasRange ? uint64_t(m.first) : 0;
    } else {
      e.memberFirst = 0;  // the member drive is its range
      if (length > sectors) {
        members_.push_back(std::move(d));
        Refuse(definition, at, FormatW(u"the range of member %u passes its end", uint32_t(i + 1)));
      }
    }
    if (__builtin_add_overflow(sectorCount_, length, &sectorCount_))
      Refuse(definition, at, u"the members add up to more sectors than a drive has");
    e.logicalEnd = sectorCount_;
    extents_.push_back(e);
    members_.push_back(std::move(d));
  }
  transferSize_ = kMiB;
  void* p = AlignedAlloc(kMiB + sectorSize_);
  if (!p) {
    members_.clear();
    ShowErrorAndThrow();
  }
  buffer_ = std::unique_ptr<uint8_t, void (*)(void*)>(static_cast<uint8_t*>(p), AlignedFree);
  bufferBytes_ = kMiB + sectorSize_;
}

void SDrive::CloseDevice() {
  for (auto& m : members_) m->CloseDevice();
  cacheValid_ = false;
}

void SDrive::HookExclusiveRanges(const CDrvAttr& attributes) {
  for (auto& m : members_) m->HookExclusiveRanges(attributes);
  cacheValid_ = false;
}

bool SDrive::IsSafeVolume(WStringView destinationPath) {
  for (auto& m : members_)
    if (!m->IsSafeVolume(destinationPath)) return false;
  return true;
}

bool SDrive::IsSafeDrive(int diskNumber) {
  for (auto& m : members_)
    if (!m->IsSafeDrive(diskNumber)) return false;
  return true;
}

std::vector<WString> SDrive::ListMemberTexts() const {
  std::vector<WString> texts;
  for (const auto& m : members_) {
    if (auto* r = dynamic_cast<RDrive*>(m.get())) {
      for (WString& t : r->ListMemberTexts()) texts.push_back(std::move(t));
      continue;
    }
    std::vector<WString> names;
    m->ListMembers(&names);
    for (WString& t : names) texts.push_back(std::move(t));
  }
  return texts;
}

uint8_t* SDrive::ReadSectors(int64_t sector, uint32_t bytes, uint32_t retryPiece, void* buffer, bool) {
  if (!buffer_) {
    VErrorMsg(Msg(181).c_str(), name_);
    return nullptr;
  }
  uint8_t* const dest = buffer ? static_cast<uint8_t*>(buffer) : buffer_.get();
  if (sector < 0) {
    VErrorMsg(Msg(362).c_str(), sector);
    return nullptr;
  }
  const uint64_t s = uint64_t(sector);
  if (s >= sectorCount_) {
    VErrorMsg(Msg(228).c_str(), sector);
    currentExtent_ = 0;
    return nullptr;
  }
  if (bytes > transferSize_) {
    ErrorMsg(Msg(138));
    return nullptr;
  }
  if (bytes == 0) return dest;
  if (traceRaid) TracePrintfA("Sread %ld bytes @ %I64d\n", int32_t(bytes), sector);
  const uint64_t sectors = (uint64_t(bytes) + sectorSize_ - 1) >> shift_;
  if (CacheHolds(s, bytes)) {
    uint8_t* data = buffer_.get() + ((s - cacheFirst_) << shift_);
    if (!buffer) return data;
    memcpy(buffer, data, bytes);
    return static_cast<uint8_t*>(buffer);
  }
  cacheValid_ = false;
  const uint64_t inside = std::min<uint64_t>(sectors, sectorCount_ - s);
  const uint32_t insideBytes = uint32_t(std::min<uint64_t>(bytes, inside << shift_));
  if (currentExtent_ >= extents_.size() || extents_[currentExtent_].logicalStart > s) currentExtent_ = 0;
  while (currentExtent_ < extents_.size() && s >= extents_[currentExtent_].logicalEnd) ++currentExtent_;
  if (currentExtent_ >= extents_.size()) {
    VErrorMsg(Msg(228).c_str(), sector);
    currentExtent_ = 0;
    return nullptr;
  }
  const uint32_t errorsBefore = totalErrors_;
  uint64_t at = s;
  uint32_t done = 0;
  while (done < insideBytes) {
    const SpanExtent& e = extents_[currentExtent_];
    Drive* m = members_[size_t(e.member)].get();
    const uint64_t left = (e.logicalEnd - at) << shift_;
    const uint64_t most = std::max<uint64_t>(m->TransferSize() >> shift_ << shift_, sectorSize_);
    const uint32_t piece = uint32_t(std::min<uint64_t>({insideBytes - done, left, most}));
    const uint32_t before = m->TotalErrors();
    const uint8_t* r = m->ReadSectors(int64_t(e.memberFirst + (at - e.logicalStart)), piece,
                                      retryPiece ? retryPiece : kRetryPiece, dest + done, true);
    if (!r) return nullptr;
    if (m->TotalErrors() != before) ++totalErrors_;
    done += piece;
    at += (uint64_t(piece) + sectorSize_ - 1) >> shift_;
    if (done < insideBytes && at >= e.logicalEnd && ++currentExtent_ >= extents_.size()) {
      VErrorMsg(Msg(228).c_str(), int64_t(at));
      currentExtent_ = 0;
      return nullptr;
    }
  }
  if (insideBytes < bytes) memset(dest + insideBytes, 0, bytes - insideBytes);
  if (traceIo && sectorTraceMode.load() == 9999)
    WriteTraceSectors(sector, bytes, sectorSize_, dest, "dsk", replayMember[0], replayMember[1]);
  if (!buffer) {
    if (totalErrors_ == errorsBefore) {
      cacheValid_ = true;
      cacheFirst_ = s;
      cacheSectors_ = uint32_t(inside);
      errorsAtCache_ = totalErrors_;
    }
    return buffer_.get();
  }
  return static_cast<uint8_t*>(buffer);
}
