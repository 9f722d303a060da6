#include "foundation/FileFilter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "foundation/Trace.h"
#include "platform/Errors.h"

namespace {

[[noreturn]] void Fail() { throw DvCodeError{theTrace().LastErrorCode()}; }

// Reads the file a chunk at a time and hands out whole lines (without the
// LF). A line that reaches `limit` bytes is consumed to its end and reported
// as over-long instead of being split.
class LineReader {
 public:
  LineReader(FILE* f, size_t limit) : f_(f), limit_(limit), buf_(65536) {}
  // False at the end of the file or on a read error (see Failed).
  bool Next(std::string* line, bool* overLong) {
    line->clear();
    *overLong = false;
    bool any = false;
    for (;;) {
      if (pos_ == len_) {
        len_ = fread(buf_.data(), 1, buf_.size(), f_);
        pos_ = 0;
        if (len_ == 0) return any;
      }
      any = true;
      const char* start = buf_.data() + pos_;
      const char* lf = static_cast<const char*>(memchr(start, '\n', len_ - pos_));
      size_t take = lf ? size_t(lf - start) : len_ - pos_;
      if (!*overLong) {
        // One byte beyond the limit is kept so a CR just past it can still
        // be told from content.
        size_t room = limit_ + 1 - line->size();
        line->append(start, std::min(take, room));
        if (take > room) *overLong = true;
      }
      pos_ += take;
      if (lf) {
        ++pos_;
        break;
      }
    }
    if (!*overLong) {
      size_t content = line->size();
      if (content > 0 && (*line)[content - 1] == '\r') --content;
      if (content >= limit_) *overLong = true;
    }
    return true;
  }
  bool Failed() const { return ferror(f_) != 0; }

 private:
  FILE* f_;
  size_t limit_;
  std::vector<char> buf_;
  size_t pos_ = 0, len_ = 0;
};

}  // namespace

std::string_view FileFilter::TrimLine(std::string_view line) {
  size_t start = 0;
  while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
  line.remove_prefix(start);
  size_t end = line.find_first_of("\r\n");
  if (end != std::string_view::npos) line = line.substr(0, end);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  return line;
}

int FileFilter::CompareNames(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int x = uint8_t(AsciiLower(a[i])), y = uint8_t(AsciiLower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

FileFilter::FileFilter(const std::string& path) {
  const WString widePath = FromUtf8(path);
  std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "rb"), fclose);
  struct stat st;
  if (!file || fstat(fileno(file.get()), &st) != 0 || S_ISDIR(st.st_mode)) {
    VErrorMsg(u"File filter %s not found", widePath);
    Fail();
  }
  try {
    // Offsets first: the text block moves while it grows.
    std::vector<std::pair<size_t, size_t>> spans;
    LineReader reader(file.get(), kMaxLineBytes);
    std::string line;
    bool overLong = false, first = true;
    while (reader.Next(&line, &overLong)) {
      std::string_view name(line);
      if (first && name.substr(0, 3) == "\xEF\xBB\xBF") name.remove_prefix(3);
      first = false;
      if (overLong) continue;
      name = TrimLine(name);
      if (name.empty()) continue;
      if (!spans.empty()) {
        std::string_view previous = std::string_view(nameText_).substr(spans.back().first, spans.back().second);
        if (CompareNames(name, previous) <= 0) {
          VErrorMsg(u"Filename out of order %s", name);
          Fail();
        }
      }
      if (nameText_.size() + name.size() + 1 > kMaxTotalBytes) {
        VErrorMsg(u"File filter %s is too large", widePath);
        Fail();
      }
      spans.emplace_back(nameText_.size(), name.size());
      nameText_.append(name);
      nameText_.push_back('\0');
    }
    if (reader.Failed()) {
      ErrorMsg(nullptr, widePath.c_str());
      Fail();
    }
    if (spans.empty()) {
      VErrorMsg(u"No valid data in %s", widePath);
      Fail();
    }
    nameText_.shrink_to_fit();
    names_.reserve(spans.size());
    for (const auto& [offset, length] : spans) names_.emplace_back(nameText_.data() + offset, length);
  } catch (const std::bad_alloc&) {
    ErrorMsg(u"Out of memory.");
    Fail();
  }
}

bool FileFilter::Contains(std::string_view name) const {
  auto it = std::lower_bound(names_.begin(), names_.end(), name,
                             [](std::string_view a, std::string_view b) { return CompareNames(a, b) < 0; });
  return it != names_.end() && CompareNames(*it, name) == 0;
}

bool FileFilter::ContainsW(WStringView name) const {
  std::string narrow = ToUtf8(name);
  // No kept name is this long; cutting it could match a different name.
  if (narrow.size() >= kMaxLineBytes) return false;
  return Contains(narrow);
}
