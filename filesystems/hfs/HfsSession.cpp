#include "filesystems/hfs/HfsSession.h"

#include <algorithm>
#include <cstdint>

#include "filesystems/hfs/HfsNode.h"
#include "foundation/Trace.h"
#include "volumes/RunList.h"
#include "volumes/VolumeFamily.h"

namespace {

// The dates are written as the file format's signed 32-bit numbers; both
// readings are taken back.
uint32_t DateFrom(int64_t v, SessionTailReader& in) {
  if (v < INT32_MIN || v > int64_t(UINT32_MAX)) in.Fail();
  return uint32_t(v);
}

}  // namespace

void HfsWriteNodeTail(const cnode& node, SessionTailWriter& out) {
  const auto& n = static_cast<const HfsNode&>(node);
  out.Number(int32_t(n.createDate));
  out.Number(int32_t(n.modifyDate));
  out.Number(int32_t(n.accessDate));
  out.EndLine();
  const uint8_t* runs = n.RunBuffer();
  out.Runs(runs ? runs + kRunListHeaderBytes : nullptr, RunListBytes(runs));
}

void HfsReadNodeTail(cnode& node, SessionTailReader& in) {
  auto& n = static_cast<HfsNode&>(node);
  const int64_t create = in.Number(), modify = in.Number(), access = in.Number();
  n.createDate = DateFrom(create, in);
  n.modifyDate = DateFrom(modify, in);
  n.accessDate = DateFrom(access, in);
  in.SkipLine();
  const std::vector<uint8_t> pairs = in.Runs();
  if (!pairs.empty()) {
    n.runs = NewRunList(pairs.data(), pairs.size());
    if (!n.runs) ShowErrorAndThrow();
    const int64_t blocks = GetClusterCount(n.runs);
    if (blocks < 0) in.Fail();
    n.blocks = uint32_t(std::min<int64_t>(blocks, UINT32_MAX));
  }
}
