// Name filters: a user's list of wildcard patterns with inclusions and
// exclusions (a drive carries one and every scanner tests found names
// against it), and the single-pattern matcher of the file search.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/Text.h"

// One name against one pattern of a pattern list, ASCII letters folded.
// "?" is any one character; "*" as the pattern's last character is any rest
// of the name, also none; any other "*" is one or more characters, or none
// once the name is used up. Time is bounded by name length x pattern length.
bool Match1(WStringView name, WStringView pattern);

// Whole name against whole pattern, both zero-terminated: "*" is any run
// (a trailing one also the empty rest), "?" any one character except ".",
// letters A-Z folded and nothing else. 1 on a match, else 0; null is no match.
int WildcardMatch(const char16_t* pattern, const char16_t* name);
int WildcardMatch(WStringView pattern, WStringView name);
// The same for a name in 8-bit units, each standing for the UTF-16 unit of
// the same value.
int WildcardMatch(WStringView pattern, const uint8_t* name, size_t length);

class PatternList {
 public:
  PatternList() = default;
  PatternList(const PatternList&) = default;
  PatternList& operator=(const PatternList&) = default;

  bool IsEmpty() const { return count == 0; }
  void Clear();
  // Replaces the list by the comma-separated patterns of the text. "*" alone
  // leaves the list empty; empty pieces are skipped; "<p>" (more than two
  // characters) is the exclusion p; anything else is kept as it is.
  void Set(WStringView text);
  // True when the name matches an inclusion and no exclusion. An empty list
  // admits every name; a list of exclusions only admits none.
  bool Match(WStringView name) const;

  std::vector<WString> patterns;      // without their exclusion marks
  std::vector<uint8_t> isExclusion;   // 1 per exclusion pattern
  int32_t count = 0;
  char16_t openMark = u'<', closeMark = u'>';
  int32_t hasExclusions = 0;
};

// The drive's name test: no list admits every name.
inline bool Match(const PatternList* list, WStringView name) { return !list || list->Match(name); }
