// Rules of the "Look for" box: the pattern text it keeps tidy, the lines
// checked by the patterns it names, and the split into name and folder
// patterns for the scan's name filter.
#pragma once
#include <unordered_map>
#include <vector>

#include "platform/Text.h"

// Trims blanks, drops the blanks around ',' and ';', doubled separators
// and doubled wildcards ("**", "*?", "?*" become "*").
WString TidyLookForText(WStringView text);
// The position of pattern as a whole part of text (between ',' or ';' or
// the ends), case-sensitive; -1 when it is not there.
int FindLookForPattern(WStringView text, WStringView pattern);
// -1 matches everything ("*", or two or more characters all '*' or '?'
// after the first), 1 a plain extension pattern ("*." and characters
// allowed in an extension), 0 anything else.
int ClassifyLookForPattern(WStringView pattern);
// The text with the pattern of extension ext ("*" for line 0, else "*."
// ext) added (checked) or removed with the separators after it.
WString UpdateLookForText(WStringView text, WStringView ext, bool checked);

struct LookForSplit {
  WString names;    // the name part of each pattern, joined by ','
  WString folders;  // the folder part of each pattern, joined by ','
};
LookForSplit SplitLookForText(WStringView text);
// The folder patterns the scan uses: empty when there is more than one
// name pattern or the folders start with '*'.
WString ScanFolderPatterns(const LookForSplit& split);

// The box's lines: line 0 is "all files" (extension "*").
class CheckComboModel {
 public:
  // Line extensions without "*.", line 0's "*". An extension met twice
  // keeps its first line.
  void SetLines(std::vector<WString> extensions);
  size_t LineCount() const { return ext_.size(); }
  const WString& Extension(size_t line) const { return ext_[line]; }
  bool Checked(size_t line) const { return line < checked_.size() && checked_[line]; }
  void SetChecked(size_t line, bool on) {
    if (line < checked_.size()) checked_[line] = on;
  }
  const WString& Text() const { return text_; }
  void SetText(WStringView text) { text_ = WString(text); }
  // The line of an extension (exact match), -1 when none.
  int LineOf(WStringView ext) const;

  // Line 0 to the given state, the others unchecked; "*" or empty text.
  void SetAll(bool checked);
  // A click on a line: it toggles.
  void Toggle(size_t line);
  // The list opens: tidy the text, uncheck lines the text no longer names,
  // check the lines its extension patterns name.
  void DropDown();
  void Tidy() { text_ = TidyLookForText(text_); }

 private:
  std::vector<WString> ext_;
  std::vector<bool> checked_;
  std::unordered_map<WString, size_t> lineOf_;
  WString text_;
};
