#include "filesystems/xfs/LongScan.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "filesystems/xfs/Definitions.h"
#include "filesystems/xfs/Folder.h"
#include "filesystems/xfs/Inode.h"
#include "filesystems/xfs/XfsNode.h"
#include "filesystems/xfs/XfsVolume.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/FileFilter.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Format.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "volumes/FileTypes.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"
#include "volumes/VolumeSearch.h"

namespace xfs {

namespace {

constexpr uint32_t kPieceBytes = 0x100000;
constexpr int kMaxPathLevels = 128;
constexpr size_t kMaxPathChars = 1023;
// Folder entries' file types (ftype).
constexpr uint8_t kFtypeRegular = 1, kFtypeDirectory = 2;

// A name whose extension carving knows, or one that ends in a dot and 2 to
// 4 characters, names a file.
bool NameLooksLikeFile(const WString& name, bool loose) {
  if (ExtensionToType(name) <= 30) return true;
  if (!loose) return false;
  const size_t dot = name.rfind(u'.');
  return dot != WString::npos && dot > 0 && name.size() - dot - 1 >= 2 && name.size() - dot - 1 <= 4;
}

}  // namespace

void XfsRecords::Add(uint64_t inode, uint64_t parent, const WString* name, uint16_t type) {
  if (!type && name && NameLooksLikeFile(*name, false)) type = kModeRegular;
  auto found = records_.find(Key(inode, type));
  if (found == records_.end() && !type) {
    found = records_.find(Key(inode, kModeDirectory));
    if (found == records_.end()) found = records_.find(Key(inode, kModeRegular));
  }
  if (found != records_.end()) {
    Record& r = found->second;
    if (parent && r.parent && parent != r.parent) {
      // Two folders name it: the second is kept apart, once.
      ambiguous_.emplace(found->first, Record{parent, name ? *name : WString()});
    } else if (!r.parent) {
      r.parent = parent;
    }
    if (r.name.empty() && name) r.name = *name;
    return;
  }
  if (!type && name && NameLooksLikeFile(*name, true)) type = kModeRegular;
  Record made{parent, name ? *name : WString()};
  // A typed entry takes over what an untyped one of the inode said.
  if (type) {
    auto untyped = records_.find(Key(inode, 0));
    if (untyped != records_.end()) {
      if (made.name.empty()) made.name = untyped->second.name;
      if (!made.parent) made.parent = untyped->second.parent;
      records_.erase(untyped);
    }
  }
  records_.emplace(Key(inode, type), std::move(made));
}

const XfsRecords::Record* XfsRecords::Find(uint64_t inode, uint16_t type) const {
  auto it = records_.find(Key(inode, type));
  return it == records_.end() ? nullptr : &it->second;
}

const XfsRecords::Record* XfsRecords::FindAmbiguous(uint64_t inode, uint16_t type) const {
  auto it = ambiguous_.find(Key(inode, type));
  return it == ambiguous_.end() ? nullptr : &it->second;
}

bool XfsRecords::FolderPath(uint64_t inode, uint64_t root, WString* path) const {
  std::vector<WString> parts;
  std::unordered_set<uint64_t> seen;
  bool ok = false;
  size_t length = 0;
  for (int level = 0;; ++level) {
    if (inode == root) {
      ok = true;
      break;
    }
    if (level >= kMaxPathLevels || !seen.insert(inode).second) {
      if (level < kMaxPathLevels) TracePrintfA("Loop in path n %ld nIdx %ld\n", int32_t(inode), int32_t(level));
      TracePrintfA("Max levels reached\n");
      break;
    }
    const Record* r = inode ? Find(inode, kModeDirectory) : nullptr;
    if (!r && inode) r = FindAmbiguous(inode, kModeDirectory);
    if (!r && inode) r = Find(inode, 0);
    if (r && r->name.empty()) {
      // A record without a name: another may have one.
      const Record* other = FindAmbiguous(inode, kModeDirectory);
      if (other && !other->name.empty()) r = other;
    }
    WString part = r && !r->name.empty() ? r->name : Msg(39) + FormatW(u"%I64d", int64_t(inode));
    length += part.size() + 1;
    if (length > kMaxPathChars) {
      TracePrintfA("name too long\n");
      break;
    }
    parts.push_back(std::move(part));
    if (!r) break;
    inode = r->parent;
  }
  WString out(1, u'\\');
  if (!ok) out += Msg(15) + u"\\";
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) out += *it + u"\\";
  *path = std::move(out);
  return ok;
}

namespace {

// One Long Scan of one volume.
class Sweep : public XfsDirVisitor {
 public:
  Sweep(CXFSVol& v, ScanSink& engine) : v_(v), engine_(engine), options_(v.Options()) {}

  void Run() {
    TRACE_FN("CXFSVol::Scan");
    Drive* d = v_.drive;
    if (!d) return;
    v_.usedMapBlocks = &mapBlocks_;
    SweepVolume(*d);
    v_.usedMapBlocks = nullptr;
    for (uint64_t b : mapBlocks_) covered_.insert(b);
    TraceOrphanMaps();
    ReadSavedFolders();
    Place();
  }

  // ---- XfsDirVisitor: entries of a saved folder block ----
  bool ValidInode(uint64_t n) const override { return v_.IsValidInode(n); }
  void Entry(const XfsDirEntry& e) override {
    const bool dot = e.nameLength == 1 && e.name[0] == '.';
    const bool dotdot = e.nameLength == 2 && e.name[0] == '.' && e.name[1] == '.';
    if (blockHeader_ && dot && e.offset == blockHeader_) {
      current_ = e.inode;
      return;
    }
    if (blockHeader_ && dotdot && e.offset == blockHeader_ + XfsDirEntryBytes(1, v_.ftype)) {
      if (current_) records_.Add(current_, e.inode, nullptr, kModeDirectory);
      return;
    }
    if (!current_) return;
    const WString name = ConvertNameToWide(e.name, e.nameLength);
    const uint16_t type = e.fileType == kFtypeDirectory ? kModeDirectory
                          : e.fileType == kFtypeRegular ? kModeRegular
                                                        : 0;
    records_.Add(e.inode, current_, &name, type);
  }

 private:
  struct Saved {
    uint64_t block;  // volume block of a folder block
    uint64_t inode;  // its folder (0: not known)
    uint64_t logical;
  };

  bool Stopped() const { return v_.StopRequested(); }

  void SweepVolume(Drive& d) {
    const uint32_t ss = v_.sectorSize;
    const uint32_t pieceSectors = std::max<uint32_t>(1, kPieceBytes / ss);
    uint8_t* buffer = ThreadScratchBuffer(5, kPieceBytes);
    if (!buffer) ShowErrorAndThrow();
    const uint64_t total = v_.sizeSectors;
    // What lies on the drive of a volume longer than its image.
    const uint64_t onDrive =
        d.SectorCount() > v_.startSector ? std::min<uint64_t>(total, d.SectorCount() - v_.startSector) : 0;
    const uint64_t step = std::max<uint64_t>(1, total / 98);
    uint64_t nextStep = step;
    int percent = 0;
    const uint32_t cs = v_.clusterSize;
    const uint32_t sectorsPerBlock = cs / ss;
    for (uint64_t at = 0; at < onDrive && !Stopped(); at += pieceSectors) {
      v_.ContinueAfterPause();
      const uint32_t n = uint32_t(std::min<uint64_t>(pieceSectors, onDrive - at));
      if (!ReadSectorsWaited(d, int64_t(v_.startSector + at), n * ss, buffer)) {
        // An unreadable piece reads as zeros; the sweep goes on.
        TracePrintfA("XFS Read error %d\n", 0);
        std::memset(buffer, 0, size_t(n) * ss);
        unreadable_++;
        continue;
      }
      while (at + n >= nextStep && percent < 99) {
        engine_.SetPercentComplete(++percent, 1);
        nextStep += step;
      }
      const size_t bytes = size_t(n) * ss;
      for (size_t off = 0; off + ss <= bytes;) {
        const uint64_t sector = at + off / ss;
        const uint8_t* s = buffer + off;
        const uint64_t block = sector / sectorsPerBlock;
        const bool boundary = sector % sectorsPerBlock == 0;
        if (covered_.count(block)) {
          off += ss;
          continue;
        }
        if (CountXFSInodes(s, ss, v_.inodeSize)) {
          const uint32_t per = std::max<uint32_t>(1, ss / v_.inodeSize);
          for (uint32_t k = 0; k < per; ++k) {
            const size_t inodeAt = off + size_t(k) * v_.inodeSize;
            const uint64_t n64 = v_.SectorToInode(sector) + k;
            const uint8_t* raw = inodeAt + v_.inodeSize <= bytes ? buffer + inodeAt : v_.ReadInode(n64);
            ParseInode(n64, raw);
          }
          off += std::max<size_t>(ss, v_.inodeSize);
          continue;
        }
        if (XfsDirBlockHeader(s)) {
          if (options_.xfsCheckBlockBoundary && !boundary) {
            TracePrintfA("Skip XFS X2D%c at %I64d\n", char(s[3]), int64_t(sector));
          } else if (boundary) {
            saved_.push_back(Saved{block, 0, UINT64_MAX});
            off += v_.dirBlockBytes;
            continue;
          }
        } else if (GetBigEndian(s, 4) == kBmapMagic || GetBigEndian(s, 4) == kBmap3Magic) {
          if (boundary) maps_.push_back(block);
        }
        off += ss;
      }
    }
    if (unreadable_) TracePrintfA("XFS: %u unreadable pieces read as zeros\n", unreadable_);
  }

  void ParseInode(uint64_t n, const uint8_t* raw) {
    if (!raw) return;
    if (!n) {
      ErrorMsg(u"Invalid XFS inode number");
      return;
    }
    if (!v_.IsValidInode(n)) return;
    const XfsInodeCore core = ParseXfsInode(raw, v_.inodeSize);
    if (!core.Valid() || !core.Type()) return;
    // A version 3 inode names itself: one that names another is not this
    // volume's at this place.
    if (core.version == 3 && core.number != n) return;
    if (core.IsRegular() && options_.inodeRange) {
      const auto& r = *options_.inodeRange;
      if (int64_t(n) < r.first || (r.second >= 0 && int64_t(n) > r.second)) return;
    }
    if (core.IsSymlink()) return;
    if (!core.IsRegular() && !core.IsDirectory()) return;
    XfsForkResult fork = v_.InodeRuns(raw, core);
    if (!fork.ok) return;
    uint64_t parent = 0;
    if (core.IsRegular()) {
      XfsNode* node = v_.NodeFromInode(n, raw);
      if (!node) return;
      int64_t index = -1;
      if (engine_.AddNewNode(node, false, &index)) {
        engine_.AddFoundCount(1);
        files_.push_back(index);
      }
    } else if (fork.local) {
      const XfsShortformResult sf = ParseXfsShortform(raw + fork.forkStart, fork.forkBytes, v_.ftype,
                                                      options_.xfsSpecialShortformDirs != 0, nullptr);
      if (sf.ok && v_.IsValidInode(sf.parent)) {
        parent = sf.parent;
        ShortformEntries(n, raw + fork.forkStart, fork.forkBytes);
      }
    } else {
      // The folder's data blocks (below its leaves) are read after the
      // sweep, with the folder as their owner.
      const uint64_t blocks = core.size / v_.clusterSize + (core.size % v_.clusterSize ? 1 : 0);
      for (const ExtentRun& r : fork.runs) {
        for (uint64_t k = 0; k < r.Length() && r.vcn + k < blocks; ++k) {
          const uint64_t logical = r.vcn + k;
          if (logical % (v_.dirBlockBytes / v_.clusterSize)) continue;
          saved_.push_back(Saved{r.lcn + k, n, logical});
          covered_.insert(r.lcn + k);
        }
      }
    }
    if (n != v_.rootInode && parent && parent != n)
      records_.Add(n, parent, nullptr, core.IsDirectory() ? kModeDirectory : kModeRegular);
  }

  // A shortform folder's entries, recorded with the folder as their parent.
  void ShortformEntries(uint64_t folder, const uint8_t* fork, size_t bytes) {
    struct Visitor : XfsDirVisitor {
      Sweep* s;
      uint64_t folder;
      bool ValidInode(uint64_t n) const override { return s->v_.IsValidInode(n); }
      void Entry(const XfsDirEntry& e) override {
        const WString name = ConvertNameToWide(e.name, e.nameLength);
        const uint16_t type = e.fileType == kFtypeDirectory ? kModeDirectory
                              : e.fileType == kFtypeRegular ? kModeRegular
                                                            : 0;
        s->records_.Add(e.inode, folder, &name, type);
      }
    } visitor;
    visitor.s = this;
    visitor.folder = folder;
    ParseXfsShortform(fork, bytes, v_.ftype, options_.xfsSpecialShortformDirs != 0, &visitor);
  }

  void TraceOrphanMaps() {
    bool first = true;
    for (uint64_t b : maps_) {
      if (covered_.count(b)) continue;
      if (first) TracePrintfA("Orphan BMAPs\n");
      first = false;
      TracePrintfA("Orphan BMAP @ %I64d\n", int64_t(v_.startSector + b * (v_.clusterSize / v_.sectorSize)));
    }
  }

  // The folder blocks saved: each read once more and parsed with its
  // folder; a folder whose first block does not open with its "." and ".."
  // is not taken.
  void ReadSavedFolders() {
    std::sort(saved_.begin(), saved_.end(), [](const Saved& a, const Saved& b) { return a.block < b.block; });
    const uint32_t bs = v_.dirBlockBytes, per = bs / v_.clusterSize;
    std::vector<uint8_t> block(bs);
    std::unordered_set<uint64_t> rejected;
    for (const Saved& s : saved_) {
      if (s.logical != 0 || !s.inode) continue;
      if (!ReadBlock(s.block, per, block.data()) || !OpensWithDots(block.data(), s.inode)) rejected.insert(s.inode);
    }
    for (const Saved& s : saved_) {
      if (Stopped()) break;
      if (s.inode && rejected.count(s.inode)) continue;
      // A block the sweep met that a folder's inode claims is read with it.
      if (!s.inode && covered_.count(s.block)) continue;
      if (!ReadBlock(s.block, per, block.data())) continue;
      const size_t header = XfsDirBlockHeader(block.data());
      if (!header) continue;
      blockHeader_ = header;
      current_ = s.inode;
      ParseXfsDirBlock(block.data(), bs, v_.ftype, *this);
    }
    blockHeader_ = 0;
  }

  bool ReadBlock(uint64_t block, uint32_t blocks, uint8_t* out) {
    uint32_t got = 0;
    return v_.ReadClusters(out, int64_t(block), blocks, v_.clusterSize, size_t(blocks) * v_.clusterSize, &got) &&
           got == blocks;
  }

  // "." (the folder itself) and ".." open the block.
  bool OpensWithDots(const uint8_t* b, uint64_t inode) const {
    const size_t header = XfsDirBlockHeader(b);
    if (!header) return false;
    const size_t second = header + XfsDirEntryBytes(1, v_.ftype);
    if (second + XfsDirEntryBytes(2, v_.ftype) > v_.dirBlockBytes) return false;
    const uint8_t* d1 = b + header;
    const uint8_t* d2 = b + second;
    return GetBigEndian64(d1, 8) == inode && d1[kDeNameLength] == 1 && d1[kDeName] == '.' && d2[kDeNameLength] == 2 &&
           d2[kDeName] == '.' && d2[kDeName + 1] == '.';
  }

  // Every file found gets its path (XFSDisplayRemainingFiles).
  void Place() {
    CNdArray& nodes = engine_.Nodes();
    const WString prefix(v_.driveLetter);
    for (int64_t index : files_) {
      if (Stopped()) break;
      XfsNode* node = AsXfsNode(nodes.GetAt(index));
      if (!node || (node->flags & kNodeHandedOver)) continue;
      node->flags |= kNodeHandedOver;
      engine_.AddFoundCount(-1);
      const uint64_t n = node->Inode();
      const XfsRecords::Record* r = records_.Find(n, kModeRegular);
      if (!r) r = records_.Find(n, 0);
      if (!r) {
        r = records_.FindAmbiguous(n, kModeRegular);
        if (r) TracePrintfA("Found ambiguous entry\n");
      }
      if (!node->ParentInode() && r) node->SetParent(r->parent);
      WString path;
      if (!records_.FolderPath(node->ParentInode(), v_.rootInode, &path)) {
        const XfsRecords::Record* other = records_.FindAmbiguous(n, kModeRegular);
        if (!other) other = records_.FindAmbiguous(n, 0);
        WString second;
        if (other && other->parent != node->ParentInode() &&
            records_.FolderPath(other->parent, v_.rootInode, &second)) {
          node->SetParent(other->parent);
          path = std::move(second);
        }
      }
      WString name = node->GetNameW();
      if (name.empty()) {
        if (r && !r->name.empty() && r->name.size() < 1024) {
          name = r->name;
        } else if (node->size) {
          name = Msg(80) + FormatW(u"%I64d", int64_t(n));
          const WString ext = v_.SniffNodeType(node);
          if (!ext.empty()) name += u"." + ext;
        } else {
          continue;
        }
        node->name = nodes.InternName(name);
        node->typeIndex = ExtensionToType(name);
      }
      if (options_.fileFilter && !options_.fileFilter->ContainsW(name)) continue;
      if (engine_.PathFilterMatch((path + name).c_str()) != 0) continue;
      if (engine_.StoreFileItem(prefix, path, index) == 2) break;
    }
  }

  CXFSVol& v_;
  ScanSink& engine_;
  const AppState& options_;
  XfsRecords records_;
  std::vector<Saved> saved_;
  std::vector<uint64_t> maps_, mapBlocks_;
  std::unordered_set<uint64_t> covered_;
  std::vector<int64_t> files_;
  uint64_t current_ = 0;
  size_t blockHeader_ = 0;
  uint32_t unreadable_ = 0;
};

}  // namespace

int XfsLongScan(CXFSVol& volume, ScanSink& engine) {
  if (!volume.refusal.empty()) {
    if (!volume.refusalTold && volume.Options().view) volume.Options().view->LogLine(volume.refusal);
    volume.refusalTold = true;
    return 1;
  }
  volume.engine = &engine;
  Sweep sweep(volume, engine);
  sweep.Run();
  volume.FreeBuf();
  return 1;
}

int XfsOwnVolumePass(CVol& volume, ScanSink& engine) {
  auto* v = dynamic_cast<CXFSVol*>(&volume);
  if (!v || !volume.Options().xfsLongScan) return 0;
  return XfsLongScan(*v, engine);
}

}  // namespace xfs
