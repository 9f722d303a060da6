#include "filesystems/ext/NameTrees.h"

#include <algorithm>

#include "volumes/Node.h"

namespace {

constexpr int kMaxLevels = 1024;
// A folder path is at most this long (the walk's own limit): a longer
// chain breaks where it passes it.
constexpr size_t kMaxPathBytes = 1023;

}  // namespace

UnixNameTrees::UnixNameTrees(uint64_t inodes) : listed_(size_t(inodes / 64 + 1), 0) {}

void UnixNameTrees::MarkListed(uint64_t inode) {
  if (inode / 64 < listed_.size()) listed_[size_t(inode / 64)] |= uint64_t(1) << (inode % 64);
}

bool UnixNameTrees::Listed(uint64_t inode) const {
  return inode / 64 < listed_.size() && (listed_[size_t(inode / 64)] >> (inode % 64) & 1);
}

uint32_t UnixNameTrees::Pool(const uint8_t* name, uint16_t length) {
  const uint32_t at = uint32_t(pool_.size());
  pool_.append(reinterpret_cast<const char*>(name), length);
  return at;
}

void UnixNameTrees::AddFolder(uint32_t inode, uint32_t parent, const uint8_t* name, uint16_t length, uint8_t strength) {
  if (!inode) return;
  auto [it, made] = dirs_.try_emplace(inode);
  Name& n = it->second;
  const bool stronger = strength > n.strength;
  if (parent && (made || !n.parent || stronger)) n.parent = parent;
  if (length && (made || !n.length || stronger)) {
    n.offset = Pool(name, length);
    n.length = length;
    n.strength = strength;
  } else if (made) {
    n.strength = length ? strength : 0;
  }
}

void UnixNameTrees::SetFolderParent(uint32_t inode, uint32_t parent) {
  if (!inode || !parent) return;
  Name& n = dirs_[inode];
  if (!n.parent) n.parent = parent;
}

bool UnixNameTrees::Same(const Name& n, uint32_t parent, const uint8_t* name, uint16_t length) const {
  return n.parent == parent && n.length == length &&
         pool_.compare(n.offset, length, reinterpret_cast<const char*>(name), length) == 0;
}

void UnixNameTrees::AddFile(uint32_t inode, uint32_t parent, const uint8_t* name, uint16_t length, uint8_t strength) {
  if (!inode || !length) return;
  auto [it, made] = files_.try_emplace(inode);
  Name* n = &it->second;
  if (!made && strength <= n->strength) {
    // Another live name in a known folder: a hard link, kept once.
    if (strength != kNameLive) return;
    for (const Name* k = n; k; k = NextName(*k))
      if (Same(*k, parent, name, length)) return;
    Name more;
    more.parent = parent;
    more.offset = Pool(name, length);
    more.length = length;
    more.strength = strength;
    more.next = n->next;
    extra_.push_back(more);
    files_[inode].next = uint32_t(extra_.size());
    return;
  }
  // A stronger name takes the first place (and the weaker ones go).
  n->parent = parent;
  n->offset = Pool(name, length);
  n->length = length;
  n->strength = strength;
  n->next = 0;
}

const UnixNameTrees::Name* UnixNameTrees::Folder(uint32_t inode) const {
  auto it = dirs_.find(inode);
  return it == dirs_.end() ? nullptr : &it->second;
}

const UnixNameTrees::Name* UnixNameTrees::File(uint32_t inode) const {
  auto it = files_.find(inode);
  return it == files_.end() ? nullptr : &it->second;
}

WString UnixNameTrees::NameText(const Name& n) const {
  return ConvertNameToWide(reinterpret_cast<const uint8_t*>(pool_.data()) + n.offset, n.length);
}

WString UnixNameTrees::FolderPath(uint32_t inode, uint32_t root, uint32_t* brokenAt) const {
  std::vector<const Name*> chain;
  uint32_t at = inode;
  size_t bytes = 1;
  *brokenAt = 0;
  for (int level = 0; at != root; ++level) {
    const Name* n = Folder(at);
    // A name of its own and a parent, else the chain breaks here; the
    // bound on the path's length also bounds the loop test.
    if (!n || !n->length || !n->parent || level >= kMaxLevels || bytes + n->length + 1 > kMaxPathBytes ||
        std::find(chain.begin(), chain.end(), n) != chain.end()) {
      *brokenAt = at;
      break;
    }
    bytes += n->length + 1;
    chain.push_back(n);
    at = n->parent;
  }
  WString path = *brokenAt ? WString() : WString(1, u'\\');
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += NameText(**it) + u"\\";
  return path;
}
