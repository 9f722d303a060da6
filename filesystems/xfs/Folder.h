// XFS folders: the entries of a data block ("XD2B"/"XD2D", V5
// "XDB3"/"XDD3") and of a shortform folder held in the inode's fork,
// parsed into plain entries that the folder walk and the Long Scan turn
// into nodes and records.
#pragma once
#include <cstddef>
#include <cstdint>

namespace xfs {

struct XfsDirEntry {
  uint64_t inode = 0;
  const uint8_t* name = nullptr;
  uint8_t nameLength = 0;
  uint8_t fileType = 0;  // with ftype only
  size_t offset = 0;     // in the block (the tag)
};

// The header size of a folder data block (16, or 64 for V5's), 0 when
// the block is none; *single tells a single-block folder ("XD2B", "XDB3").
size_t XfsDirBlockHeader(const uint8_t* block, bool* single = nullptr);

// Bytes an entry with an n-byte name takes.
size_t XfsDirEntryBytes(size_t nameLength, bool ftype);

class XfsDirVisitor {
 public:
  virtual bool ValidInode(uint64_t inode) const = 0;
  virtual void Entry(const XfsDirEntry& entry) = 0;

 protected:
  ~XfsDirVisitor() = default;
};

struct XfsDirBlockResult {
  int entries = 0;      // valid entries handed over
  bool failed = false;  // an entry was invalid (the others are kept)
};

// The entries of one data block of `bytes` (the folder block size): each
// valid used entry goes to the visitor. `ftype`: entries carry a type byte.
XfsDirBlockResult ParseXfsDirBlock(const uint8_t* block, size_t bytes, bool ftype, XfsDirVisitor& visitor);

struct XfsShortformResult {
  bool ok = false;  // the header is a shortform folder's
  uint64_t parent = 0;
  int entries = 0;
};

// A shortform folder of `bytes` (the fork's size): its parent and its
// entries, which end where one would pass the fork. `special`: the
// "Special Shortform Directories" layout.
XfsShortformResult ParseXfsShortform(const uint8_t* fork, size_t bytes, bool ftype, bool special,
                                     XfsDirVisitor* visitor);

}  // namespace xfs
