// The XFS Long Scan ([XFS Options] "XFS Long Scan"): the whole volume read
// in 1 MiB pieces; inodes become nodes, folder blocks and shortform folders
// (inode, parent, name) records; at the end each file found is given the
// path the records build, or a place under "Extra files".
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Text.h"

class CVol;
class CXFSVol;
class ScanSink;

namespace xfs {

// What the records say of the entries met: key (inode, type: 0x4000 a
// folder, 0x8000 a file, 0 unknown) -> parent and name.
class XfsRecords {
 public:
  struct Record {
    uint64_t parent = 0;
    WString name;
  };
  // An entry met (Long Scan): typed by the name when the caller knows none.
  void Add(uint64_t inode, uint64_t parent, const WString* name, uint16_t type);
  // The record of the inode by type; null when none.
  const Record* Find(uint64_t inode, uint16_t type) const;
  const Record* FindAmbiguous(uint64_t inode, uint16_t type) const;
  // The folder path of a folder inode ("\a\b\"): true when it reaches the
  // root; otherwise the path under "\Extra files\" from where it broke.
  bool FolderPath(uint64_t inode, uint64_t root, WString* path) const;
  size_t Count() const { return records_.size(); }

 private:
  static uint64_t Key(uint64_t inode, uint16_t type) {
    return inode << 2 | (type == 0x4000 ? 1 : type == 0x8000 ? 2 : 0);
  }
  std::unordered_map<uint64_t, Record> records_, ambiguous_;
};

// The Long Scan of one volume and the placing of what it found: 1 (it ran)
// when the option is set, 0 otherwise (the ordinary scan reads the volume).
int XfsOwnVolumePass(CVol& volume, ScanSink& engine);
// The same, unconditionally (tests).
int XfsLongScan(CXFSVol& volume, ScanSink& engine);

}  // namespace xfs

using xfs::XfsOwnVolumePass;
