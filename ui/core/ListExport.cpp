#include "ui/core/ListExport.h"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "ui/core/Parallel.h"

namespace {

// UTF-16 code units as little-endian bytes.
void AppendUnits(std::vector<char>& out, WStringView text) {
  const size_t at = out.size();
  out.resize(at + text.size() * 2);
  char* p = out.data() + at;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, text.data(), text.size() * 2);
  } else {
    for (char16_t c : text) {
      *p++ = char(c & 0xFF);
      *p++ = char(c >> 8);
    }
  }
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

}  // namespace

void AppendCsvField(WString& line, WStringView text, size_t limit) {
  if (text.size() > limit) {
    // Never half of a surrogate pair.
    size_t cut = limit;
    if (cut > 0 && text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) --cut;
    text = text.substr(0, cut);
  }
  line.push_back(u'"');
  for (char16_t c : text) {
    if (c == u'"') line.push_back(u'"');
    line.push_back(c);
  }
  line.push_back(u'"');
}

bool ExportList(const std::string& fileName, int64_t rows, const std::array<WString, 7>& headers,
                const std::function<void(int64_t row, std::array<WString, 7>& cells)>& rowText,
                const std::function<void()>& between, int64_t blockRows) {
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  {
    std::vector<char> head{char(0xFF), char(0xFE)};
    WString line;
    for (size_t c = 0; c < headers.size(); ++c) {
      if (c > 0) line.push_back(u',');
      line += headers[c];
    }
    line += u"\r\n";
    AppendUnits(head, line);
    ok = WriteAll(fd, head.data(), head.size());
  }
  // Blocks of rows formatted on several threads while the block before is
  // written by a thread of its own.
  const int64_t kBlockRows = std::max<int64_t>(blockRows, 1);
  const unsigned maxParts = ListThreads();
  std::vector<std::vector<char>> buffers[2] = {std::vector<std::vector<char>>(maxParts),
                                              std::vector<std::vector<char>>(maxParts)};
  std::thread writer;
  bool written = true;
  auto finishWrite = [&] {
    if (writer.joinable()) writer.join();
    ok = ok && written;
  };
  int side = 0;
  for (int64_t first = 0; ok && first < rows; first += kBlockRows, side ^= 1) {
    if (first > 0 && between) between();
    const int64_t count = std::min(kBlockRows, rows - first);
    const unsigned parts = ParallelParts(size_t(count), 4096);
    std::vector<std::vector<char>>& set = buffers[side];
    for (auto& b : set) b.clear();
    ParallelFor(size_t(count), 4096, [&](size_t b, size_t e, unsigned part) {
      std::vector<char>& out = set[part];
      out.clear();
      std::array<WString, 7> cells;
      WString line;
      for (size_t k = b; k < e; ++k) {
        for (WString& c : cells) c.clear();
        rowText(first + int64_t(k), cells);
        line.clear();
        for (size_t c = 0; c < 7; ++c) {
          if (c > 0) line.push_back(u',');
          AppendCsvField(line, cells[c], kExportColumnLimits[c]);
        }
        line += u"\r\n";
        AppendUnits(out, line);
      }
    });
    finishWrite();
    if (!ok) break;
    writer = std::thread([&written, &set, parts, fd] {
      written = true;
      for (unsigned p = 0; p < parts && written; ++p) written = WriteAll(fd, set[p].data(), set[p].size());
    });
  }
  finishWrite();
  if (::close(fd) != 0) ok = false;
  return ok;
}
