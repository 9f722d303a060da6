// Cuts a narrow text in place into words, remembering for each word the byte
// that ended it. Used to match phrases against text found inside files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

class WordSplitter {
 public:
  WordSplitter() { Init(); }
  WordSplitter(const WordSplitter&) = delete;
  WordSplitter& operator=(const WordSplitter&) = delete;

  // Sets the byte classes and drops any words held.
  void Init();
  // Splits a zero-terminated text (the caller's, changed in place: every
  // ending separator becomes a zero byte). Returns the number of words.
  int Split(char* text);

  // 1 for a word byte (0-9, A-Z, a-z and every byte from 128 up), 0 for a
  // separator.
  uint8_t wordClass[256];
  char* text = nullptr;
  size_t position = 0;
  // words[i] points into text; enders[i] is the byte that followed it (0 at
  // the end of the text). Both hold `capacity` slots, `wordCount` in use.
  std::vector<char*> words;
  std::vector<char> enders;
  int wordCount = 0;
  int capacity = 0;

  static constexpr int kGrowBy = 64;

 private:
  void Add(char* word, char ender);
};
