// A sorted list of phrases (sequences of words) loaded from a UTF-8 text
// file, one phrase a line, against which text found inside documents is
// scored to help pick out the fragments of one particular lost document.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/WordSplitter.h"

// Compares a phrase token with a word, both zero-terminated UTF-8: ASCII
// capitals fold to small letters, and the second byte of a small Latin-1
// letter (after 0xC3) folds to its capital's. Negative, 0 or positive; a
// token that is a proper prefix of the word is smaller, a word that is a
// proper prefix of the token makes the token larger.
int ComparePhraseToken(const char* token, const char* word);

struct Phrase {
  std::vector<std::string> tokens;
  int tokenIndex = 0;  // the token being compared

  int TokenCount() const { return int(tokens.size()); }
  // Compares the phrase with words[0], words[1], ... (wordCount of them):
  // 0 when every token equals the word in its place; running out of words
  // makes the phrase larger.
  int Compare(char* const* words, int wordCount);
};

class PhraseList {
 public:
  // A phrase file comes from the user: these keep a malformed or hostile
  // one from exhausting memory. Longer lines are skipped whole, and loading
  // stops at the phrase or byte limit.
  static constexpr size_t kMaxLineBytes = 65536;
  static constexpr int kMaxTokensPerPhrase = 256;
  static constexpr int kMaxPhrases = 1000000;
  static constexpr size_t kMaxTotalBytes = size_t(64) << 20;

  PhraseList() = default;
  PhraseList(const PhraseList&) = delete;
  PhraseList& operator=(const PhraseList&) = delete;

  // Replaces the list by the phrases of the file, sorted (ascending under
  // the token comparison, a phrase before its longer ones), since matching
  // bisects. Returns the number of phrases; 0 when the file cannot be read.
  int Load(const std::string& path);
  // The number of word positions of the text at which some phrase matches.
  // The text ends at its first zero byte.
  int Match(std::string_view text);
  // Sum of Match over the runs between a '>' and the next '<' (or the end);
  // each non-empty run is also appended to `out` as a line when given.
  int ScoreText(std::string_view text, std::string* out = nullptr);

  int Count() const { return int(phrases_.size()); }
  const Phrase& At(int i) const { return phrases_[size_t(i)]; }

 private:
  std::vector<Phrase> phrases_;
  std::vector<char> scratch_;
  WordSplitter splitter_;
};

// The options loader's phrase list (SetPhraseListLoader): the phrases of the
// file at path, *count of them.
std::shared_ptr<void> LoadPhraseListFile(const std::string& path, int* count);
// The list the options file named; null when it named none.
const PhraseList* OptionPhraseList();
