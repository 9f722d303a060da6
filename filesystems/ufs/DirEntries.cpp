#include "filesystems/ufs/DirEntries.h"

#include <algorithm>

#include "filesystems/ext/UnixNode.h"
#include "filesystems/ufs/Definitions.h"
#include "filesystems/ufs/Inode.h"
#include "filesystems/ufs/UfsNode.h"
#include "filesystems/ufs/UfsVolume.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "volumes/FolderWalk.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"

using namespace ufs;

bool ReadUfsDirEntry(const uint8_t* chunk, size_t bytes, size_t at, uint8_t nameLengthAt, uint8_t typeAt,
                     UfsDirEntry* e) {
  if (at + kDeHeaderBytes > bytes) return false;
  e->inode = Le32(chunk + at + kDeInode);
  e->recordLength = Le16(chunk + at + kDeRecLen);
  e->nameLength = chunk[at + nameLengthAt];
  e->type = chunk[at + typeAt];
  e->name = chunk + at + kDeName;
  return e->recordLength && e->recordLength % 4 == 0 && e->recordLength <= bytes - at &&
         e->recordLength >= kDeHeaderBytes + e->nameLength;
}

namespace {

bool IsDot(const UfsDirEntry& e) {
  return (e.nameLength == 1 && e.name[0] == '.') || (e.nameLength == 2 && e.name[0] == '.' && e.name[1] == '.');
}

// The node of one entry, handed to the walk; 1 when its inode was looked up.
int AddEntry(CUFS1Vol* v, const cnode* folder, const UfsDirEntry& e) {
  const uint8_t* raw = v->GetInode(e.inode, nullptr, v->entryCache);
  if (!raw) return 0;
  if (!IsUFSInode(raw, UfsContextOf(*v, v->Ufs2()), false)) return 1;
  const UfsInode n = ParseUfsInode(raw, v->Ufs2());
  auto* node = static_cast<UnixNode*>(CreateUfsNode());
  if (!node) return 1;
  cnode* holder = node;
  if (!FromUFSInode(node, n, v)) {
    DeleteNode(&holder);
    return 1;
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

}  // namespace

int ParseUfsEntries(CVol& volume, const cnode& folder, const uint8_t* data, size_t bytes) {
  auto* v = dynamic_cast<CUFS1Vol*>(&volume);
  if (!v || v->bigEndian || !data) return 0;
  const UnixEntryLayout& l = v->entryLayout;
  int made = 0;
  for (size_t chunk = 0; chunk < bytes && !v->StopRequested(); chunk += kDirChunk) {
    const size_t n = std::min<size_t>(kDirChunk, bytes - chunk);
    const uint8_t* c = data + chunk;
    UfsDirEntry e;
    for (size_t at = 0; ReadUfsDirEntry(c, n, at, l.nameLengthAt, l.typeAt, &e); at += e.recordLength) {
      if (e.inode >= uint64_t(v->inodeCount)) break;
      // A chunk's "." and ".." are the folder's own; those names anywhere
      // else are a crafted name, listed like any other.
      const bool dot = IsDot(e) && (at == 0 || at == 12) && e.type == l.directory;
      if (e.inode && e.nameLength && !dot) made += AddEntry(v, &folder, e);
    }
  }
  return made;
}
