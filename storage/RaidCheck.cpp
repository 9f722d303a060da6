// The parts of RDrive that serve a lost member and the check of a set's
// layout against its members' parity.
#include <algorithm>
#include <cstring>

#include "foundation/Trace.h"
#include "platform/Format.h"
#include "storage/RDrive.h"
#include "storage/RaidMemberRebuild.h"
#include "storage/VolumeDefinition.h"

RDrive::MissingState::MissingState() = default;
RDrive::MissingState::~MissingState() = default;

int RDrive::NextMemberIndex(int i) const {
  if (i < 0) return -1;
  for (size_t m = 0; m < members_.size(); ++m)
    if (members_[m] && i-- == 0) return int(m);
  return -1;
}

uint8_t* RDrive::ReadMissing(uint64_t sector, uint32_t bytes, int kind, int which) {
  if ((kind == 1 && raidType_ != kRaid5) || (kind == 2 && raidType_ != kRaid6) || (kind != 1 && kind != 2) ||
      which < 0 || which > 1) {
    ErrorMsg(u"The set has no missing member of that kind to rebuild.");
    return nullptr;
  }
  if (bytes == 0 || (bytes & ((1u << shift_) - 1)) != 0) {
    ErrorMsg(u"A rebuilt member is read in whole sectors.");
    return nullptr;
  }
  MissingState& st = missingState_[which];
  if (!st.rebuild) {
    auto r = std::make_unique<RaidMemberRebuild>();
    if (!r->Init(*this, which)) return nullptr;
    st.rebuild = std::move(r);
  }
  st.buffer.resize(bytes);
  uint8_t* out = st.buffer.data();
  // Past the members' end the member holds nothing that was read.
  const uint64_t sectors = st.rebuild->Sectors();
  const uint64_t have = sector >= sectors ? 0 : std::min<uint64_t>(sectors - sector, bytes >> shift_);
  const uint32_t read = uint32_t(have << shift_);
  if (read && !st.rebuild->Read(sector, read, out)) return nullptr;
  std::memset(out + read, 0, bytes - read);
  return out;
}

bool RDrive::SampleParity(ParitySample* out, int offsets) {
  *out = ParitySample{};
  if ((raidType_ != kRaid5 && raidType_ != kRaid6) || !missing_.empty() || ranges_.size() != 1 || offsets <= 0 ||
      !settings_.schemaPath.empty())
    return false;
  const int parity = raidType_ == kRaid5 ? 1 : 2;
  const uint32_t n = uint32_t(members_.size());
  RaidMapParams p;
  p.sectors = sectorCount_;
  p.members = n;
  p.stripe = stripeSectors_;
  p.group = uint32_t(settings_.parityGroup);
  p.rotation = settings_.rotation;
  p.coefficientMode = settings_.coefficientMode;
  p.order = settings_.order;
  std::vector<RaidRowRoles> rows;
  if (!RaidMap::RowRoles(p, parity, &rows) || rows.empty() || stripeSectors_ == 0) return false;
  const uint32_t sectorBytes = 1u << shift_;
  const uint32_t bytes = std::min<uint32_t>(std::max<uint32_t>(4096, sectorBytes), stripeSectors_ << shift_);
  const uint32_t span = bytes >> shift_;
  if (memberSectors_ < span) return false;
  std::vector<std::vector<uint8_t>> data(n, std::vector<uint8_t>(bytes));
  std::vector<uint8_t> pv(bytes), qv(bytes);
  const GfTables& gf = theGfTables();
  const uint64_t groupSectors = uint64_t(rows.size()) * stripeSectors_;
  const uint64_t last = memberSectors_ - span;
  for (int k = 0; k < offsets; ++k) {
    // Spread over the members, each sample inside one stripe.
    uint64_t at = offsets == 1 ? 0 : last * uint64_t(k) / uint64_t(offsets - 1);
    at -= at % span;
    if ((at % stripeSectors_) + span > stripeSectors_) at -= (at % stripeSectors_) + span - stripeSectors_;
    bool any = false;
    for (uint32_t m = 0; m < n; ++m) {
      const uint64_t s = at + uint64_t(memberStart_[m]);
      if (!members_[m]->ReadSectors(int64_t(s), bytes, kRetryPiece, data[m].data(), true)) return false;
      if (!any) any = std::any_of(data[m].begin(), data[m].end(), [](uint8_t b) { return b != 0; });
    }
    if (!any) continue;
    ++out->sampled;
    const RaidRowRoles& row = rows[size_t((at % groupSectors) / stripeSectors_)];
    std::fill(pv.begin(), pv.end(), 0);
    std::fill(qv.begin(), qv.end(), 0);
    for (size_t d = 0; d < row.data.size(); ++d) {
      const std::vector<uint8_t>& src = data[size_t(row.data[d])];
      XorInto(pv.data(), src.data(), bytes);
      if (parity == 2) {
        const uint8_t* mul = gf.mul[uint8_t(row.coefficient[d])];
        for (uint32_t i = 0; i < bytes; ++i) qv[i] ^= mul[src[i]];
      }
    }
    bool good = pv == data[size_t(row.p)];
    if (good && parity == 2) good = qv == data[size_t(row.q)];
    if (!good) ++out->mismatched;
  }
  return true;
}

void RDrive::CheckLayout() {
  ParitySample s;
  if (!SampleParity(&s)) return;
  // A set that is mostly empty leaves few rows to judge by: a denser sample
  // finds more of those that hold data.
  if (s.sampled < kFewSampledRows && !SampleParity(&s, kDenseSampleOffsets)) return;
  if (traceRaid) TracePrintfA("RAID parity sample: %d of %d rows do not match\n", s.mismatched, s.sampled);
  // A small set has few rows that hold anything: half of them failing is enough.
  if (s.mismatched > kParityTolerance || (s.mismatched > 0 && 2 * s.mismatched >= s.sampled))
    notes.push_back(
        FormatW(u"Parity does not match in %d of %d sampled rows: the members, their order, the stripe "
                u"size or the rotation may be wrong.",
                s.mismatched, s.sampled));
}
