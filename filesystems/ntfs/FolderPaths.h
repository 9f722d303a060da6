// Folder paths of NTFS nodes by parent record number: each folder's path
// built once from the node table, walking up to the root (record 5). A
// chain that breaks off (a folder never found, a loop, more than 1024
// levels) starts at "\Extra files\Folder<record>\" with the record where it
// broke, followed by the levels below it that are known.
#pragma once
#include <cstdint>
#include <unordered_map>

#include "platform/Text.h"

class CNdArray;

class NtfsFolderPaths {
 public:
  struct Folder {
    WString path;            // "\a\b\"
    bool inRecycle = false;  // a level is a recycle-bin folder
    bool complete = false;   // the chain reached the root
  };

  explicit NtfsFolderPaths(const CNdArray& nodes) : nodes_(nodes) {}
  // A folder node of a group (a volume, or the records of one lost $MFT);
  // the first one given for a record wins.
  void AddFolder(uint32_t group, uint32_t record, uint32_t nodeIndex);
  // A folder known only from an entry of its parent's index (its record
  // lost): used where the group holds no node for the record. kAnyGroup
  // stands for every group. The first name wins, except that a long name
  // replaces a short one ("PROGRA~1").
  static constexpr uint32_t kAnyGroup = 0xFFFFFFFFu;
  void AddIndexedFolder(uint32_t group, uint32_t record, uint32_t parent, WStringView name);
  // The path of the folder `parent` of the group.
  const Folder& Path(uint32_t group, uint32_t parent);
  // Whether the folder's chain reaches the root through folders known now
  // (within a few dozen levels), caching nothing: a path asked for before
  // all folders are known would be kept broken.
  bool KnownNow(uint32_t group, uint32_t parent) const;

 private:
  static uint64_t Key(uint32_t group, uint32_t record) { return (uint64_t(group) << 32) | record; }
  const CNdArray& nodes_;
  std::unordered_map<uint64_t, uint32_t> folders_;
  std::unordered_map<uint64_t, Folder> paths_;
  struct Indexed {
    uint32_t parent;
    WString name;
  };
  std::unordered_map<uint64_t, Indexed> indexed_;
  const Indexed* IndexedFolder(uint32_t group, uint32_t record) const;
};

// Whether a folder name is that of a recycle bin ("$Recycle.Bin",
// "RECYCLER", "RECYCLED", any case).
bool IsRecycleFolderName(WStringView name);
