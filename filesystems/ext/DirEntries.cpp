#include "filesystems/ext/DirEntries.h"

#include <algorithm>

#include "filesystems/ext/BlockBitmap.h"
#include "filesystems/ext/Definitions.h"
#include "filesystems/ext/ExtVolume.h"
#include "filesystems/ext/Inode.h"
#include "filesystems/ext/UnixNode.h"
#include "filesystems/ext/UnixVolume.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "volumes/FolderWalk.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"

using namespace ext;

namespace {

uint32_t RecordBytes(uint32_t nameLength) { return (kDeHeaderBytes + nameLength + 3) & ~3u; }

bool IsDot(const ExtDirEntry& e) {
  return (e.nameLength == 1 && e.name[0] == '.') || (e.nameLength == 2 && e.name[0] == '.' && e.name[1] == '.');
}

// A deleted record left in the space after a live one: its own length fits
// that space, it names an inode of the volume and a plausible name.
bool ReadHiddenEntry(const uint8_t* block, size_t end, size_t at, uint32_t inodeCount, ExtDirEntry* out) {
  if (at + kDeHeaderBytes > end) return false;
  ExtDirEntry e;
  e.inode = Le32(block + at + kDeInode);
  e.recordLength = Le16(block + at + kDeRecLen);
  e.nameLength = block[at + kDeNameLen];
  e.fileType = block[at + kDeFileType];
  e.name = block + at + kDeName;
  if (!e.inode || e.inode > inodeCount || !e.nameLength) return false;
  if (e.fileType < 1 || e.fileType > 7) return false;
  if (at + kDeHeaderBytes + e.nameLength > end || e.recordLength < kDeHeaderBytes + e.nameLength) return false;
  for (uint32_t i = 0; i < e.nameLength; ++i)
    if (e.name[i] == 0 || e.name[i] == '/') return false;
  *out = e;
  return true;
}

// The inode's kind agrees with the record's file type.
bool TypeAgrees(const ExtInode& n, uint8_t fileType) {
  switch (fileType) {
    case 1:
      return n.IsRegular();
    case kDeTypeDirectory:
      return n.IsDirectory();
    case kDeTypeSymlink:
      return n.IsSymlink();
    default:
      return false;
  }
}

// The index root after ".." (at 12, covering the block): a zero word, then
// the info length 8 at byte 29.
bool IsHashRoot(const uint8_t* block, size_t bytes, size_t at, const ExtDirEntry& e) {
  return at == 12 && e.nameLength == 2 && e.recordLength == bytes - 12 && bytes >= 32 && Le32(block + 24) == 0 &&
         block[29] == 8;
}

}  // namespace

bool ReadExtDirEntry(const uint8_t* block, size_t bytes, size_t at, ExtDirEntry* out) {
  if (at + kDeHeaderBytes > bytes) return false;
  out->inode = Le32(block + at + kDeInode);
  out->recordLength = Le16(block + at + kDeRecLen);
  out->nameLength = block[at + kDeNameLen];
  out->fileType = block[at + kDeFileType];
  out->name = block + at + kDeName;
  return out->recordLength <= bytes - at && out->recordLength >= kDeHeaderBytes + out->nameLength;
}

namespace {

// Builds the node of one entry and hands it to the walk; 1 when the inode
// was looked up.
int AddEntry(CUnixVol* v, const cnode* folder, const ExtDirEntry& e, bool hidden) {
  const uint8_t* raw = v->GetInode(e.inode, nullptr, v->entryCache);
  if (!raw) return 0;
  const ExtInode n = ParseExtInode(raw);
  if (!IsExtInode(raw, v->InodeContext(), false)) return 1;
  // A hidden record counts only when its inode is deleted too and still of
  // its kind: a reused inode belongs to another file now.
  if (hidden && (!n.IsDeleted() || !TypeAgrees(n, e.fileType))) return 1;
  auto* node = static_cast<UnixNode*>(CreateExtNode());
  if (!node) return 1;
  if (!FromExtInode(node, n, v)) {
    cnode* c = node;
    DeleteNode(&c);
    return 1;
  }
  if (node->extents) v->sawExtents = true;
  // A folder's data is whole blocks, unless the inode holds it.
  if (node->IsDirectory() && !node->inlineData && node->size % v->clusterSize) {
    cnode* c = node;
    DeleteNode(&c);
    return 1;
  }
  if (hidden || (folder->flags & kNodeDeleted)) {
    node->flags |= kNodeDeleted;
    // Whether its blocks are still free, so the list shows how it stands.
    if (auto* e = dynamic_cast<CExt3Vol*>(v); e && !node->IsDirectory())
      node->flags = uint16_t((node->flags & ~kNodeGradeMask) | GradeBits(ExtDeletedGrade(*e, *node)));
  }
  node->id = e.inode;
  node->parentId = folder->id;
  if (v->engine) node->name = v->engine->Nodes().InternName(ConvertNameToWide(e.name, e.nameLength));
  if (traceUnixFsA)
    TracePrintfA("inode %ld parent %ld name %s\n", int32_t(e.inode), int32_t(folder->id),
                 std::string(reinterpret_cast<const char*>(e.name), e.nameLength));
  AddDirEntryNode(v, node);
  return 1;
}

// Records hidden in the space from `from` to `end` of a block.
int AddHiddenEntries(CUnixVol* v, const cnode* folder, const uint8_t* block, size_t from, size_t end) {
  int made = 0;
  for (size_t at = from; at + kDeHeaderBytes + 1 <= end;) {
    ExtDirEntry e;
    if (!ReadHiddenEntry(block, end, at, v->inodeCount, &e) || IsDot(e)) {
      at += 4;
      continue;
    }
    made += AddEntry(v, folder, e, true);
    at += RecordBytes(e.nameLength);
  }
  return made;
}

// The records of one block (or of one part of a folder's inline data, which
// holds no "." and ".." records).
int ParseBlock(CUnixVol* v, const cnode* folder, const uint8_t* block, size_t blockBytes, bool dots) {
  ExtDirEntry e;
  // A hashed folder's index block poses as one empty record.
  if (ReadExtDirEntry(block, blockBytes, 0, &e) && !e.inode && e.recordLength == blockBytes && !e.nameLength) return 0;
  int made = 0;
  for (size_t at = 0; at + kDeHeaderBytes <= blockBytes;) {
    if (!ReadExtDirEntry(block, blockBytes, at, &e) || e.recordLength == 0) break;
    if (e.inode > v->inodeCount) break;
    // The folder's own "." and ".." open its first block; a record of
    // that name anywhere else is a crafted name, listed like any other.
    const bool dot = dots && e.nameLength && IsDot(e) && (at == 0 || at == 12) && e.fileType == kDeTypeDirectory;
    if (e.inode && e.nameLength && !dot) made += AddEntry(v, folder, e, false);
    // The ".." record of a hashed folder's first block covers its index.
    if (!(dot && IsHashRoot(block, blockBytes, at, e))) {
      const size_t used = RecordBytes(e.nameLength);
      if (used < e.recordLength) made += AddHiddenEntries(v, folder, block, at + used, at + e.recordLength);
    }
    at += e.recordLength;
  }
  return made;
}

}  // namespace

int ParseUnixEntries(CUnixVol* v, const cnode* folder, const uint8_t* data, size_t bytes) {
  if (!v || !folder || !data || !v->clusterSize) return 0;
  // Inline data: the parent's inode number, records to the block area's
  // end, then the records of the attribute's part.
  if (folder->Family() == kNodeExt && static_cast<const UnixNode*>(folder)->inlineData) {
    if (bytes <= kInlineParentBytes) return 0;
    const size_t first = std::min<size_t>(bytes, kInodeBlockAreaBytes);
    int made = ParseBlock(v, folder, data + kInlineParentBytes, first - kInlineParentBytes, false);
    if (bytes > first && !v->StopRequested()) made += ParseBlock(v, folder, data + first, bytes - first, false);
    return made;
  }
  const size_t bs = v->clusterSize;
  int made = 0;
  for (size_t blockAt = 0; blockAt < bytes && !v->StopRequested(); blockAt += bs)
    made += ParseBlock(v, folder, data + blockAt, bytes - blockAt < bs ? bytes - blockAt : bs, true);
  return made;
}

int ParseExtEntries(CVol& volume, const cnode& folder, const uint8_t* data, size_t bytes) {
  auto* v = dynamic_cast<CUnixVol*>(&volume);
  return v ? ParseUnixEntries(v, &folder, data, bytes) : 0;
}
