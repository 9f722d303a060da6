#include "filesystems/zfs/Dnode.h"

#include "filesystems/zfs/BlockPointer.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"

using namespace zfs;

uint32_t ZfsDnode::BonusOffset() const {
  return uint32_t(kDnBlkPtrs + (blkPtrCount == 2 || blkPtrCount == 3 ? blkPtrCount : 1) * kBlkPtrBytes);
}

uint64_t ZfsDnode::ReachableBlocks() const {
  if (indBlkShift < kDnMinIndBlkShift || indBlkShift > kDnMaxIndBlkShift || levels < 1 || levels > kDnMaxLevels)
    return 0;
  const unsigned bits = unsigned(indBlkShift - kBlkPtrShift) * unsigned(levels - 1);
  if (bits >= 56) return UINT64_MAX;
  return uint64_t(blkPtrCount) << bits;
}

ZfsDnode ParseZfsDnode(const uint8_t* p) {
  ZfsDnode d;
  d.type = p[kDnType];
  d.indBlkShift = p[kDnIndBlkShift];
  d.levels = p[kDnLevels];
  d.blkPtrCount = p[kDnBlkPtrCount];
  d.bonusType = p[kDnBonusType];
  d.checksum = p[kDnChecksum];
  d.compress = p[kDnCompress];
  d.flags = p[kDnFlags];
  d.dataBlockBytes = uint32_t(Le16(p + kDnDataBlkSectors)) * kSectorUnit;
  d.bonusLength = Le16(p + kDnBonusLength);
  d.maxBlkId = Le64(p + kDnMaxBlkId);
  d.used = Le64(p + kDnUsed);
  return d;
}

bool ZFSIsValidDnode(const uint8_t* p, bool allowHole) {
  if (!p) return false;
  const ZfsDnode d = ParseZfsDnode(p);
  if (d.type >= kOtTypes || d.indBlkShift < kDnMinIndBlkShift || d.indBlkShift > kDnMaxIndBlkShift) return false;
  if (d.levels < 1 || d.levels > kDnMaxLevels || d.blkPtrCount < 1 || d.blkPtrCount > kDnMaxBlkPtrs) return false;
  if (d.bonusType >= kOtTypes || d.checksum >= kDnChecksumLimit || d.compress >= kDnCompressLimit) return false;
  if (d.dataBlockBytes == 0 || d.dataBlockBytes > kMaxBlockBytes) return false;
  if (d.bonusLength > kDnMaxBonusLength || d.BonusOffset() + d.bonusLength > kDnodeBytes) return false;
  const ZfsBlockPointer first = ParseZfsBlockPointer(p + kDnBlkPtrs);
  if (first.dva[0].asize != 0) return true;
  return allowHole && IsZeroBlockPointer(p + kDnBlkPtrs);
}

ZfsFileAttributes ReadZfsFileAttributes(const uint8_t* p, bool systemAttributes) {
  ZfsFileAttributes a;
  const ZfsDnode d = ParseZfsDnode(p);
  const uint32_t bonus = d.BonusOffset();
  const uint32_t end = bonus + d.bonusLength;
  if (end > kDnodeBytes) return a;
  // A field the bonus does not hold whole stays 0.
  auto field = [&](size_t at) -> uint64_t { return bonus + at + 8 <= end ? Le64(p + bonus + at) : 0; };
  a.known = true;
  if (systemAttributes) {
    a.size = field(kSaSize);
    a.parent = field(kSaParent);
    a.mtime = field(kSaMtime);
    a.ctime = field(kSaCtime);
  } else {
    a.size = field(kZnSize);
    a.parent = field(kZnParent);
    a.mtime = field(kZnMtime);
    a.ctime = field(kZnCtime);
    a.mode = field(kZnMode);
  }
  return a;
}

const char* DmuTypeName(uint8_t type) {
  static const char* const kNames[kOtTypes] = {"DMU_OT_NONE",
                                               "DMU_OT_OBJECT_DIRECTORY",
                                               "DMU_OT_OBJECT_ARRAY",
                                               "DMU_OT_PACKED_NVLIST",
                                               "DMU_OT_PACKED_NVLIST_SIZE",
                                               "DMU_OT_BPOBJ",
                                               "DMU_OT_BPOBJ_HDR",
                                               "DMU_OT_SPACE_MAP_HEADER",
                                               "DMU_OT_SPACE_MAP",
                                               "DMU_OT_INTENT_LOG",
                                               "DMU_OT_DNODE",
                                               "DMU_OT_OBJSET",
                                               "DMU_OT_DSL_DIR",
                                               "DMU_OT_DSL_DIR_CHILD_MAP",
                                               "DMU_OT_DSL_DS_SNAP_MAP",
                                               "DMU_OT_DSL_PROPS",
                                               "DMU_OT_DSL_DATASET",
                                               "DMU_OT_ZNODE",
                                               "DMU_OT_OLDACL",
                                               "DMU_OT_PLAIN_FILE_CONTENTS",
                                               "DMU_OT_DIRECTORY_CONTENTS",
                                               "DMU_OT_MASTER_NODE",
                                               "DMU_OT_UNLINKED_SET",
                                               "DMU_OT_ZVOL",
                                               "DMU_OT_ZVOL_PROP",
                                               "DMU_OT_PLAIN_OTHER",
                                               "DMU_OT_UINT64_OTHER",
                                               "DMU_OT_ZAP_OTHER",
                                               "DMU_OT_ERROR_LOG",
                                               "DMU_OT_SPA_HISTORY",
                                               "DMU_OT_SPA_HISTORY_OFFSETS",
                                               "DMU_OT_POOL_PROPS",
                                               "DMU_OT_DSL_PERMS",
                                               "DMU_OT_ACL",
                                               "DMU_OT_SYSACL",
                                               "DMU_OT_FUID",
                                               "DMU_OT_FUID_SIZE",
                                               "DMU_OT_NEXT_CLONES",
                                               "DMU_OT_SCAN_QUEUE",
                                               "DMU_OT_USERGROUP_USED",
                                               "DMU_OT_USERGROUP_QUOTA",
                                               "DMU_OT_USERREFS",
                                               "DMU_OT_DDT_ZAP",
                                               "DMU_OT_DDT_STATS",
                                               "DMU_OT_SA",
                                               "DMU_OT_SA_MASTER_NODE",
                                               "DMU_OT_SA_ATTR_REGISTRATION",
                                               "DMU_OT_SA_ATTR_LAYOUTS",
                                               "DMU_OT_SCAN_XLATE",
                                               "DMU_OT_DEDUP",
                                               "DMU_OT_DEADLIST",
                                               "DMU_OT_DEADLIST_HDR",
                                               "DMU_OT_DSL_CLONES",
                                               "DMU_OT_BPOBJ_SUBOBJ"};
  return type < kOtTypes ? kNames[type] : "Invalid";
}

void ZFSDumpDnode(const uint8_t* p, const char* title) {
  const ZfsDnode d = ParseZfsDnode(p);
  TracePrintfA("%s\ndn_type=%s, dn_indblkshift=%d, dn_levels=%d, dn_maxblkid=%d\n", title ? title : "",
               DmuTypeName(d.type), int(d.indBlkShift), int(d.levels), int32_t(d.maxBlkId));
  ZFSDumpBlkPtrs(p + kDnBlkPtrs, d.blkPtrCount <= kDnMaxBlkPtrs ? d.blkPtrCount : 1);
}
