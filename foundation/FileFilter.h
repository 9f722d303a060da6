// The file-name filter list: a sorted list of exact names, one a line in a
// UTF-8 text file named by the options file ("Filter File"); scanners keep
// only the files whose names it holds. Names compare with ASCII letters
// folded.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Text.h"

class FileFilter {
 public:
  // Lines of this many bytes or more (line end not counted) are dropped
  // whole, and so are names this long.
  static constexpr size_t kMaxLineBytes = 1024;
  // A larger file is refused rather than exhausting memory.
  static constexpr size_t kMaxTotalBytes = size_t(256) << 20;

  // Loads the list. The file must hold at least one name, each line after
  // trimming greater than the one before without regard to case. On failure
  // the message goes to the last error and DvCodeError is thrown.
  explicit FileFilter(const std::string& path);
  FileFilter(const FileFilter&) = delete;
  FileFilter& operator=(const FileFilter&) = delete;

  // Binary search, ASCII letters folded.
  bool Contains(std::string_view name) const;
  // The UTF-8 form of the name looked up.
  bool ContainsW(WStringView name) const;
  // Skips leading blanks, ends the line at its first CR or LF and drops
  // trailing blanks.
  static std::string_view TrimLine(std::string_view line);
  // <0, 0, >0 with ASCII letters folded, bytes otherwise unsigned.
  static int CompareNames(std::string_view a, std::string_view b);

  size_t count() const { return names_.size(); }
  std::string_view At(size_t i) const { return names_[i]; }

 private:
  std::string nameText_;  // every name, each ended by a zero byte
  std::vector<std::string_view> names_;
};

// The scanners' test: no list admits every name.
inline bool FileFilterAdmits(const FileFilter* filter, WStringView name) {
  return !filter || filter->ContainsW(name);
}
