#include "carving/PhraseList.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "carving/TextHelpers.h"
#include "foundation/AppState.h"
#include "foundation/Trace.h"

namespace {

inline int FoldTokenByte(const char* s, size_t i) {
  int c = uint8_t(s[i]);
  if (c >= 'A' && c <= 'Z') return c + 32;
  // 0xA0..0xBE after 0xC3 are U+00E0..U+00FE; U+00F7 (division sign) has no
  // capital counterpart.
  if (c >= 0xA0 && c <= 0xBE && c != 0xB7 && i > 0 && uint8_t(s[i - 1]) == 0xC3) return c - 32;
  return c;
}

inline bool IsTokenBreak(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Reads one line without its end; false at the end of the file. A line
// longer than `limit` is consumed whole and reported through *tooLong.
bool ReadLine(FILE* f, std::string* line, size_t limit, bool* tooLong) {
  line->clear();
  *tooLong = false;
  bool any = false;
  int c;
  while ((c = getc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line->size() < limit) line->push_back(char(c));
    else *tooLong = true;
  }
  return any;
}

}  // namespace

int ComparePhraseToken(const char* token, const char* word) {
  for (size_t i = 0;; ++i) {
    if (token[i] == 0) return word[i] == 0 ? 0 : -1;
    if (word[i] == 0) return 1;
    int a = FoldTokenByte(token, i), b = FoldTokenByte(word, i);
    if (a != b) return a < b ? -1 : 1;
  }
}

int Phrase::Compare(char* const* words, int wordCount) {
  for (tokenIndex = 0; tokenIndex < TokenCount(); ++tokenIndex) {
    if (tokenIndex >= wordCount) return 1;
    int c = ComparePhraseToken(tokens[size_t(tokenIndex)].c_str(), words[tokenIndex]);
    if (c != 0) return c;
  }
  return 0;
}

int PhraseList::Load(const std::string& path) {
  phrases_.clear();
  std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "r"), fclose);
  if (!file) return 0;
  std::string line;
  bool tooLong = false;
  int lineNumber = 0;
  size_t totalBytes = 0;
  while (ReadLine(file.get(), &line, kMaxLineBytes, &tooLong)) {
    std::string_view rest(line);
    if (++lineNumber == 1 && rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
    if (tooLong) {
      if (traceZip.load(std::memory_order_relaxed))
        TracePrintfA("Phrase line %d longer than %u bytes skipped\n", lineNumber, unsigned(kMaxLineBytes));
      continue;
    }
    Phrase phrase;
    bool overlong = false;
    for (size_t i = 0; i < rest.size();) {
      while (i < rest.size() && IsTokenBreak(rest[i])) ++i;
      size_t start = i;
      while (i < rest.size() && !IsTokenBreak(rest[i])) ++i;
      if (i == start) break;
      if (phrase.TokenCount() == kMaxTokensPerPhrase) {
        overlong = true;
        break;
      }
      phrase.tokens.emplace_back(rest.substr(start, i - start));
    }
    if (phrase.tokens.empty() || overlong) continue;
    totalBytes += rest.size();
    if (Count() == kMaxPhrases || totalBytes > kMaxTotalBytes) {
      if (traceZip.load(std::memory_order_relaxed))
        TracePrintfA("Phrase list limit reached after %d phrases\n", Count());
      break;
    }
    phrases_.push_back(std::move(phrase));
  }
  // Matching bisects the list: a file out of order would lose matches
  // silently. A sorted file keeps its order (equal phrases too).
  std::stable_sort(phrases_.begin(), phrases_.end(), [](const Phrase& a, const Phrase& b) {
    const size_t n = std::min(a.tokens.size(), b.tokens.size());
    for (size_t i = 0; i < n; ++i) {
      const int c = ComparePhraseToken(a.tokens[i].c_str(), b.tokens[i].c_str());
      if (c != 0) return c < 0;
    }
    return a.tokens.size() < b.tokens.size();
  });
  return Count();
}

int PhraseList::Match(std::string_view text) {
  text = text.substr(0, std::min(text.size(), text.find('\0')));
  bool trace = traceZip.load(std::memory_order_relaxed) != 0;
  if (trace) TracePrintfA("Match: %s\n", text);
  if (text.empty() || phrases_.empty()) return 0;
  scratch_.assign(text.begin(), text.end());
  scratch_.push_back(0);
  int wordCount = splitter_.Split(scratch_.data());
  char* const* words = splitter_.words.data();
  int matches = 0;
  for (int i = 0; i < wordCount; ++i) {
    int lo = 0, hi = Count();
    while (lo < hi) {
      int mid = lo + (hi - lo) / 2;
      Phrase& phrase = phrases_[size_t(mid)];
      int c = phrase.Compare(words + i, wordCount - i);
      if (c > 0) {
        hi = mid;
      } else if (c < 0) {
        lo = mid + 1;
      } else {
        if (trace) {
          std::string line = "Matched";
          for (int t = 0; t < phrase.TokenCount() && t < 16; ++t) line += " " + phrase.tokens[size_t(t)];
          line += "\n";
          TracePrintfA("%s", line);
        }
        ++matches;
        break;
      }
    }
  }
  return matches;
}

int PhraseList::ScoreText(std::string_view text, std::string* out) {
  text = text.substr(0, std::min(text.size(), text.find('\0')));
  int score = 0;
  size_t pos = 0;
  while ((pos = text.find('>', pos)) != std::string_view::npos) {
    size_t start = pos + 1;
    size_t end = text.find('<', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view run = text.substr(start, end - start);
    if (!run.empty()) {
      if (out) AppendTextLine(run, out);
      score += Match(run);
    }
    pos = end;
  }
  return score;
}

std::shared_ptr<void> LoadPhraseListFile(const std::string& path, int* count) {
  auto list = std::make_shared<PhraseList>();
  const int n = list->Load(path);
  if (count) *count = n;
  return list;
}

const PhraseList* OptionPhraseList() {
  return g_appState ? static_cast<const PhraseList*>(g_appState->phraseList.get()) : nullptr;
}
