#include "foundation/Wildcard.h"

// Both matchers go left to right and, on a mismatch, only widen the run of
// the last "*" met. That is enough: a later star can take over anything an
// earlier one would have absorbed, so revisiting earlier stars (what a
// recursive matcher does, exponentially often) never finds a new match.

bool Match1(WStringView name, WStringView pattern) {
  // A trailing run of stars matches any rest, also none: its last star
  // takes whatever is left, the others need nothing once the name is used
  // up. Every star before that run stands for at least one character,
  // since the name cannot be used up there and still match (a non-star
  // follows).
  size_t body = pattern.size();
  while (body > 0 && pattern[body - 1] == u'*') --body;
  const bool anyRest = body < pattern.size();
  const size_t n = name.size();
  constexpr size_t kNone = size_t(-1);
  size_t i = 0, j = 0;
  size_t starPattern = kNone, starName = 0;  // where to resume after the last star
  for (;;) {
    if (j == body) {
      if (anyRest || i == n) return true;
    } else if (pattern[j] == u'*') {
      if (i == n) return false;
      ++i;  // the star's one required character
      starPattern = ++j;
      starName = i;
      continue;
    } else if (i < n && (pattern[j] == u'?' || AsciiLower(pattern[j]) == AsciiLower(name[i]))) {
      ++i;
      ++j;
      continue;
    }
    if (starPattern == kNone || starName >= n) return false;
    i = ++starName;
    j = starPattern;
  }
}

namespace {

template <class Unit>
int MatchUnits(WStringView pattern, const Unit* name, size_t n) {
  const size_t p = pattern.size();
  constexpr size_t kNone = size_t(-1);
  size_t i = 0, j = 0;
  size_t starPattern = kNone, starName = 0;
  for (;;) {
    if (i == n) return (j == p || (j + 1 == p && pattern[j] == u'*')) ? 1 : 0;
    if (j < p) {
      char16_t pc = pattern[j];
      if (pc == u'*') {
        if (j + 1 == p) return 1;
        starPattern = ++j;
        starName = i;
        continue;
      }
      char16_t nc = char16_t(name[i]);
      bool same = pc == u'?' ? nc != u'.' : AsciiLower(pc) == AsciiLower(nc);
      if (same) {
        ++i;
        ++j;
        continue;
      }
    }
    if (starPattern == kNone) return 0;
    i = ++starName;  // starName < n here, since i was
    j = starPattern;
  }
}

}  // namespace

int WildcardMatch(WStringView pattern, WStringView name) { return MatchUnits(pattern, name.data(), name.size()); }

int WildcardMatch(WStringView pattern, const uint8_t* name, size_t length) {
  return MatchUnits(pattern, name, length);
}

int WildcardMatch(const char16_t* pattern, const char16_t* name) {
  if (!pattern || !name) return 0;
  return WildcardMatch(WStringView(pattern), WStringView(name));
}

void PatternList::Clear() {
  patterns.clear();
  isExclusion.clear();
  count = 0;
  hasExclusions = 0;
}

void PatternList::Set(WStringView text) {
  Clear();
  if (text == u"*") return;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(u',', start);
    if (comma == WStringView::npos) comma = text.size();
    WStringView piece = text.substr(start, comma - start);
    start = comma + 1;
    if (piece.empty()) continue;
    bool exclusion = piece.size() > 2 && piece.front() == openMark && piece.back() == closeMark;
    if (exclusion) piece = piece.substr(1, piece.size() - 2);
    patterns.emplace_back(piece);
    isExclusion.push_back(exclusion ? 1 : 0);
    if (exclusion) hasExclusions = 1;
  }
  count = int32_t(patterns.size());
}

bool PatternList::Match(WStringView name) const {
  if (count == 0) return true;
  bool included = false;
  for (size_t k = 0; k < patterns.size(); ++k) {
    if (isExclusion[k]) {
      if (Match1(name, patterns[k])) return false;
    } else if (!included && Match1(name, patterns[k])) {
      if (!hasExclusions) return true;
      included = true;
    }
  }
  return included;
}
