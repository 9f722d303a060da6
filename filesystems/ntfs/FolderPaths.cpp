#include "filesystems/ntfs/FolderPaths.h"

#include <algorithm>
#include <vector>

#include "filesystems/ntfs/Definitions.h"
#include "foundation/Messages.h"
#include "platform/Format.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"

namespace {
// Deeper folder chains than this are damaged or crafted (or a loop).
constexpr size_t kMaxFolderDepth = 1024;
}  // namespace

bool IsRecycleFolderName(WStringView name) {
  return EqualsNoCase(name, u"$Recycle.Bin") || EqualsNoCase(name, u"RECYCLER") || EqualsNoCase(name, u"RECYCLED");
}

void NtfsFolderPaths::AddFolder(uint32_t group, uint32_t record, uint32_t nodeIndex) {
  folders_.emplace(Key(group, record), nodeIndex);
}

void NtfsFolderPaths::AddIndexedFolder(uint32_t group, uint32_t record, uint32_t parent, WStringView name) {
  if (name.empty()) return;
  const bool shortName = name.find(u'~') != WStringView::npos;
  auto [it, added] = indexed_.try_emplace(Key(group, record), Indexed{parent, WString(name)});
  if (!added && !shortName && it->second.name.find(u'~') != WString::npos) it->second = Indexed{parent, WString(name)};
}

const NtfsFolderPaths::Indexed* NtfsFolderPaths::IndexedFolder(uint32_t group, uint32_t record) const {
  auto it = indexed_.find(Key(group, record));
  if (it == indexed_.end()) it = indexed_.find(Key(kAnyGroup, record));
  return it == indexed_.end() ? nullptr : &it->second;
}

bool NtfsFolderPaths::KnownNow(uint32_t group, uint32_t parent) const {
  constexpr size_t kProbeDepth = 64;
  uint32_t chain[kProbeDepth];
  size_t depth = 0;
  for (uint32_t at = parent;;) {
    if (at == ntfs::kRecordRoot) return true;
    auto hit = paths_.find(Key(group, at));
    if (hit != paths_.end()) return hit->second.complete;
    if (depth == kProbeDepth || std::find(chain, chain + depth, at) != chain + depth) return false;
    auto f = folders_.find(Key(group, at));
    const cnode* n = f == folders_.end() ? nullptr : nodes_.GetAt(f->second);
    const Indexed* x = n ? nullptr : IndexedFolder(group, at);
    if (!n && !x) return false;
    chain[depth++] = at;
    at = n ? n->parentId : x->parent;
  }
}

const NtfsFolderPaths::Folder& NtfsFolderPaths::Path(uint32_t group, uint32_t parent) {
  auto cached = paths_.find(Key(group, parent));
  if (cached != paths_.end()) return cached->second;
  // Up from the parent to the root, a folder known already, or the break.
  std::vector<uint32_t> chain;
  uint32_t at = parent;
  Folder top;
  while (true) {
    if (at == ntfs::kRecordRoot) {
      top.path.assign(1, u'\\');
      top.complete = true;
      break;
    }
    auto hit = paths_.find(Key(group, at));
    if (hit != paths_.end()) {
      top = hit->second;
      break;
    }
    auto f = folders_.find(Key(group, at));
    const cnode* n = f == folders_.end() ? nullptr : nodes_.GetAt(f->second);
    const Indexed* x = n ? nullptr : IndexedFolder(group, at);
    if ((!n && !x) || chain.size() >= kMaxFolderDepth || std::find(chain.begin(), chain.end(), at) != chain.end()) {
      top.path = FormatW(u"\\%s\\%s%u\\", Msg(15), Msg(39), at);
      break;
    }
    chain.push_back(at);
    at = n ? n->parentId : x->parent;
  }
  const Folder* known = nullptr;
  Folder info = top;
  for (size_t i = chain.size(); i-- > 0;) {
    auto f = folders_.find(Key(group, chain[i]));
    const cnode* n = f == folders_.end() ? nullptr : nodes_.GetAt(f->second);
    const WString part = n ? n->GetNameW() : IndexedFolder(group, chain[i])->name;
    info.path.append(part.data(), part.size());
    info.path.push_back(u'\\');
    info.inRecycle = info.inRecycle || IsRecycleFolderName(part);
    known = &(paths_[Key(group, chain[i])] = info);
  }
  if (!known) known = &(paths_[Key(group, parent)] = info);
  return *known;
}
