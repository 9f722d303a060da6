#include "volumes/FolderPath.h"

#include <unordered_set>
#include <vector>

#include "foundation/HTree.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Format.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"
#include "volumes/Volume.h"

namespace {

constexpr size_t kPathBudget = 1020;
constexpr int kMaxLevels = 64;

}  // namespace

bool GetHashDir(CVol& v, const cnode& node, WString* path) {
  TRACE_FN("GetHashDir");
  const WString name = node.GetNameW();
  const size_t budget = name.size() < kPathBudget ? kPathBudget - name.size() : 0;
  int64_t key = node.parentId;
  if ((node.flags & kNodeParentIsIndex) && v.engine) {
    const cnode* parent = v.engine->Nodes().GetAt(node.parentId);
    key = parent ? int64_t(parent->id) : -1;
  }
  // Only a chain that reached the root is taken from the cache: one that
  // broke off may reach it once its folder has been met.
  if (key >= 0 && key == v.cachedParentKey && v.cachedFound && budget >= v.cachedPath.size()) {
    *path = v.cachedPath;
    return v.cachedFound && v.cachedNamed;
  }
  std::vector<WString> levels;
  std::unordered_set<int64_t> seen;
  bool found = false, named = true;
  int64_t id = key;
  size_t length = 1;
  for (int depth = 0; depth < kMaxLevels && id >= 0; ++depth) {
    if (v.IsRootInode(uint32_t(id))) {
      found = true;
      break;
    }
    if (!seen.insert(id).second) break;  // a loop
    const HRecord* r = v.nodeIndex ? v.nodeIndex->FindById(HWord(id)) : nullptr;
    if (!r) break;
    const char16_t* text = r->Text(1);
    WString level = text ? WString(text) : WString();
    if (level == u".") {
      found = true;
      break;
    }
    if (level.empty()) {
      level = FormatW(u"%s%ld", Msg(39), int32_t(id));
      named = false;
    }
    if (length + level.size() + 1 > budget) break;
    length += level.size() + 1;
    levels.push_back(std::move(level));
    id = int64_t(r->Column(2));
  }
  WString out = found ? WString(1, u'\\') : FormatW(u"\\%s\\%s%ld\\", Msg(15), Msg(39), int32_t(id));
  for (auto it = levels.rbegin(); it != levels.rend(); ++it) out += *it + u"\\";
  v.cachedParentKey = key;
  v.cachedPath = out;
  v.cachedFound = found;
  v.cachedNamed = named;
  *path = std::move(out);
  return found && named;
}
