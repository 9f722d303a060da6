#include "filesystems/exfat/ExFatNode.h"

#include <new>

#include "filesystems/exfat/Definitions.h"
#include "foundation/TimeUtil.h"
#include "platform/Format.h"

bool DecodeExFatTime(uint32_t stamp, uint8_t tenMs, ExFatTime* out) {
  const uint32_t date = stamp >> 16, time = stamp & 0xFFFF;
  ExFatTime t;
  t.year = 1980 + int(date >> 9);
  t.month = int((date >> 5) & 0x0F);
  t.day = int(date & 0x1F);
  t.hour = int(time >> 11);
  t.minute = int((time >> 5) & 0x3F);
  t.second = int(time & 0x1F) * 2;
  if (tenMs >= exfat::kTenMsLimit) return false;
  t.second += tenMs / 100;
  t.milliseconds = (tenMs % 100) * 10;
  static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > kDays[t.month - 1]) return false;
  if (t.hour > 23 || t.minute > 59 || t.second > 59) return false;
  if (t.month == 2 && t.day == 29 && !((t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0)) return false;
  if (out) *out = t;
  return true;
}

namespace {

bool Stamp(const ExFatNode& n, int which, uint32_t* stamp, uint8_t* tenMs) {
  switch (which) {
    case 0: *stamp = n.modifyTime, *tenMs = n.tenMs[1]; return true;
    case 1: *stamp = n.createTime, *tenMs = n.tenMs[0]; return true;
    case 2: *stamp = n.accessTime, *tenMs = n.tenMs[2]; return true;
    default: return false;
  }
}

}  // namespace

bool ExFatNode::NoFatChain() const { return (generalFlags & exfat::kFlagNoFatChain) != 0; }

uint64_t ExFatNode::GetTime(int which) const {
  uint32_t stamp = 0;
  uint8_t tenMs = 0;
  ExFatTime t;
  if (!Stamp(*this, which, &stamp, &tenMs) || !DecodeExFatTime(stamp, tenMs, &t)) return 0;
  return CivilTimeToFileTime(t.year, t.month, t.day, t.hour, t.minute, t.second, t.milliseconds);
}

WString ExFatNode::GetTimeText(int which) const {
  uint32_t stamp = 0;
  uint8_t tenMs = 0;
  ExFatTime t;
  if (!Stamp(*this, which, &stamp, &tenMs) || !DecodeExFatTime(stamp, tenMs, &t) || GetTime(which) == 0)
    return u"0000/00/00 00:00:00";
  return FormatW(u"%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

cnode* CreateExFatNode() { return new (std::nothrow) ExFatNode(); }

void DestroyExFatNode(cnode* node) { delete static_cast<ExFatNode*>(node); }

bool CopyExFatNodeFields(cnode* to, const cnode* from) {
  if (!to || !from || to->Family() != kNodeExFat || from->Family() != kNodeExFat) return false;
  auto* t = static_cast<ExFatNode*>(to);
  const auto* f = static_cast<const ExFatNode*>(from);
  t->createTime = f->createTime;
  t->modifyTime = f->modifyTime;
  t->accessTime = f->accessTime;
  t->attributes = f->attributes;
  for (int i = 0; i < 3; ++i) {
    t->tenMs[i] = f->tenMs[i];
    t->utcOffset[i] = f->utcOffset[i];
  }
  t->generalFlags = f->generalFlags;
  return true;
}

bool GetExFatNodeFileTime(const cnode* node, uint64_t* out, int which) {
  if (!node || node->Family() != kNodeExFat) return false;
  *out = static_cast<const ExFatNode*>(node)->GetTime(which);
  return true;
}

WString GetExFatNodeTimeText(const cnode* node, int which) {
  if (!node || node->Family() != kNodeExFat) return WString();
  return static_cast<const ExFatNode*>(node)->GetTimeText(which);
}
