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

// A name from a deleted record (the space after a live one), from a live
// record of a folder whose number is not known (a block away from its
// folder's first), or from a live record of a known folder.
inline constexpr uint8_t kNameHidden = 0;
inline constexpr uint8_t kNameUnplaced = 1;
inline constexpr uint8_t kNameLive = 2;

class UnixNameTrees {
 public:
  struct Name {
    uint32_t parent = 0;
    uint32_t offset = 0;  // of the name's bytes in the pool
    uint16_t length = 0;
    // How much the name is to be trusted (kNameHidden..kNameLive): a
    // stronger one replaces it.
    uint8_t strength = 0;
    // A further live name of the same inode (a hard link): its index + 1
    // among the further names, 0 for none.
    uint32_t next = 0;
  };

  // `inodes`: the volume's inode count (the listed set's size).
  explicit UnixNameTrees(uint64_t inodes);

  // ---- the folder walk ----
  void MarkListed(uint64_t inode);
  bool Listed(uint64_t inode) const;

  // ---- names ----
  // A folder (a record of type directory, an inode that is one, or a "."
  // met first): its parent and name. A known folder keeps its name unless
  // it had none or a weaker one; a parent of 0 leaves the parent as it is.
  void AddFolder(uint32_t inode, uint32_t parent, const uint8_t* name, uint16_t length, uint8_t strength);
  // ".." of a folder: its parent, unless it already has one.
  void SetFolderParent(uint32_t inode, uint32_t parent);
  // A file's first name wins unless a stronger one comes; further live
  // names of it in known folders (hard links) are kept beside it, each
  // once.
  void AddFile(uint32_t inode, uint32_t parent, const uint8_t* name, uint16_t length, uint8_t strength);
  const Name* Folder(uint32_t inode) const;
  const Name* File(uint32_t inode) const;
  // The name after `n` among a file's names; null after the last.
  const Name* NextName(const Name& n) const { return n.next ? &extra_[n.next - 1] : nullptr; }
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
  bool Same(const Name& n, uint32_t parent, const uint8_t* name, uint16_t length) const;
  std::unordered_map<uint32_t, Name> dirs_, files_;
  std::vector<Name> extra_;
  std::string pool_;
  std::vector<uint64_t> listed_;
};
