#include "diagnostics/IoTraceFormat.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/Text.h"

namespace iotrace {

namespace {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), size_(size) {}
  bool Has(size_t n) const { return n <= size_ - at_; }
  uint64_t Get(size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= uint64_t(p_[at_ + i]) << (8 * i);
    at_ += n;
    return v;
  }
  const uint8_t* Here() const { return p_ + at_; }
  void Skip(size_t n) { at_ += n; }
  size_t at() const { return at_; }
  size_t size() const { return size_; }

 private:
  const uint8_t* p_;
  size_t size_;
  size_t at_ = 0;
};

// A length byte's worth of 1- or 2-byte characters, as UTF-8.
std::string NameOf(const uint8_t* p, size_t chars, bool wide) {
  WString w;
  w.reserve(chars);
  for (size_t i = 0; i < chars; ++i) w.push_back(wide ? char16_t(p[2 * i] | (p[2 * i + 1] << 8)) : char16_t(p[i]));
  return ToUtf8(w);
}

}  // namespace

Summary Decode(const uint8_t* data, size_t size, const std::function<void(const Record&)>& each) {
  Summary s;
  Reader in(data, size);
  uint64_t base = 0;
  uint64_t prevSector = 0, prevCount = 0;
  bool prevValid = false;
  auto fault = [&](const char* what, size_t at) {
    char line[160];
    std::snprintf(line, sizeof line, "%s at log offset %zu", what, at);
    s.error = line;
    return s;
  };
  while (true) {
    if (!in.Has(1)) return fault("log ends without opcode 0", in.at());
    Record r;
    r.at = in.at();
    r.op = uint8_t(in.Get(1));
    if (s.records == 0 && r.op != kHeader) return fault("no header", r.at);
    // The fixed part of each record, before its optional parts.
    auto need = [&](size_t n) { return in.Has(n); };
    auto off16 = [&]() { r.sector = int64_t(base + in.Get(2)); };
    auto name = [&](size_t chars, bool wide) {
      const size_t bytes = chars * (wide ? 2 : 1);
      if (!in.Has(bytes)) return false;
      r.name = NameOf(in.Here(), chars, wide);
      in.Skip(bytes);
      return true;
    };
    auto cached = [&](uint8_t flags, uint8_t a, uint8_t b, uint8_t c) {
      size_t n = 0;
      for (uint8_t f : {a, b, c})
        if (!(flags & f)) n += 4;
      if (!in.Has(n)) return false;
      in.Skip(n);
      return true;
    };
    bool ok = true;
    switch (r.op) {
      case kEnd:
        s.endAt = in.at();
        s.ok = true;
        {
          bool zeros = size % 4096 == 0;
          for (size_t i = s.endAt; zeros && i < size; ++i) zeros = data[i] == 0;
          s.zeroPadded = zeros;
        }
        ++s.records;
        if (each) each(r);
        return s;
      case kHeader: {
        if (s.records != 0) return fault("second header", r.at);
        if (!need(6)) return fault("short header", r.at);
        const uint8_t version = uint8_t(in.Get(1));
        in.Get(2);
        s.shift = uint32_t(in.Get(1));
        const size_t n = size_t(in.Get(2));
        if (version != kFormatVersion) return fault("unknown format version", r.at);
        if (s.shift < 9 || s.shift > 16) return fault("sector-size shift out of range", r.at);
        if (!name(n, true)) return fault("short header name", r.at);
        s.driveName = r.name;
        r.value = s.shift;
        break;
      }
      case kRead:
        if ((ok = need(4))) {
          off16();
          r.count = in.Get(2);
          if (r.count == 0) return fault("read of no sectors", r.at);
        }
        break;
      case kReadRange:
        if ((ok = need(6))) {
          const uint64_t v = in.Get(6);
          unsigned ones = 0;
          while (ones < 17 && (v >> ones) & 1) ++ones;
          if (ones > 16) return fault("read range count too large", r.at);
          r.count = uint64_t(1) << ones;
          r.sector = int64_t(v & ~(r.count - 1));
        }
        break;
      case kReadNext:
        if (!prevValid) return fault("read continues nothing", r.at);
        r.sector = int64_t(prevSector + prevCount);
        r.count = prevCount;
        break;
      case kFoundFile: {
        if (!(ok = need(9))) break;
        r.flags = uint8_t(in.Get(1));
        const size_t chars = size_t(in.Get(1));
        r.value2 = in.Get(5);  // parent
        off16();
        size_t n = (r.flags & 0x10 ? 4 : 0) + (r.flags & 4 ? 0 : 5) + (r.flags & 2 ? 6 : 4);
        if (!(ok = need(n))) break;
        if (r.flags & 0x10) in.Get(4);
        if (!(r.flags & 4)) in.Get(5);
        r.value = in.Get(r.flags & 2 ? 6 : 4);
        ok = name(chars, r.flags & 1);
        break;
      }
      case kRunLists:
        if (!(ok = need(1))) break;
        r.count = in.Get(1);
        if (r.count == 0) return fault("run lists of no entries", r.at);
        for (uint64_t i = 0; ok && i < r.count; ++i) {
          if (!(ok = need(2))) break;
          const size_t len = size_t(in.Get(2));
          if ((ok = need(len))) in.Skip(len);
          r.value += len;
        }
        break;
      case kOp5:
        if ((ok = need(10))) off16(), r.value = in.Get(4), r.value2 = in.Get(4);
        break;
      case kStride:
        if ((ok = need(6))) r.value = in.Get(2), r.value2 = in.Get(2), off16();
        break;
      case kBase:
        if ((ok = need(4))) base = in.Get(4) << 16, r.value = base;
        break;
      case kChannel:
        if ((ok = need(1))) r.value = in.Get(1);
        break;
      case kDriveOp:
        if ((ok = need(5))) r.flags = uint8_t(in.Get(1)), r.value = in.Get(2) * 512, off16();
        break;
      case kHit:
        if (!(ok = need(9))) break;
        r.value2 = in.Get(1);  // type
        off16();
        r.value = in.Get(4);
        if (r.value == 0xFFFFFFFF) {
          if (!(ok = need(8))) break;
          r.value = in.Get(8);
        }
        if (!(ok = need(2))) break;
        r.count = in.Get(2);
        if (r.count == 0xFFFF) {
          if (!(ok = need(4))) break;
          r.count = in.Get(4);
        }
        break;
      case kInode13:
      case kInode14:
        if (!(ok = need(7))) break;
        r.flags = uint8_t(in.Get(1));
        off16();
        r.value2 = in.Get(4);
        if (!(ok = need(r.flags & 2 ? 6 : 4))) break;
        r.value = in.Get(r.flags & 2 ? 6 : 4);
        if (!(ok = cached(r.flags, 4, 0x10, 0x20))) break;
        if (r.op == kInode13 && (r.flags & 0xC0) == 0xC0) ok = need(1) && (in.Get(1), true);
        break;
      case kOp15:
        if ((ok = need(8))) off16(), r.value = in.Get(3), r.value2 = in.Get(3);
        break;
      case kDirEntry:
        if (!(ok = need(8))) break;
        r.flags = uint8_t(in.Get(1));
        off16();
        r.value = in.Get(4);
        ok = name(size_t(in.Get(1)), false);
        break;
      case kOp17:
        if ((ok = need(6))) off16(), r.value = in.Get(4);
        break;
      case kCatalog:
        if (!(ok = need(11))) break;
        r.flags = uint8_t(in.Get(1));
        off16();
        r.value2 = in.Get(4);
        r.value = in.Get(4);
        if ((r.flags & 8) && !(ok = need(r.flags & 2 ? 6 : 4))) break;
        if (r.flags & 8) r.count = in.Get(r.flags & 2 ? 6 : 4);
        if (!(ok = cached(r.flags, 4, 0x10, 0x20))) break;
        if ((r.flags & 0x80) && !(ok = need(4))) break;
        if (r.flags & 0x80) in.Get(4);
        if (!(ok = need(1))) break;
        ok = name(size_t(in.Get(1)), r.flags & 1);
        break;
      case kNamed:
        if (!(ok = need(12))) break;
        r.flags = uint8_t(in.Get(1));
        off16();
        r.value2 = in.Get(4);
        r.value = in.Get(4);
        ok = name(size_t(in.Get(1)), r.flags & 1);
        break;
      case kOp20:
        if (!(ok = need(4))) break;
        r.value2 = in.Get(1);
        r.flags = uint8_t(in.Get(1));
        in.Get(2);
        if (!(ok = need(r.flags & 2 ? 6 : 4))) break;
        r.value = in.Get(r.flags & 2 ? 6 : 4);
        if (!(r.flags & 1) && (ok = need(6))) r.sector = int64_t(in.Get(6));
        break;
      case kOp23:
        if (!(ok = need(7))) break;
        r.flags = uint8_t(in.Get(1));
        off16();
        r.value = in.Get(4);
        if (!(r.flags & 2) && (ok = need(r.flags & 4 ? 12 : 8))) in.Get(4), r.value2 = in.Get(r.flags & 4 ? 8 : 4);
        break;
      case kOp24:
        if (!(ok = need(3))) break;
        r.flags = uint8_t(in.Get(1));
        off16();
        ok = need(r.flags == 0 ? 28 : 1);
        if (ok) in.Skip(r.flags == 0 ? 28 : 1);
        break;
      case kOp25: {
        if (!(ok = need(8))) break;
        r.flags = uint8_t(in.Get(1));
        off16();
        r.value = in.Get(4);
        const size_t chars = size_t(in.Get(1));
        if (chars > 127) return fault("name longer than 127", r.at);
        ok = name(chars, false);
        break;
      }
      default: return fault("unknown opcode", r.at);
    }
    if (!ok) return fault("record cut short", r.at);
    if (r.op == kRead || r.op == kReadRange || r.op == kReadNext) {
      r.dataAt = s.dataBytes;
      s.dataBytes += r.count << s.shift;
      ++s.reads;
      prevSector = uint64_t(r.sector);
      prevCount = r.count;
      prevValid = true;
    }
    ++s.records;
    if (each) each(r);
  }
}

std::string Describe(const Record& r) {
  char line[512];
  const long long sector = (long long)r.sector;
  const unsigned long long v = r.value, v2 = r.value2, n = r.count;
  switch (r.op) {
    case kEnd: std::snprintf(line, sizeof line, "end"); break;
    case kHeader: std::snprintf(line, sizeof line, "header shift=%llu name=\"%s\"", v, r.name.c_str()); break;
    case kRead:
    case kReadRange:
    case kReadNext:
      std::snprintf(line, sizeof line, "read%s sector=%lld count=%llu data=%llu",
                    r.op == kRead ? "" : (r.op == kReadRange ? " range" : " next"), sector, n,
                    (unsigned long long)r.dataAt);
      break;
    case kFoundFile:
      std::snprintf(line, sizeof line, "file flags=0x%02x sector=%lld parent=%llu size=%llu name=\"%s\"", r.flags,
                    sector, v2, v, r.name.c_str());
      break;
    case kRunLists: std::snprintf(line, sizeof line, "runs entries=%llu bytes=%llu", n, v); break;
    case kStride:
      std::snprintf(line, sizeof line, "stride sector=%lld first=0x%04llx second=0x%04llx", sector, v, v2);
      break;
    case kBase: std::snprintf(line, sizeof line, "base %llu", v); break;
    case kChannel: std::snprintf(line, sizeof line, "channel %llu", v); break;
    case kDriveOp:
      std::snprintf(line, sizeof line, "drive-op code=%u sector=%lld bytes=%llu", r.flags, sector, v);
      break;
    case kHit:
      std::snprintf(line, sizeof line, "hit type=%llu sector=%lld size=%llu counter=%llu", v2, sector, v, n);
      break;
    case kDirEntry:
      std::snprintf(line, sizeof line, "dir-entry type=%u sector=%lld inode=%llu name=\"%s\"", r.flags, sector, v,
                    r.name.c_str());
      break;
    case kCatalog:
    case kNamed:
    case kOp25:
      std::snprintf(line, sizeof line, "op%u flags=0x%02x sector=%lld value=%llu name=\"%s\"", r.op, r.flags, sector, v,
                    r.name.c_str());
      break;
    default:
      std::snprintf(line, sizeof line, "op%u flags=0x%02x sector=%lld value=%llu value2=%llu", r.op, r.flags, sector, v,
                    v2);
  }
  return line;
}

}  // namespace iotrace

namespace iotrace {

namespace {

bool ReadWhole(const std::string& path, std::vector<uint8_t>* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t chunk[1 << 16];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out->insert(out->end(), chunk, chunk + n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

}  // namespace

std::string SiblingFile(const std::string& log, int number) {
  const size_t n = log.size();
  if (n < 7 || number < 0 || number > 99 || log.compare(n - 4, 4, ".bin") != 0 || log[n - 7] != '_' ||
      !std::isdigit(uint8_t(log[n - 6])) || !std::isdigit(uint8_t(log[n - 5])))
    return std::string();
  std::string out = log;
  out[n - 6] = char('0' + number / 10);
  out[n - 5] = char('0' + number % 10);
  return out;
}

FileCheck CheckFiles(const std::string& logPath, const std::string& dataPath,
                     const std::function<void(const Record&)>& each) {
  FileCheck c;
  std::vector<uint8_t> bytes;
  auto unreadable = [&](const std::string& path) {
    c.problem = path + ": " + std::strerror(errno);
    c.readFailed = true;
    return c;
  };
  if (!ReadWhole(logPath, &bytes)) return unreadable(logPath);
  c.logFiles.push_back(logPath);
  // The successors, while they exist (the number in the name goes up).
  const size_t n = logPath.size();
  const int number = SiblingFile(logPath, 0).empty() ? 0 : (logPath[n - 6] - '0') * 10 + (logPath[n - 5] - '0');
  for (int next = number + 1; number > 0 && next <= 99; ++next) {
    const std::string s = SiblingFile(logPath, next);
    struct stat st;
    if (s.empty() || ::stat(s.c_str(), &st) != 0) break;
    if (!ReadWhole(s, &bytes)) return unreadable(s);
    c.logFiles.push_back(s);
  }
  c.summary = Decode(bytes.data(), bytes.size(), each);
  c.dataPath = dataPath.empty() ? SiblingFile(logPath, 0) : dataPath;
  if (!c.summary.ok) {
    c.problem = c.summary.error;
    return c;
  }
  if (!c.summary.zeroPadded) {
    c.problem = "opcode 0 is not followed by zeros to a multiple of 4,096 bytes";
    return c;
  }
  struct stat st;
  if (c.dataPath.empty() || ::stat(c.dataPath.c_str(), &st) != 0) {
    c.problem = "no data file " + c.dataPath;
    return c;
  }
  if (uint64_t(st.st_size) != c.summary.dataBytes) {
    char line[160];
    std::snprintf(line, sizeof line, "the data file holds %llu bytes, the reads announce %llu",
                  (unsigned long long)st.st_size, (unsigned long long)c.summary.dataBytes);
    c.problem = line;
  }
  return c;
}

}  // namespace iotrace
