#include "storage/RaidMemberRebuild.h"

#include <algorithm>
#include <cstring>

#include "foundation/Trace.h"
#include "storage/RDrive.h"
#include "storage/RaidMap.h"
#include "storage/RaidParity.h"
#include "storage/VolumeDefinition.h"

bool RaidMemberRebuild::Init(RDrive& set, int which) {
  set_ = &set;
  pieces_.clear();
  const int type = set.RaidType();
  const std::vector<int>& missing = set.MissingMembers();
  if ((type != kRaid5 && type != kRaid6) || which < 0 || size_t(which) >= missing.size() || set.SectorSize() == 0) {
    ErrorMsg(u"The set has no missing RAID 5 or RAID 6 member to rebuild.");
    return false;
  }
  member_ = missing[size_t(which)];
  const RaidSettings& s = set.Settings();
  shift_ = set.Shift();
  const uint32_t n = set.MemberCount();
  // The layout as if every member were there: where each member's data
  // stripes belong and which stripes of a row are parity.
  RaidMapParams p;
  p.sectors = set.SectorCount();
  p.members = n;
  p.stripe = uint32_t(s.stripeBytes) >> shift_;
  p.group = uint32_t(s.parityGroup);
  p.rotation = s.rotation;
  p.missing.assign(n, false);
  p.coefficientMode = s.coefficientMode;
  p.order = s.order;
  std::vector<RaidRange> ranges;
  const bool built = type == kRaid5 ? RaidMap::BuildRaid5(p, &ranges) : RaidMap::BuildRaid6(p, &ranges);
  if (!built || ranges.size() != 1 || p.stripe == 0) {
    ErrorMsg(u"The set's layout does not allow a member to be rebuilt.");
    return false;
  }
  const RaidRange& r = ranges[0];
  groupSectors_ = r.physicalGroupSectors[size_t(member_)];
  logicalGroup_ = r.logicalGroupSectors;
  sectors_ = set.MemberSectors();
  if (groupSectors_ == 0 || logicalGroup_ == 0) {
    ErrorMsg(u"The set's layout does not allow a member to be rebuilt.");
    return false;
  }
  // Per row (a stripe of member offsets): its data stripes by member.
  const uint32_t rows = groupSectors_ / p.stripe;
  std::vector<std::vector<std::pair<int, uint32_t>>> data(rows);
  for (const RaidExtent& e : r.extents) {
    if (e.items.size() != 1) continue;
    const RaidItem& it = e.items[0];
    const uint32_t row = it.offset / p.stripe;
    if (row < rows) data[row].push_back({it.member, e.lso});
  }
  for (uint32_t row = 0; row < rows; ++row) {
    Piece piece;
    piece.offset = row * p.stripe;
    piece.length = p.stripe;
    std::vector<bool> holdsData(n, false);
    for (const auto& [m, lso] : data[row]) {
      holdsData[size_t(m)] = true;
      if (m == member_) piece.lso = lso;
    }
    if (holdsData[size_t(member_)]) {
      pieces_.push_back(std::move(piece));
      continue;
    }
    // Parity: RAID 6 keeps P on the member just before Q.
    int q = -1;
    if (type == kRaid6) {
      std::vector<int> parity;
      for (uint32_t m = 0; m < n; ++m)
        if (!holdsData[m]) parity.push_back(int(m));
      if (parity.size() != 2) {
        ErrorMsg(u"The set's layout does not allow a member to be rebuilt.");
        return false;
      }
      q = (parity[0] + 1) % int(n) == parity[1] ? parity[1] : parity[0];
    }
    piece.role = member_ == q ? 2 : 1;
    GfRotation coefficients(s.coefficientMode, s.order, int(n));
    if (q >= 0) coefficients.SetQ(q);
    for (const auto& [m, lso] : data[row]) {
      const int c = piece.role == 2 ? coefficients.Coefficient(m) : 1;
      if (c < 0 || c > 255) {
        ErrorMsg(u"The set's layout does not allow a member to be rebuilt.");
        return false;
      }
      piece.sources.push_back({lso, uint8_t(c)});
    }
    pieces_.push_back(std::move(piece));
  }
  maxRead_ = std::min<uint32_t>(set.TransferSize(), 0x100000) >> shift_ << shift_;
  if (maxRead_ == 0) maxRead_ = 1u << shift_;
  return true;
}

bool RaidMemberRebuild::ReadLogical(uint64_t logical, uint32_t bytes, uint8_t* out) {
  for (uint32_t done = 0; done < bytes;) {
    const uint32_t n = std::min(bytes - done, maxRead_);
    if (!set_->ReadSectors(int64_t(logical + (done >> shift_)), n, Drive::kRetryPiece, out + done, true)) return false;
    done += n;
  }
  return true;
}

bool RaidMemberRebuild::Read(uint64_t sector, uint32_t bytes, uint8_t* out) {
  if (!set_ || pieces_.empty()) return false;
  const GfTables& gf = theGfTables();
  uint32_t done = 0;
  while (done < bytes) {
    const uint64_t x = sector + (done >> shift_);
    const uint64_t group = x / groupSectors_;
    const uint32_t offset = uint32_t(x % groupSectors_);
    auto it = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                               [](uint32_t o, const Piece& p) { return o < p.offset; });
    const Piece& piece = *(it - 1);
    const uint32_t into = offset - piece.offset;
    const uint32_t take = uint32_t(std::min<uint64_t>(uint64_t(piece.length - into) << shift_, bytes - done));
    const uint64_t base = group * logicalGroup_ + into;
    uint8_t* dst = out + done;
    if (piece.role == 0) {
      if (!ReadLogical(base + piece.lso, take, dst)) return false;
    } else {
      std::memset(dst, 0, take);
      scratch_.resize(take);
      for (const Source& s : piece.sources) {
        if (!ReadLogical(base + s.lso, take, scratch_.data())) return false;
        if (piece.role == 1) {
          XorInto(dst, scratch_.data(), take);
        } else {
          const uint8_t* mul = gf.mul[s.coefficient];
          for (uint32_t i = 0; i < take; ++i) dst[i] ^= mul[scratch_[i]];
        }
      }
    }
    done += take;
  }
  return true;
}
