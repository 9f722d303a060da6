// What a Long Scan learns of a Unix volume's names: the folders (inode ->
// parent and name) and the files (inode -> parent and name) that directory
// blocks found anywhere name, and the inodes the folder walk listed, so
// that an inode found later by itself gets its name and folder, and none is
// listed twice.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Text.h"

class UnixNameTrees {
 public:
  struct Name {
    uint32_t parent = 0;
    uint32_t offset = 0;  // of the name's bytes in the pool
    uint16_t length = 0;
    // From a deleted record (the space after a live one): a live record's
    // name replaces it.
    bool hidden = false;
  };

  // `inodes`: the volume's inode count (the listed set's size).
  explicit UnixNameTrees(uint64_t inodes);

  // ---- the folder walk ----
  void MarkListed(uint64_t inode);
  bool Listed(uint64_t inode) const;

  // ---- names ----
  // A folder (a record of type directory, an inode that is one, or a "."
  // met first): its parent and name. A known folder keeps its name unless
  // it had none or a hidden one; a parent of 0 leaves the parent as it is.
  void AddFolder(uint32_t inode, uint32_t parent, const uint8_t* name, uint16_t length, bool hidden);
  // ".." of a folder: its parent, unless it already has one.
  void SetFolderParent(uint32_t inode, uint32_t parent);
  // A file's first name wins (a live record's over a hidden one).
  void AddFile(uint32_t inode, uint32_t parent, const uint8_t* name, uint16_t length, bool hidden);
  const Name* Folder(uint32_t inode) const;
  const Name* File(uint32_t inode) const;
  WString NameText(const Name& n) const;
  size_t FolderCount() const { return dirs_.size(); }
  size_t FileCount() const { return files_.size(); }

  // The folder path ("\a\b\") of folder `inode` up to `root`; when the
  // chain breaks (a folder of unknown name, a loop, more than 1024 levels)
  // *brokenAt gets the folder where it broke and the path is the part
  // below it ("b\"), else *brokenAt is 0.
  WString FolderPath(uint32_t inode, uint32_t root, uint32_t* brokenAt) const;

 private:
  uint32_t Pool(const uint8_t* name, uint16_t length);
  std::unordered_map<uint32_t, Name> dirs_, files_;
  std::string pool_;
  std::vector<uint64_t> listed_;
};
