#include "filesystems/xfs/Walk.h"

#include "filesystems/xfs/Definitions.h"
#include "filesystems/xfs/Folder.h"
#include "filesystems/xfs/XfsNode.h"
#include "filesystems/xfs/XfsVolume.h"
#include "foundation/AppState.h"
#include "foundation/Trace.h"
#include "volumes/FolderWalk.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"

using namespace xfs;

namespace {

class WalkVisitor : public XfsDirVisitor {
 public:
  WalkVisitor(CXFSVol& v, const XfsNode& folder) : v_(v), folder_(folder) {}
  bool ValidInode(uint64_t n) const override { return v_.IsValidInode(n); }
  void Entry(const XfsDirEntry& e) override {
    // A block's own "." and ".." open the folder's first block; the same
    // names anywhere else are crafted names, listed like any other.
    if (blockHeader_) {
      const bool dot = e.nameLength == 1 && e.name[0] == '.';
      const bool dotdot = e.nameLength == 2 && e.name[0] == '.' && e.name[1] == '.';
      if (dot && e.offset == blockHeader_ && e.inode == folder_.Inode()) {
        sawDot_ = true;
        return;
      }
      if (dotdot && sawDot_ && e.offset == blockHeader_ + XfsDirEntryBytes(1, v_.ftype)) return;
    }
    if (v_.StopRequested()) return;
    XfsNode* node = v_.NodeFromInode(e.inode, v_.ReadInode(e.inode));
    if (!node) return;
    node->SetParent(folder_.Inode());
    if (folder_.flags & kNodeDeleted) node->flags |= kNodeDeleted;
    if (v_.engine) node->name = v_.engine->Nodes().InternName(ConvertNameToWide(e.name, e.nameLength));
    made_++;
    AddDirEntryNode(&v_, node);
  }
  void StartBlock(size_t header) {
    blockHeader_ = header;
    sawDot_ = false;
  }
  int made_ = 0;

 private:
  CXFSVol& v_;
  const XfsNode& folder_;
  size_t blockHeader_ = 0;
  bool sawDot_ = false;
};

}  // namespace

int ParseXfsEntries(CVol& volume, const cnode& folder, const uint8_t* data, size_t bytes) {
  auto* v = dynamic_cast<CXFSVol*>(&volume);
  const XfsNode* f = AsXfsNode(&folder);
  if (!v || !f || !data) return 0;
  WalkVisitor visitor(*v, *f);
  if (v->MappedLocal()) {
    const XfsShortformResult r =
        ParseXfsShortform(data, bytes, v->ftype, v->Options().xfsSpecialShortformDirs != 0, &visitor);
    if (!r.ok) ErrorMsg(u"Invalid XFS data fork");
    return visitor.made_;
  }
  const size_t bs = v->dirBlockBytes;
  for (size_t at = 0; at + bs <= bytes && !v->StopRequested(); at += bs) {
    const size_t header = XfsDirBlockHeader(data + at);
    if (!header) continue;
    visitor.StartBlock(header);
    ParseXfsDirBlock(data + at, bs, v->ftype, visitor);
  }
  return visitor.made_;
}
