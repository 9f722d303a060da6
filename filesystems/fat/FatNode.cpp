#include "filesystems/fat/FatNode.h"

#include <new>

#include "foundation/TimeUtil.h"
#include "platform/Format.h"
#include "filesystems/fat/FatHelpers.h"

namespace {

bool NodeTime(const FATInode& n, int which, FATSystemTime* t) {
  switch (which) {
    case 0:
      return FATDateTimeToSystemTime(t, n.writeDate, n.writeTime, 0);
    case 1:
      return FATDateTimeToSystemTime(t, n.creationDate, n.creationTime, n.creationTenMs);
    default:
      return FATDateTimeToSystemTime(t, n.accessDate, 0, 0);
  }
}

}  // namespace

uint64_t FATInode::GetFileTime(int which) const {
  FATSystemTime t;
  if (!NodeTime(*this, which, &t)) return 0;
  return CivilTimeToFileTime(t.year, t.month, t.day, t.hour, t.minute, t.second, t.milliseconds);
}

WString FATInode::GetTimeText(int which) const {
  FATSystemTime t;
  if (!NodeTime(*this, which, &t) || GetFileTime(which) == 0) return u"0000/00/00 00:00:00";
  return FormatW(u"%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

void FAT::CopyNode(FATInode* to, const FATInode* from) {
  to->creationTenMs = from->creationTenMs;
  to->creationTime = from->creationTime;
  to->creationDate = from->creationDate;
  to->accessDate = from->accessDate;
  to->writeTime = from->writeTime;
  to->writeDate = from->writeDate;
  to->nameChecksum = from->nameChecksum;
}

cnode* CreateFATNode() { return new (std::nothrow) FATInode(); }

void DestroyFATNode(cnode* node) { delete static_cast<FATInode*>(node); }

bool CopyFATNodeFields(cnode* to, const cnode* from) {
  if (!to || !from || to->Family() != kNodeFat || from->Family() != kNodeFat) return false;
  FAT::CopyNode(static_cast<FATInode*>(to), static_cast<const FATInode*>(from));
  return true;
}

bool GetFATNodeFileTime(const cnode* node, uint64_t* out, int which) {
  if (!node || node->Family() != kNodeFat) return false;
  *out = static_cast<const FATInode*>(node)->GetFileTime(which);
  return true;
}

WString GetFATNodeTimeText(const cnode* node, int which) {
  if (!node || node->Family() != kNodeFat) return WString();
  return static_cast<const FATInode*>(node)->GetTimeText(which);
}

void nodeStack::Delete() {
  nodeStack* e = next;
  next = nullptr;
  while (e) {
    nodeStack* following = e->next;
    e->next = nullptr;
    delete e;
    e = following;
  }
}
