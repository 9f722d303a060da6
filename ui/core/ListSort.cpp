#include "ui/core/ListSort.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "ui/core/FolderIndex.h"
#include "ui/core/Parallel.h"

namespace {

constexpr char16_t FoldLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; }
constexpr char16_t FoldUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

// The first four folded units of a name, the first in the top bits; absent
// units are 0, so a shorter name orders first.
uint64_t NamePrefix(const StoredName& s) {
  uint64_t p = 0;
  for (size_t i = 0; i < 4; ++i) p = (p << 16) | (i < s.size ? FoldLower(s.At(i)) : 0u);
  return p;
}

struct NameEntry {
  uint64_t prefix;
  const void* name;
  uint32_t length;  // with kWideEntry: UTF-16 units, else 8-bit
  uint32_t entry;
};
constexpr uint32_t kWideEntry = 0x80000000u;

NameEntry MakeNameEntry(const StoredName& s, uint32_t entry) {
  return NameEntry{NamePrefix(s), s.units, s.size | (s.wide ? kWideEntry : 0u), entry};
}

template <class A, class B>
int CompareUnits(const A* a, size_t la, const B* b, size_t lb) {
  for (size_t i = 4; i < la && i < lb; ++i) {
    const char16_t x = FoldLower(char16_t(a[i])), y = FoldLower(char16_t(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return la == lb ? 0 : (la < lb ? -1 : 1);
}

// The whole comparison once the prefixes agree.
int CompareAfterPrefix(const NameEntry& a, const NameEntry& b) {
  const size_t la = a.length & ~kWideEntry, lb = b.length & ~kWideEntry;
  const auto* a8 = static_cast<const uint8_t*>(a.name);
  const auto* b8 = static_cast<const uint8_t*>(b.name);
  const auto* a16 = static_cast<const char16_t*>(a.name);
  const auto* b16 = static_cast<const char16_t*>(b.name);
  switch ((a.length & kWideEntry ? 2 : 0) | (b.length & kWideEntry ? 1 : 0)) {
    case 0: return CompareUnits(a8, la, b8, lb);
    case 1: return CompareUnits(a8, la, b16, lb);
    case 2: return CompareUnits(a16, la, b8, lb);
    default: return CompareUnits(a16, la, b16, lb);
  }
}

bool NameLess(const NameEntry& a, const NameEntry& b) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  return CompareAfterPrefix(a, b) < 0;
}

struct KeyEntry {
  uint64_t key;
  uint32_t entry;
};
bool KeyLess(const KeyEntry& a, const KeyEntry& b) { return a.key < b.key; }

// Signed 64-bit values as keys that order as unsigned numbers.
uint64_t SignedKey(int64_t v) { return uint64_t(v) ^ 0x8000000000000000ull; }

// Ranks of the texts of a pool under an order (rank[id]); equal texts share
// their rank. The texts are viewed from one array, so that comparing them
// does not chase the pool's pointers.
template <class Compare>
std::vector<uint32_t> RankTexts(const TextPool& pool, Compare compare) {
  struct Text {
    WStringView text;
    uint32_t id;
  };
  std::vector<Text> texts(pool.Count());
  for (uint32_t i = 0; i < texts.size(); ++i) texts[i] = Text{pool.Get(i), i};
  ParallelSort(texts.begin(), texts.end(), [&](const Text& a, const Text& b) { return compare(a.text, b.text) < 0; });
  std::vector<uint32_t> rank(texts.size(), 0);
  uint32_t r = 0;
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0 && compare(texts[i - 1].text, texts[i].text) != 0) ++r;
    rank[texts[i].id] = r;
  }
  return rank;
}

StoredName NodeName(const ListNodeSource* nodes, int32_t nodeIndex) {
  StoredName name;
  if (nodeIndex != -1 && nodes && nodes->GetStoredName(nodeIndex, name)) return name;
  return {};
}

struct FileKeys {
  const ListStore& store;
  const ListNodeSource* nodes;
  int code;
  std::vector<uint32_t> typeRank, folderRank;

  FileKeys(const ListStore& s, const ListNodeSource* n, int c) : store(s), nodes(n), code(c) {
    if (code == kSortType)
      typeRank = RankTexts(s.Types(), [](WStringView a, WStringView b) { return CompareNoCase(a, b); });
    if (code == kSortFolder)
      folderRank = RankTexts(s.Paths(), [](WStringView a, WStringView b) {
        return CompareNoCase(a.size() > 2 ? a.substr(2) : WStringView(), b.size() > 2 ? b.substr(2) : WStringView());
      });
  }

  uint64_t Key(size_t record) const {
    const ListRecord& r = store.At(record);
    switch (code) {
      case kSortType: return r.typeId < typeRank.size() ? typeRank[r.typeId] : 0;
      case kSortFolder: return r.pathId < folderRank.size() ? folderRank[r.pathId] : 0;
      case kSortVolume: {
        const WString& p = store.Paths().Get(r.pathId);
        return p.empty() ? 0 : uint16_t(p[0]);
      }
      default: break;
    }
    ListNodeInfo info;
    const unsigned facts = code == kSortSize   ? ListNodeSource::kNodeSize | ListNodeSource::kNodeFlags
                           : code == kSortDate ? ListNodeSource::kNodeTime
                                               : ListNodeSource::kNodeFlags;
    const bool has = r.nodeIndex != -1 && nodes && nodes->GetNodeFacts(r.nodeIndex, facts, info);
    switch (code) {
      case kSortStatus:
        // The status order table is the identity: the code itself.
        return has ? uint64_t((info.flags >> 8) & 7) : 0;
      case kSortSize:
        // A folder's own record size says nothing a reader can see: folders
        // go ahead of every file (key 0 is below every signed key of 0 and up).
        if (has && info.folder) return 0;
        return SignedKey(has ? int64_t(info.size) : 0);
      case kSortDate: return SignedKey(has ? int64_t(info.time) : 0);
      default: return 0;
    }
  }
};

// Keys of a block of entries that are all file records or all folder rows.
void SortBlock(uint32_t* first, uint32_t* last, int code, const ListStore& store, const ListNodeSource* nodes,
               FolderIndex* folders) {
  const size_t n = size_t(last - first);
  if (n < 2) return;
  const bool folderRows = IsFolderEntry(*first);
  if (code == kSortName) {
    std::vector<NameEntry> e(n);
    ParallelFor(n, 1 << 16, [&](size_t b, size_t end, unsigned) {
      for (size_t i = b; i < end; ++i) {
        const uint32_t entry = first[i];
        StoredName name;
        if (IsFolderEntry(entry)) {
          if (folders && (entry & ~kFolderRowBit) < folders->Count()) {
            const WStringView folder = folders->Name(entry & ~kFolderRowBit);
            name = StoredName{folder.data(), uint32_t(folder.size()), true};
          }
        } else {
          name = NodeName(nodes, store.At(entry).nodeIndex);
        }
        e[i] = MakeNameEntry(name, entry);
      }
    });
    ParallelSort(e.begin(), e.end(), NameLess);
    for (size_t i = 0; i < n; ++i) first[i] = e[i].entry;
    return;
  }
  std::vector<KeyEntry> e(n);
  if (folderRows) {
    // Folder rows: their type text, their total size; nothing else orders them.
    for (size_t i = 0; i < n; ++i) {
      const uint32_t row = first[i] & ~kFolderRowBit;
      uint64_t key = 0;
      if (folders && row < folders->Count()) {
        if (code == kSortType) key = folders->At(row).level == 0 ? 0 : 1;
        if (code == kSortSize) key = SignedKey(int64_t(folders->ComputeFolderSize(row, store, nodes)));
      }
      e[i] = KeyEntry{key, first[i]};
    }
  } else {
    const FileKeys keys(store, nodes, code);
    ParallelFor(n, 1 << 16, [&](size_t b, size_t end, unsigned) {
      for (size_t i = b; i < end; ++i) e[i] = KeyEntry{keys.Key(first[i]), first[i]};
    });
  }
  ParallelSort(e.begin(), e.end(), KeyLess);
  for (size_t i = 0; i < n; ++i) first[i] = e[i].entry;
}

std::vector<uint32_t> FolderOrder(const ListStore& store, const ListNodeSource* nodes) {
  const size_t n = store.Count();
  // Rank the distinct paths once; paths the folder order finds equal (they
  // differ only in letter case) are told apart exactly, so that each path's
  // records stay together.
  const std::vector<uint32_t> rank = RankTexts(store.Paths(), [](WStringView a, WStringView b) {
    const int c = ComparePathOrder(a, b);
    return c != 0 ? c : a.compare(b);
  });
  const size_t ranks = rank.empty() ? 1 : *std::max_element(rank.begin(), rank.end()) + 1;
  std::vector<uint32_t> start(ranks + 1, 0);
  for (size_t i = 0; i < n; ++i) ++start[rank[store.At(i).pathId] + 1];
  for (size_t r = 0; r < ranks; ++r) start[r + 1] += start[r];
  std::vector<uint32_t> order(n);
  {
    std::vector<uint32_t> next(start.begin(), start.end() - 1);
    for (size_t i = 0; i < n; ++i) order[next[rank[store.At(i).pathId]]++] = uint32_t(i);
  }
  // Within each path: by name, then by node index.
  std::vector<NameEntry> e(n);
  ParallelFor(n, 1 << 16, [&](size_t b, size_t end, unsigned) {
    for (size_t i = b; i < end; ++i) {
      e[i] = MakeNameEntry(NodeName(nodes, store.At(order[i]).nodeIndex), order[i]);
    }
  });
  auto less = [&store](const NameEntry& a, const NameEntry& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int c = CompareAfterPrefix(a, b);
    if (c != 0) return c < 0;
    const int32_t na = store.At(a.entry).nodeIndex, nb = store.At(b.entry).nodeIndex;
    if (na != nb) return na < nb;
    return a.entry < b.entry;
  };
  std::atomic<size_t> nextRank{0};
  auto work = [&] {
    for (size_t r; (r = nextRank.fetch_add(1)) < ranks;) {
      if (start[r + 1] - start[r] > 1) std::sort(e.begin() + start[r], e.begin() + start[r + 1], less);
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < ParallelParts(n, 1 << 16); ++t) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < n; ++i) order[i] = e[i].entry;
  return order;
}

}  // namespace

int CompareNamesFolded(WStringView a, WStringView b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const char16_t x = FoldLower(a[i]), y = FoldLower(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int ComparePathOrder(WStringView a, WStringView b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const char16_t x = i == 0 ? a[i] : FoldUpper(a[i]), y = i == 0 ? b[i] : FoldUpper(b[i]);
    if (x == y) continue;
    if (x == u'\\') return -1;
    if (y == u'\\') return 1;
    return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  if (a.size() < b.size()) return b[n] == u'\\' ? 1 : -1;
  return a[n] == u'\\' ? -1 : 1;
}

std::vector<uint32_t> SortedRecordOrder(const ListStore& store, const ListNodeSource* nodes, int code) {
  if (code == kSortFolderOrder) return FolderOrder(store, nodes);
  std::vector<uint32_t> order(store.Count());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  if (code >= kSortName && code <= kSortDate)
    SortBlock(order.data(), order.data() + order.size(), code, store, nodes, nullptr);
  return order;
}

void SortDisplayedRows(std::vector<uint32_t>& rows, int code, bool rowsOfFolder, const ListStore& store,
                       const ListNodeSource* nodes, FolderIndex* folders) {
  if (rows.size() < 2 || code < kSortName || code > kSortDate) return;
  if (rowsOfFolder && (code == kSortType || code == kSortStatus || code == kSortDate)) {
    // Only the block of file rows; folder rows keep their order.
    const size_t n = rows.size();
    if (IsFolderEntry(rows[0])) {
      size_t lo = 0;
      while (lo < n && IsFolderEntry(rows[lo])) ++lo;
      if (lo < n) SortBlock(rows.data() + lo, rows.data() + n, code, store, nodes, folders);
      return;
    }
    size_t hi = 0;
    while (hi < n && !IsFolderEntry(rows[hi])) ++hi;
    SortBlock(rows.data(), rows.data() + hi, code, store, nodes, folders);
    if (hi < n) {
      // Folders behind the files (a reversal left them there): back ahead,
      // in their earlier order.
      std::vector<uint32_t> out;
      out.reserve(n);
      for (size_t i = n; i > hi; --i) out.push_back(rows[i - 1]);
      out.insert(out.end(), rows.begin(), rows.begin() + std::ptrdiff_t(hi));
      rows.swap(out);
    }
    return;
  }
  // Folder rows ahead of file rows, each group by the key.
  auto mid = std::stable_partition(rows.begin(), rows.end(), IsFolderEntry);
  SortBlock(rows.data(), rows.data() + (mid - rows.begin()), code, store, nodes, folders);
  SortBlock(rows.data() + (mid - rows.begin()), rows.data() + rows.size(), code, store, nodes, folders);
}
