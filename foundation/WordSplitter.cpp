#include "foundation/WordSplitter.h"

void WordSplitter::Init() {
  for (int c = 0; c < 256; ++c) {
    bool word = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 128;
    wordClass[c] = word ? 1 : 0;
  }
  words.clear();
  enders.clear();
  wordCount = 0;
  capacity = 0;
  text = nullptr;
  position = 0;
}

void WordSplitter::Add(char* word, char ender) {
  if (wordCount == capacity) {
    capacity += kGrowBy;
    words.resize(size_t(capacity));
    enders.resize(size_t(capacity));
  }
  words[size_t(wordCount)] = word;
  enders[size_t(wordCount)] = ender;
  ++wordCount;
}

int WordSplitter::Split(char* newText) {
  text = newText;
  position = 0;
  wordCount = 0;
  if (!text) return 0;
  for (;;) {
    while (text[position] != 0 && !wordClass[uint8_t(text[position])]) ++position;
    if (text[position] == 0) break;
    char* word = text + position;
    while (text[position] != 0 && wordClass[uint8_t(text[position])]) ++position;
    char ender = text[position];
    Add(word, ender);
    if (ender == 0) break;
    text[position++] = 0;
  }
  return wordCount;
}
