#include "ui/core/ListFilter.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <ctime>
#include <cstring>
#include <new>

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/Wildcard.h"
#include "platform/Format.h"
#include "ui/core/ListText.h"
#include "ui/core/Parallel.h"
#include "volumes/ScanSink.h"

namespace {

// File-time units between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochFileTime = 116444736000000000LL;
constexpr int64_t kUnitsPerSecond = 10000000LL;

// The Folder column's value: the path after the volume code and colon.
WStringView FolderOfPath(const WString& p) {
  return p.size() >= 2 && p[1] == u':' ? WStringView(p).substr(2) : WStringView(p);
}

// The Volume column's value; false when the path has none.
bool VolumeOfPath(const WString& p, WString& out) {
  if (p.empty() || p[0] == u'\\') return false;
  const char16_t code = p[0];
  if (code >= u'A' && code <= u'Z') {
    out = WString(1, code) + u':';
    return true;
  }
  if (code >= 93 && code <= 255) {
    out = FormatW(u"%d", int(code) - 93);
    return true;
  }
  return false;
}

// The Status column's value of a status code (0-7).
WString StatusText(int code) {
  if (code == 0) return {};
  const int id = ProgramOptions().statusWordIds[size_t(code)];
  return Msg(id);
}

}  // namespace

void FilterCriterion::SetPattern(WStringView text) {
  pattern.clear();
  for (char16_t c : text)
    if (!(c == u'*' && !pattern.empty() && pattern.back() == u'*')) pattern.push_back(c);
  contains = u"*" + pattern;
  if (contains.back() != u'*') contains.push_back(u'*');
  if (contains.size() > 1 && contains[1] == u'*') contains.erase(0, 1);
}

bool FilterCriterion::MatchText(WStringView text) const {
  if (kind != kFilterText) return false;
  switch (op) {
    case 0:
      return WildcardMatch(pattern, text) != 0;
    case 1:
      return WildcardMatch(pattern, text) == 0;
    case 2:
      return WildcardMatch(contains, text) != 0;
    case 3:
      return WildcardMatch(contains, text) == 0;
    default:
      return false;
  }
}

bool FilterCriterion::MatchSize(uint64_t size) const {
  if (kind != kFilterSize) return false;
  switch (op) {
    case 0: return size == value;
    case 1: return size != value;
    case 2: return size > value;
    case 3: return size >= value;
    case 4: return size < value;
    case 5: return size <= value;
    default: return false;
  }
}

bool FilterCriterion::MatchDate(uint64_t fileTime) const {
  if (kind != kFilterDate) return false;
  const int64_t t = int64_t(fileTime);
  // The day's end, without overflowing for days near the end of time.
  const int64_t end = day > INT64_MAX - kFileTimeDay ? INT64_MAX : day + kFileTimeDay;
  switch (op) {
    case 0: return day <= t && t < end;
    case 1: return t < day || t >= end;
    case 2: return t >= end;
    case 3: return t >= day;
    case 4: return t < day;
    case 5: return t < end;
    default: return false;
  }
}

int FilterKindOfColumn(int column) {
  if (column == kColSize) return kFilterSize;
  if (column == kColDate) return kFilterDate;
  return kFilterText;
}

std::vector<WString> FilterOperatorTexts(int kind) {
  switch (kind) {
    case kFilterSize:
      return {u"equals", u"does not equal", u"is greater than", u"is greater than or equal to", u"is less than",
              u"is less than or equal to"};
    case kFilterDate:
      return {u"is on", u"is not on", u"is after", u"is on or after", u"is before", u"is on or before"};
    default:
      return {u"equals", u"does not equal", u"contains", u"does not contain"};
  }
}

bool FilterColumnText(int column, const ListStore& store, size_t record, const ListNodeInfo& node, WString& out) {
  switch (column) {
    case kColName:
      out.assign(node.name);
      return true;
    case kColType:
      out = store.Type(record);
      return true;
    case kColFolder:
      out.assign(FolderOfPath(store.Path(record)));
      return true;
    case kColVolume:
      return VolumeOfPath(store.Path(record), out);
    case kColStatus:
      out = StatusText((node.flags >> 8) & 7);
      return true;
    default:
      return false;
  }
}

bool RecordPasses(const std::array<std::unique_ptr<FilterCriterion>, kFilterColumns>& criteria, const ListStore& store,
                  size_t record, const ListNodeSource* nodes, bool skipApplied) {
  const int32_t nodeIndex = store.At(record).nodeIndex;
  ListNodeInfo node;
  if (nodeIndex == -1 || !nodes || !nodes->GetNode(nodeIndex, node)) return true;
  WString text;
  for (int c = 0; c < kFilterColumns; ++c) {
    const FilterCriterion* k = criteria[size_t(c)].get();
    if (!k || (skipApplied && k->applied)) continue;
    bool ok;
    if (c == kColSize) {
      ok = k->MatchSize(node.size);
    } else if (c == kColDate) {
      ok = k->MatchDate(node.time);
    } else {
      ok = FilterColumnText(c, store, record, node, text) && k->MatchText(text);
    }
    if (!ok) return false;
  }
  return true;
}

SizeInUnits SizeForDialog(uint64_t bytes) {
  SizeInUnits s;
  if (bytes == 0) {
    s.unit = 4;
    return s;
  }
  for (int u = 4; u >= 0; --u) {
    const uint64_t unit = uint64_t(1) << (10 * u);
    if (bytes % unit == 0) {
      s.unit = u;
      s.quotient = bytes / unit;
      return s;
    }
  }
  return s;
}

bool SizeFromDialog(WStringView text, int unit, uint64_t& bytes) {
  if (unit < 0 || unit > 4) return false;
  const WString sep = ProgramOptions().thousandsSeparator;
  uint64_t v = 0;
  bool digits = false;
  size_t i = 0;
  while (i < text.size() && text[i] == u' ') ++i;
  size_t end = text.size();
  while (end > i && text[end - 1] == u' ') --end;
  for (; i < end; ++i) {
    const char16_t c = text[i];
    if (c >= u'0' && c <= u'9') {
      if (v > (UINT64_MAX - 9) / 10) return false;
      v = v * 10 + uint64_t(c - u'0');
      digits = true;
    } else if (!sep.empty() && c == sep[0] && digits) {
      continue;
    } else {
      return false;
    }
  }
  if (!digits) return false;
  const uint64_t mult = uint64_t(1) << (10 * unit);
  if (v != 0 && v > UINT64_MAX / mult) return false;
  bytes = v * mult;
  return true;
}

int64_t FileTimeOfLocalDay(int year, int month, int day) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_isdst = -1;
  const time_t t = mktime(&tm);
  return int64_t(t) * kUnitsPerSecond + kUnixEpochFileTime;
}

void LocalDayOfFileTime(int64_t fileTime, int& year, int& month, int& day) {
  const int64_t seconds = (fileTime - kUnixEpochFileTime) / kUnitsPerSecond;
  const time_t t = time_t(seconds);
  struct tm tm {};
  localtime_r(&t, &tm);
  year = tm.tm_year + 1900;
  month = tm.tm_mon + 1;
  day = tm.tm_mday;
}

namespace {

// A text criterion compiled once per pass. The shapes filters mostly take
// ("x", "x*", "*x", "*x*", "*") compare their literal part alone; any other
// pattern goes to WildcardMatch. The answers are MatchText's.
class TextTest {
 public:
  TextTest() = default;
  explicit TextTest(const FilterCriterion& k) {
    if (k.kind != kFilterText || k.op < 0 || k.op > 3) {
      never_ = true;
      return;
    }
    negate_ = k.op == 1 || k.op == 3;
    wild_ = k.op < 2 ? k.pattern : k.contains;
    const size_t n = wild_.size();
    const size_t stars = size_t(std::count(wild_.begin(), wild_.end(), u'*'));
    const bool lead = n > 0 && wild_[0] == u'*', trail = n > 0 && wild_[n - 1] == u'*';
    if (wild_.find(u'?') != WString::npos) shape_ = kGeneral;
    else if (stars == 0) shape_ = kEqual;
    else if (n == 1) shape_ = kAny;
    else if (stars == 1 && lead) shape_ = kSuffix;
    else if (stars == 1 && trail) shape_ = kPrefix;
    else if (stars == 2 && lead && trail && n > 2) shape_ = kContains;
    else shape_ = kGeneral;
    for (char16_t c : wild_)
      if (c != u'*') literal_.push_back(AsciiLower(c));
    // A literal of one to eight ASCII units at a name's start or end is
    // compared with one 8-byte load of a name kept in 8 bits (the store
    // leaves readable bytes around every name): letters by their folded
    // bit, other units exactly.
    const size_t m = literal_.size();
    if ((shape_ == kSuffix || shape_ == kPrefix || shape_ == kEqual || shape_ == kContains) && m >= 1 && m <= 8 &&
        std::all_of(literal_.begin(), literal_.end(), [](char16_t c) { return c < 0x80; })) {
      word_.usable = true;
      word_.suffix = shape_ == kSuffix;
      word_.equal = shape_ == kEqual;
      word_.contains = shape_ == kContains;
      word_.negate = negate_;
      word_.length = m;
      for (size_t k = 0; k < m; ++k) {
        const unsigned shift = unsigned(8 * (shape_ == kSuffix ? 8 - m + k : k));
        const char16_t c = literal_[k];
        word_.mask |= uint64_t(0xFF) << shift;
        word_.want |= uint64_t(c) << shift;
        if (c >= u'a' && c <= u'z') word_.fold |= uint64_t(0x20) << shift;
      }
    }
  }
  // The one-load test of a name in 8 bits (see above); its answer is the
  // whole test's.
  struct Word {
    bool usable = false, suffix = false, equal = false, contains = false, negate = false;
    size_t length = 0;
    uint64_t mask = 0, want = 0, fold = 0;
    bool At(const uint8_t* text) const {
      uint64_t word;
      std::memcpy(&word, text, sizeof word);
      return ((word | fold) & mask) == want;
    }
    // The literal at the end, whatever `suffix` and `negate` say.
    bool EndsWith(const uint8_t* text, size_t n) const { return n >= length && At(text + n - 8); }
    bool operator()(const uint8_t* text, size_t n) const {
      if (contains) {
        bool hit = false;
        for (size_t at = 0; at + length <= n && !hit; ++at) hit = At(text + at);
        return hit != negate;
      }
      if (suffix) return EndsWith(text, n) != negate;
      return ((equal ? n == length : n >= length) && At(text)) != negate;
    }
  };
  const Word* WordTest() const { return word_.usable && !never_ ? &word_ : nullptr; }
  bool operator()(WStringView text) const { return !never_ && Test(text.data(), text.size()) != negate_; }
  bool operator()(const StoredName& name) const {
    if (never_) return false;
    if (word_.usable && !name.wide) return word_(name.Narrow(), name.size);
    return (name.wide ? Test(name.Wide(), name.size) : Test(name.Narrow(), name.size)) != negate_;
  }

 private:
  enum Shape { kAny, kEqual, kPrefix, kSuffix, kContains, kGeneral };
  // Units in 8 bits stand for the UTF-16 units of the same value.
  template <class Unit>
  bool SameAt(const Unit* text, size_t at) const {
    for (size_t k = 0; k < literal_.size(); ++k)
      if (AsciiLower(char16_t(text[at + k])) != literal_[k]) return false;
    return true;
  }
  template <class Unit>
  bool Test(const Unit* text, size_t n) const {
    const size_t m = literal_.size();
    switch (shape_) {
      case kAny:
        return true;
      case kEqual:
        return n == m && SameAt(text, 0);
      case kPrefix:
        return n >= m && SameAt(text, 0);
      case kSuffix:
        return n >= m && SameAt(text, n - m);
      case kContains:
        for (size_t at = 0; at + m <= n; ++at)
          if (SameAt(text, at)) return true;
        return false;
      default:
        if constexpr (sizeof(Unit) == sizeof(char16_t)) return WildcardMatch(wild_, WStringView(text, n)) != 0;
        else return WildcardMatch(wild_, text, n) != 0;
    }
  }
  bool never_ = false, negate_ = false;
  Word word_;
  Shape shape_ = kGeneral;
  WString wild_, literal_;
};

using Criteria = std::array<std::unique_ptr<FilterCriterion>, kFilterColumns>;

// Whether records meet a pass's criteria. With many records to test and a
// node source that can be walked, the node criteria (name, size, date,
// status) are tested once per node in index order over the nodes' own
// arrays (in parallel parts) into one bit per node, and the folder and type
// criteria once per interned text; a record then only looks its bits up.
// Otherwise each record fetches its node. Either way the answer is
// RecordPasses'.
class RecordTest {
 public:
  // With deferNodes the node bits are left for the caller to fill, chunk
  // by chunk (TestNodeChunk), before any record is tested. The node bits
  // live in *memory while the test lasts, when given.
  RecordTest(const Criteria& criteria, bool skipApplied, const ListStore& store, const ListNodeSource* nodes,
             size_t records, bool deferNodes = false, std::vector<uint8_t>* memory = nullptr)
      : store_(store), nodes_(nodes), memory_(memory) {
    if (memory_) nodePass_.swap(*memory_);
    auto use = [&](int c) -> const FilterCriterion* {
      const FilterCriterion* k = criteria[size_t(c)].get();
      return k && !(skipApplied && k->applied) ? k : nullptr;
    };
    if (const FilterCriterion* k = use(kColName)) {
      name_ = true;
      nameTest_ = TextTest(*k);
    }
    size_ = use(kColSize);
    date_ = use(kColDate);
    if (const FilterCriterion* k = use(kColStatus)) {
      status_ = true;
      const TextTest t(*k);
      for (int code = 0; code < 8; ++code) statusPass_[size_t(code)] = t(StatusText(code));
    }
    if (const FilterCriterion* k = use(kColType)) {
      type_ = true;
      typeTest_ = TextTest(*k);
    }
    if (const FilterCriterion* k = use(kColFolder)) {
      folder_ = true;
      folderTest_ = TextTest(*k);
    }
    if (const FilterCriterion* k = use(kColVolume)) {
      volume_ = true;
      volumeTest_ = TextTest(*k);
    }
    nodeTests_ = name_ || size_ || date_ || status_;
    // Only the facts the criteria test are read.
    facts_ = (name_ ? ListNodeSource::kNodeName : 0u) | (size_ ? ListNodeSource::kNodeSize : 0u) |
             (date_ ? ListNodeSource::kNodeTime : 0u) | (status_ ? ListNodeSource::kNodeFlags : 0u);
    poolTests_ = type_ || folder_ || volume_;
    if (!nodes_ || !(nodeTests_ || poolTests_)) {
      all_ = true;
      return;
    }
    // Tables pay when the records to test outnumber what they cover.
    if (poolTests_) {
      const size_t pool = std::max(store.Paths().Count(), store.Types().Count());
      pools_ = records >= pool / 4;
      if (pools_) BuildPoolTables();
    }
    bound_ = nodes_->NodeIndexBound();
    // Names alone are tested where the store keeps them, without widening.
    if (facts_ == ListNodeSource::kNodeName) names_ = dynamic_cast<const FoundNodeStore*>(nodes_);
    byNode_ = bound_ > 0 && records >= bound_ / 4;
    if (!byNode_) return;
    const size_t bytes = (bound_ + 7) / 8;
    if (nodeTests_) nodePass_.assign(bytes, 0xFF);  // a missing node passes
    if (poolTests_) nodeHas_.assign(bytes, 0);
    if (!deferNodes)
      ParallelFor(NodeChunks(), 1, [&](size_t b, size_t e, unsigned) {
        for (size_t c = b; c < e; ++c) TestNodeChunk(c);
      });
  }

  ~RecordTest() {
    if (memory_) memory_->swap(nodePass_);
  }
  RecordTest(const RecordTest&) = delete;
  RecordTest& operator=(const RecordTest&) = delete;

  // Whether a record passes (records without node do).
  bool operator()(const ListRecord& r) const {
    if (all_ || r.nodeIndex < 0) return true;
    if (NodeBitsOnly()) {
      const size_t index = size_t(r.nodeIndex);
      return index >= bound_ || (nodePass_[index >> 3] & (0x80u >> (index & 7))) != 0;
    }
    return Test(r);
  }
  // When a record's answer is its node's bit alone (no pooled-text tests),
  // a pass may look the bits up itself: NodeBits() over [0, NodeBound()),
  // nodes beyond passing.
  bool NodeBitsOnly() const { return !all_ && byNode_ && !poolTests_; }
  const uint8_t* NodeBits() const { return nodePass_.data(); }
  size_t NodeBound() const { return bound_; }

 private:
  bool Test(const ListRecord& r) const {
    const size_t index = size_t(r.nodeIndex);
    if (byNode_) {
      if (index >= bound_) return true;
      const uint8_t bit = uint8_t(0x80u >> (index & 7));
      if (poolTests_) {
        if (!(nodeHas_[index >> 3] & bit)) return true;
        if (!PoolsPass(r)) return false;
      }
      return !nodeTests_ || (nodePass_[index >> 3] & bit);
    }
    ListNodeInfo info;
    if (!nodes_->GetNodeFacts(r.nodeIndex, facts_, info)) return true;
    if (poolTests_ && !PoolsPass(r)) return false;
    return !nodeTests_ || NodePasses(info);
  }
  bool NodePasses(const ListNodeInfo& node) const {
    if (name_ && !nameTest_(node.name)) return false;
    if (size_ && !size_->MatchSize(node.size)) return false;
    if (date_ && !date_->MatchDate(node.time)) return false;
    if (status_ && !statusPass_[size_t((node.flags >> 8) & 7)]) return false;
    return true;
  }
  bool PathPasses(const WString& path) const {
    if (folder_ && !folderTest_(FolderOfPath(path))) return false;
    if (volume_) {
      WString v;
      if (!VolumeOfPath(path, v) || !volumeTest_(v)) return false;
    }
    return true;
  }
  bool PoolsPass(const ListRecord& r) const {
    if (!pools_) return (!(folder_ || volume_) || PathPasses(store_.Paths().Get(r.pathId))) &&
                        (!type_ || typeTest_(store_.Types().Get(r.typeId)));
    // An id beyond its pool reads as the empty text (id 0).
    if ((folder_ || volume_) && !pathPass_[r.pathId < pathPass_.size() ? r.pathId : 0]) return false;
    if (type_ && !typePass_[r.typeId < typePass_.size() ? r.typeId : 0]) return false;
    return true;
  }
  void BuildPoolTables() {
    if (folder_ || volume_) {
      pathPass_.assign(store_.Paths().Count(), 0);
      ParallelFor(pathPass_.size(), 1 << 14, [&](size_t b, size_t e, unsigned) {
        for (size_t id = b; id < e; ++id) pathPass_[id] = PathPasses(store_.Paths().Get(uint32_t(id)));
      });
    }
    if (type_) {
      typePass_.assign(store_.Types().Count(), 0);
      for (size_t id = 0; id < typePass_.size(); ++id) typePass_[id] = typeTest_(store_.Types().Get(uint32_t(id)));
    }
  }

 public:
  // Node bits in chunks of whole bytes (no two chunks share one).
  static constexpr size_t kNodeChunk = size_t(1) << 16;
  size_t NodeChunks() const { return byNode_ ? (bound_ + kNodeChunk - 1) / kNodeChunk : 0; }
  // The name test over the chunk at begin, a byte's bits gathered in
  // registers and written once.
  template <class Test>
  void WalkNames(size_t begin, uint8_t* pass, uint8_t* has, const Test& test) const {
    size_t byte = begin >> 3;
    unsigned failed = 0, seen = 0;
    const bool pools = poolTests_;
    names_->ForEachName(begin, std::min(begin + kNodeChunk, bound_), [&](size_t i, const StoredName& name) {
      if ((i >> 3) != byte) {
        pass[byte] &= uint8_t(~failed);
        if (pools) has[byte] |= uint8_t(seen);
        byte = i >> 3;
        failed = seen = 0;
      }
      const unsigned bit = 0x80u >> (i & 7);
      failed |= test(name) ? 0u : bit;
      seen |= bit;
    });
    pass[byte] &= uint8_t(~failed);
    if (pools) has[byte] |= uint8_t(seen);
  }
  void TestNodeChunk(size_t chunk) {
    uint8_t* pass = nodePass_.data();
    uint8_t* has = nodeHas_.data();
    const size_t begin = chunk * kNodeChunk;
    if (names_) {
      if (const TextTest::Word* w = nameTest_.WordTest()) {
        // The common shape ("*.ext") with its choices made once.
        const TextTest::Word word = *w;  // in registers
        if (word.suffix && !word.negate)
          WalkNames(begin, pass, has, [&](const StoredName& name) {
            return name.wide ? nameTest_(name) : word.EndsWith(name.Narrow(), name.size);
          });
        else
          WalkNames(begin, pass, has, [&](const StoredName& name) {
            return name.wide ? nameTest_(name) : word(name.Narrow(), name.size);
          });
      } else {
        WalkNames(begin, pass, has, [&](const StoredName& name) { return nameTest_(name); });
      }
      return;
    }
    nodes_->VisitNodes(begin, std::min(begin + kNodeChunk, bound_), facts_,
                       [&](const int32_t* indexes, const ListNodeInfo* node, size_t count) {
                         for (size_t k = 0; k < count; ++k) {
                           const size_t i = size_t(indexes[k]);
                           const uint8_t bit = uint8_t(0x80u >> (i & 7));
                           if (nodeTests_ && !NodePasses(node[k])) pass[i >> 3] &= uint8_t(~bit);
                           if (poolTests_) has[i >> 3] |= bit;
                         }
                       });
  }

 private:
  const ListStore& store_;
  const ListNodeSource* nodes_;
  const FoundNodeStore* names_ = nullptr;
  std::vector<uint8_t>* memory_;
  bool all_ = false, nodeTests_ = false, poolTests_ = false, pools_ = false, byNode_ = false;
  bool name_ = false, status_ = false, type_ = false, folder_ = false, volume_ = false;
  const FilterCriterion* size_ = nullptr;
  const FilterCriterion* date_ = nullptr;
  TextTest nameTest_, typeTest_, folderTest_, volumeTest_;
  std::array<bool, 8> statusPass_{};
  std::vector<uint8_t> pathPass_, typePass_;
  size_t bound_ = 0;
  unsigned facts_ = 0;
  std::vector<uint8_t> nodePass_, nodeHas_;  // one bit per node index
};

}  // namespace

void RunFilterPass(FilterPass& pass, const ListStore& store, const ListNodeSource* nodes) {
  const size_t n = store.Count();
  if (pass.mode == FilterPass::kFull) {
    // One set of threads for three phases: the node bits, the records' bits
    // (eight records, which lie together, into one byte), the rows from the
    // bits into one array. Each phase hands its chunks out as threads come
    // for them and starts once the chunks before it are finished (not once
    // every thread has arrived), so a thread the system holds back delays
    // only the chunk it holds. Chunks are whole bytes of bits, so no two
    // write one byte.
    RecordTest passes(pass.criteria, false, store, nodes, n, true, &pass.scratch);
    pass.passBits.assign((n + 7) / 8, 0);
    const size_t bytes = pass.passBits.size();
    constexpr size_t kChunkBytes = ListStore::kRecordRun / 8;
    static_assert(ListStore::kRecordRun % 8 == 0);
    const size_t chunks = (bytes + kChunkBytes - 1) / kChunkBytes, nodeChunks = passes.NodeChunks();
    std::vector<int64_t> count(chunks, 0), files(chunks, 0);
    std::vector<__int128> sizes(chunks, 0);
    std::vector<size_t> offset(chunks, 0);
    std::atomic<size_t> nextNodes{0}, nextRecords{0}, nextRows{0}, nodesDone{0}, recordsDone{0};
    std::atomic<bool> rowsReady{false};
    bool noMemory = false;
    // Once every record chunk is done: the totals, where each chunk's rows
    // go, the rows array.
    auto sum = [&] {
      pass.passCount = 0;
      pass.checkedFiles = 0;
      pass.checkedBytes = 0;
      for (size_t c = 0; c < chunks; ++c) {
        offset[c] = size_t(pass.passCount);
        pass.passCount += count[c];
        pass.checkedFiles += files[c];
        pass.checkedBytes += sizes[c];
      }
      try {
        pass.rows.assign(size_t(pass.passCount), 0);
      } catch (...) {
        noMemory = true;
      }
      rowsReady.store(true, std::memory_order_release);
      rowsReady.notify_all();
    };
    // Counts a finished chunk; true for the last of the phase's total.
    auto finished = [](std::atomic<size_t>& done, size_t total) {
      if (done.fetch_add(1, std::memory_order_acq_rel) + 1 != total) return false;
      done.notify_all();
      return true;
    };
    auto waitFor = [](std::atomic<size_t>& done, size_t total) {
      for (size_t d; (d = done.load(std::memory_order_acquire)) < total;) done.wait(d, std::memory_order_acquire);
    };
    if (chunks == 0) sum();
    const unsigned threads = ParallelParts(std::max(bytes, nodeChunks * (RecordTest::kNodeChunk / 8)), 1 << 13);
    auto records = [&](const auto& test) {
      ListNodeInfo info;
      for (size_t c; (c = nextRecords.fetch_add(1, std::memory_order_relaxed)) < chunks;) {
        int64_t passed = 0, checked = 0;
        __int128 checkedSize = 0;
        uint8_t* out = pass.passBits.data();
        for (size_t byte = c * kChunkBytes; byte < std::min(bytes, (c + 1) * kChunkBytes); ++byte) {
          const ListRecord* r = &store.At(byte * 8);
          const size_t m = std::min<size_t>(8, n - byte * 8);
          unsigned bits = 0;
          for (size_t k = 0; k < m; ++k) {
            if (!test(r[k])) continue;
            bits |= 0x80u >> k;
            if ((r[k].flags & kRowCheckMask) == kCheckOn) {
              ++checked;
              if (r[k].nodeIndex != -1 && nodes &&
                  nodes->GetNodeFacts(r[k].nodeIndex, ListNodeSource::kNodeSize, info))
                checkedSize += info.size;
            }
          }
          out[byte] = uint8_t(bits);
          passed += std::popcount(bits);
        }
        count[c] = passed;
        files[c] = checked;
        sizes[c] = checkedSize;
        if (finished(recordsDone, chunks)) sum();
      }
    };
    ParallelFor(threads, 1, [&](size_t, size_t, unsigned) {
      for (size_t c; (c = nextNodes.fetch_add(1, std::memory_order_relaxed)) < nodeChunks;) {
        passes.TestNodeChunk(c);
        finished(nodesDone, nodeChunks);
      }
      waitFor(nodesDone, nodeChunks);
      if (passes.NodeBitsOnly()) {
        // The answer is the node's bit: looked up here, without a call.
        const uint8_t* nodeBits = passes.NodeBits();
        const size_t bound = passes.NodeBound();
        records([nodeBits, bound](const ListRecord& r) {
          const size_t index = size_t(uint32_t(r.nodeIndex));
          return r.nodeIndex < 0 || index >= bound || (nodeBits[index >> 3] & (0x80u >> (index & 7))) != 0;
        });
      } else {
        records([&passes](const ListRecord& r) { return passes(r); });
      }
      while (!rowsReady.load(std::memory_order_acquire)) rowsReady.wait(false, std::memory_order_acquire);
      if (noMemory) return;
      for (size_t c; (c = nextRows.fetch_add(1, std::memory_order_relaxed)) < chunks;) {
        uint32_t* out = pass.rows.data() + offset[c];
        for (size_t byte = c * kChunkBytes; byte < std::min(bytes, (c + 1) * kChunkBytes); ++byte) {
          const uint8_t bits = pass.passBits[byte];
          if (bits == 0) continue;
          for (unsigned k = 0; k < 8; ++k)
            if (bits & (0x80u >> k)) *out++ = uint32_t(byte * 8 + k);
        }
      }
    });
    if (noMemory) throw std::bad_alloc();
    return;
  }
  // Incremental: the candidates that still pass, against the new criterion.
  pass.passBits.resize((n + 7) / 8, 0xFF);
  const bool flat = pass.mode == FilterPass::kIncrementalFlat;
  std::vector<uint32_t> all;
  const std::vector<uint32_t>* candidates = &pass.candidates;
  if (!flat) {
    all.reserve(size_t(pass.passCount));
    for (size_t i = 0; i < n; ++i)
      if (pass.passBits[i >> 3] & (0x80u >> (i & 7))) all.push_back(uint32_t(i));
    candidates = &all;
  }
  const size_t m = candidates->size();
  const RecordTest passes(pass.criteria, true, store, nodes, m);
  const unsigned parts = ParallelParts(m, 1 << 16);
  std::vector<std::vector<uint32_t>> rows(parts);
  std::vector<int64_t> failed(parts, 0), files(parts, 0);
  std::vector<__int128> sizes(parts, 0);
  ParallelFor(m, 1 << 16, [&](size_t b, size_t e, unsigned part) {
    ListNodeInfo info;
    for (size_t k = b; k < e; ++k) {
      const uint32_t i = (*candidates)[k];
      if (i >= n) continue;
      if (passes(store.At(i))) {
        rows[part].push_back(i);
        continue;
      }
      // Displayed rows may come in any order: two parts can share a byte.
      std::atomic_ref<uint8_t>(pass.passBits[i >> 3]).fetch_and(uint8_t(~(0x80u >> (i & 7))));
      ++failed[part];
      if (store.CheckState(i) == kCheckOn) {
        --files[part];
        const int32_t node = store.At(i).nodeIndex;
        if (node != -1 && nodes && nodes->GetNodeFacts(node, ListNodeSource::kNodeSize, info)) sizes[part] -= info.size;
      }
    }
  });
  pass.rows.clear();
  pass.checkedFiles = 0;
  pass.checkedBytes = 0;
  for (unsigned p = 0; p < parts; ++p) {
    pass.rows.insert(pass.rows.end(), rows[p].begin(), rows[p].end());
    pass.passCount -= failed[p];
    pass.checkedFiles += files[p];
    pass.checkedBytes += sizes[p];
  }
}
