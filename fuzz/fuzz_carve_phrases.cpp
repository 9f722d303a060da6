// The phrase list and the XML text helpers: the input up to its first zero
// byte is a phrase file, the rest a text to match and score and to search
// for document properties and dates.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "carving/PhraseList.h"
#include "carving/TextHelpers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/fuzz_carve_phrases_" + std::to_string(getpid()) + ".txt";
  const void* zero = std::memchr(data, 0, size);
  const size_t split = zero ? size_t(static_cast<const uint8_t*>(zero) - data) : size;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, split, f);
  std::fclose(f);
  PhraseList list;
  const int n = list.Load(path);
  if (n < 0 || n != list.Count()) std::abort();
  // Sorted: each phrase no larger than the next.
  for (int i = 1; i < n; ++i) {
    const Phrase& a = list.At(i - 1);
    const Phrase& b = list.At(i);
    for (size_t k = 0; k < a.tokens.size() && k < b.tokens.size(); ++k) {
      const int c = ComparePhraseToken(a.tokens[k].c_str(), b.tokens[k].c_str());
      if (c > 0) std::abort();
      if (c < 0) break;
    }
  }
  const char* text = reinterpret_cast<const char*>(data) + (zero ? split + 1 : split);
  const size_t length = zero ? size - split - 1 : 0;
  const std::string_view view(text, length);
  list.Match(view);
  std::string lines;
  list.ScoreText(view, &lines);
  for (const char* tag : {"<dc:title", "<cp:lastModifiedBy", "<dcterms:modified"}) {
    if (auto t = FindXmlTagText(text, length, tag)) {
      if (t->data() < text || t->data() + t->size() > text + length) std::abort();
    }
  }
  GetCoreXmlModified(text, length);
  GetCoreXmlLastModifiedBy(text, length);
  if (const char* d = FindExifDateTime(text, length))
    if (d < text || d + 19 > text + length) std::abort();
  CountTextChars(text, length);
  return 0;
}
