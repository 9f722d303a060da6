// The members of a set read side by side, each as it lies on its disk: the
// RAID scan classifies every member's sectors where they are, so it wants
// the members' own bytes rather than the set's logical ones.
#include <algorithm>
#include <cstring>

#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Format.h"
#include "platform/Memory.h"
#include "storage/RDrive.h"
#include "storage/RaidParity.h"
#include "storage/VolumeDefinition.h"

struct RDrive::SideBySide {
  struct Member {
    std::vector<uint8_t> data;
    uint8_t* started = nullptr;  // the read in flight, null when none or done
    uint32_t bytes = 0;          // asked for, whole sectors
    uint32_t errorsBefore = 0;
    bool done = false;
  };
  std::vector<Member> members;
  std::vector<uint8_t> runningXor;
  uint64_t sector = 0;
  uint32_t width = 0;  // every buffer's size
  int next = 0;        // the member TGetNext returns next
  int last = -1;
  bool failed = false;
  bool readError = false;
};

void RDrive::SideBySideFree::operator()(SideBySide* p) const { delete p; }

uint64_t RDrive::MemberLength(size_t i) const {
  if (i >= members_.size() || !members_[i]) return 0;
  const uint64_t count = members_[i]->SectorCount();
  const uint64_t start = uint64_t(memberStart_[i]);
  return count > start ? count - start : 0;
}

int RDrive::TMember() const { return side_ ? side_->last : -1; }
bool RDrive::TFailed() const { return side_ && side_->failed; }
bool RDrive::TReadError() const { return side_ && side_->readError; }

const uint8_t* RDrive::TRead(uint64_t sector, const std::vector<uint32_t>& bytes) {
  if (!side_) side_.reset(new SideBySide);
  SideBySide& st = *side_;
  const size_t n = members_.size();
  // Reads the caller left unawaited end before new ones start.
  for (size_t i = 0; i < st.members.size() && i < n; ++i)
    if (st.members[i].started == kReadStarted && members_[i]) members_[i]->FinishRead();
  st.members.resize(n);
  st.sector = sector;
  st.next = 0;
  st.last = -1;
  st.failed = st.readError = false;
  const uint32_t mask = sectorSize_ - 1;
  uint32_t widest = 0;
  for (size_t i = 0; i < n; ++i) {
    SideBySide::Member& m = st.members[i];
    const uint64_t asked = i < bytes.size() ? (uint64_t(bytes[i]) + mask) & ~uint64_t(mask) : 0;
    widest = uint32_t(std::max<uint64_t>(widest, asked));
    // A present member is read only up to its end.
    const uint64_t length = MemberLength(i);
    const uint64_t room = sector >= length ? 0 : (length - sector) << shift_;
    m.bytes = members_[i] ? uint32_t(std::min(asked, room)) : uint32_t(asked);
    m.started = nullptr;
    m.done = false;
  }
  st.width = widest;
  for (size_t i = 0; i < n; ++i) {
    SideBySide::Member& m = st.members[i];
    if (m.data.size() < widest) m.data.resize(widest);
    if (!members_[i] || m.bytes == 0) continue;
    m.errorsBefore = members_[i]->TotalErrors();
    if (!EnsureMemberTransfer(i, m.bytes)) {
      ErrorMsg(Msg(138));
      st.failed = st.readError = true;
      m.bytes = 0;
      continue;
    }
    const uint64_t at = sector + uint64_t(memberStart_[i]);
    m.started = members_[i]->ReadSectors(int64_t(at), m.bytes, kRetryPiece, m.data.data(), false);
    if (!m.started) {
      st.failed = st.readError = true;
      m.bytes = 0;
    }
  }
  if (st.runningXor.size() < widest) st.runningXor.resize(widest);
  return TGetNext(nullptr);
}

const uint8_t* RDrive::TGetNext(uint32_t* differing) {
  if (!side_) return nullptr;
  SideBySide& st = *side_;
  const size_t n = st.members.size();
  if (st.next < 0 || size_t(st.next) >= n) return nullptr;
  const size_t i = size_t(st.next++);
  st.last = int(i);
  auto finish = [&](size_t k) {
    SideBySide::Member& m = st.members[k];
    if (m.done) return;
    m.done = true;
    if (m.started) {
      const uint8_t* got = m.started == kReadStarted ? members_[k]->FinishRead() : m.started;
      m.started = nullptr;
      if (!got) {
        st.failed = st.readError = true;
        m.bytes = 0;
      } else if (got != m.data.data()) {
        memcpy(m.data.data(), got, m.bytes);
      }
      if (members_[k] && members_[k]->TotalErrors() != m.errorsBefore) st.failed = st.readError = true;
    }
    memset(m.data.data() + m.bytes, 0, st.width - m.bytes);
  };
  SideBySide::Member& m = st.members[i];
  if (members_[i]) {
    finish(i);
  } else {
    // The lost member's turn: every other member is needed first.
    for (size_t k = 0; k < n; ++k)
      if (members_[k]) finish(k);
    m.done = true;
    const uint32_t want = m.bytes;
    std::fill(m.data.begin(), m.data.begin() + st.width, 0);
    if (IsRaidz()) {
      // A RAID-Z member's columns follow its blocks, not rows: no rebuild.
      st.failed = true;
    } else if (raidType_ == kRaid6 && want) {
      const int which = int(std::find(missing_.begin(), missing_.end(), int(i)) - missing_.begin());
      const uint8_t* rebuilt = which <= 1 ? ReadMissing(st.sector, want, 2, which) : nullptr;
      if (rebuilt) memcpy(m.data.data(), rebuilt, want);
      else st.failed = true;
    } else if (want && !st.readError) {
      bool first = true;
      for (size_t k = 0; k < n; ++k) {
        if (!members_[k]) continue;
        if (first) memcpy(m.data.data(), st.members[k].data.data(), want);
        else XorInto(m.data.data(), st.members[k].data.data(), want);
        first = false;
      }
    }
  }
  if (raidType_ == kRaid5 && st.width) {
    if (i == 0) {
      memcpy(st.runningXor.data(), m.data.data(), st.width);
    } else {
      if (differing) {
        for (uint32_t at = 0; at < st.width; at += sectorSize_)
          if (memcmp(st.runningXor.data() + at, m.data.data() + at, sectorSize_) != 0) ++*differing;
      }
      XorInto(st.runningXor.data(), m.data.data(), st.width);
    }
  }
  return m.data.data();
}
