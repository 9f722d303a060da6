#include "filesystems/refs/RefsSession.h"

#include "filesystems/refs/Definitions.h"
#include "filesystems/refs/RefsNode.h"
#include "filesystems/refs/RefsVolume.h"

using namespace refs;

// The ReFS cluster size and the object table's root; the page count
// follows from the volume's size.
void RefsWriteVolumeTail(const CVol& volume, SessionTail& tail) {
  const auto* v = dynamic_cast<const CReFSVol*>(&volume);
  if (!v) return;  // written as zeros, refused on load
  tail.numbers = {v->refsClusterSize, int64_t(v->rootPage)};
}

bool RefsReadVolumeTail(CVol& volume, const SessionTail& tail) {
  auto* v = dynamic_cast<CReFSVol*>(&volume);
  if (!v || tail.numbers.size() != 2 || v->clusterSize != kPageBytes) return false;
  if (tail.numbers[0] < 0 || tail.numbers[0] > int64_t(UINT32_MAX) || !v->SetClusterSize(uint32_t(tail.numbers[0])))
    return false;
  const unsigned __int128 bytes = (unsigned __int128)v->sizeSectors * v->sectorSize;
  v->pageCount = uint64_t(bytes / kPageBytes);
  if (tail.numbers[1] < 0 || uint64_t(tail.numbers[1]) >= v->pageCount) return false;
  v->rootPage = uint64_t(tail.numbers[1]);
  return true;
}

// A file's extent page, its two times and its extent root; folders keep
// nothing more.
void RefsWriteNodeTail(const cnode& node, SessionTailWriter& out) {
  if (node.IsDirectory()) return;
  const auto& n = static_cast<const RefsNode&>(node);
  out.Number(int64_t(n.extentPage));
  out.Number(int64_t(n.time1));
  out.Number(int64_t(n.time2));
  out.Number(n.rootOffset);
  out.EndLine();
}

void RefsReadNodeTail(cnode& node, SessionTailReader& in) {
  if (node.IsDirectory()) return;
  auto& n = static_cast<RefsNode&>(node);
  n.extentPage = uint64_t(in.Number());
  n.time1 = uint64_t(in.Number());
  n.time2 = uint64_t(in.Number());
  const int64_t root = in.Number();
  if (root < 0 || root >= int64_t(kPageBytes)) in.Fail();
  n.rootOffset = uint32_t(root);
  in.SkipLine();
}
