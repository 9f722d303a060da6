#include "foundation/KeyStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Platform.h"
#include "platform/Text.h"

namespace {

constexpr off_t kMaxFileBytes = off_t(64) << 20;
constexpr char kHeader[] = "# Delvora key store: K<tab>key, V<tab>key<tab>name<tab>type<tab>data\n";

std::string Fold(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

// Tabs, line ends, backslashes and other control bytes are escaped, so a
// record is always one line of tab-separated fields.
void Escape(std::string_view in, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  for (char c : in) {
    switch (c) {
      case '\\': *out += "\\\\"; break;
      case '\t': *out += "\\t"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      default:
        if (uint8_t(c) < 0x20 || c == 0x7F) {
          *out += "\\x";
          out->push_back(kHex[uint8_t(c) >> 4]);
          out->push_back(kHex[uint8_t(c) & 15]);
        } else {
          out->push_back(c);
        }
    }
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(std::string_view in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++i >= in.size()) return false;
    switch (in[i]) {
      case '\\': out->push_back('\\'); break;
      case 't': out->push_back('\t'); break;
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 'x': {
        int hi = i + 1 < in.size() ? HexDigit(in[i + 1]) : -1;
        int lo = i + 2 < in.size() ? HexDigit(in[i + 2]) : -1;
        if (hi < 0 || lo < 0) return false;
        out->push_back(char(hi * 16 + lo));
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

bool DecodeHex(std::string_view in, std::string* out) {
  if (in.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < in.size(); i += 2) {
    int hi = HexDigit(in[i]), lo = HexDigit(in[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(char(hi * 16 + lo));
  }
  return true;
}

bool ParseUint32(std::string_view in, uint32_t* out) {
  if (in.empty() || in.size() > 10) return false;
  uint64_t v = 0;
  for (char c : in) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + uint64_t(c - '0');
  }
  if (v > 0xFFFFFFFFu) return false;
  *out = uint32_t(v);
  return true;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
}

int ReadStore(const std::string& file, KeyStore* store) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  struct stat st;
  int err = 0;
  std::string text;
  if (fstat(fd, &st) != 0) err = errno;
  else if (!S_ISREG(st.st_mode)) err = EINVAL;
  else if (st.st_size > kMaxFileBytes) err = EFBIG;
  if (!err) {
    text.resize(size_t(st.st_size));
    size_t got = 0;
    while (got < text.size()) {
      ssize_t n = read(fd, text.data() + got, text.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        err = errno;
        break;
      }
      if (n == 0) break;  // shrank meanwhile: take what is there
      got += size_t(n);
    }
    text.resize(got);
  }
  close(fd);
  if (!err) store->Parse(text);
  return err;
}

int MakeDirs(const std::string& dir, mode_t mode) {
  for (size_t at = 1; at <= dir.size(); ++at) {
    if (at < dir.size() && dir[at] != '/') continue;
    std::string part = dir.substr(0, at);
    if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return errno;
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

int WriteStore(const std::string& file, const KeyStore& store, mode_t mode) {
  std::string text = store.Serialize();
  std::string temp = file + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  int err = 0;
  if (fchmod(fd, mode) != 0 || !WriteAll(fd, text) || fsync(fd) != 0) err = errno ? errno : EIO;
  if (close(fd) != 0 && !err) err = errno;
  if (!err && rename(temp.c_str(), file.c_str()) != 0) err = errno;
  if (err) unlink(temp.c_str());
  return err;
}

// Writers of one folder take turns, across threads and processes, so no
// change is lost between reading a file and replacing it.
class StoreLock {
 public:
  explicit StoreLock(const std::string& dir) {
    fd_ = open((dir + "keys.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        error_ = errno;
        break;
      }
    }
  }
  ~StoreLock() {
    if (fd_ >= 0) close(fd_);
  }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

// Reads the root's file, lets `change` edit the model (it returns 0 to have
// it written, -1 when nothing changed, or an errno value) and writes it back.
template <class F>
int Modify(KeyRoot root, F change) {
  std::string file = KeyStore::StoreFile(root);
  if (file.empty()) return ENOTSUP;
  // The machine's store is everyone's to read, root's to write.
  const bool machine = root == KeyRoot::Machine;
  std::string dir = KeyStore::StoreDir(root);
  if (int e = MakeDirs(dir, machine ? 0755 : 0700)) return e;
  StoreLock lock(dir);
  if (lock.error()) return lock.error();
  KeyStore store;
  if (int e = ReadStore(file, &store)) return e;
  int r = change(store);
  if (r < 0) return 0;
  if (r > 0) return r;
  return WriteStore(file, store, machine ? 0644 : 0600);
}

}  // namespace

bool KeyStore::NormalizePath(std::string_view path, std::string* out) {
  out->clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t sep = path.find('\\', start);
    if (sep == std::string_view::npos) sep = path.size();
    if (sep > start) {
      if (!out->empty()) out->push_back('\\');
      out->append(path.substr(start, sep - start));
      if (out->size() > kMaxPathBytes) return false;
    }
    start = sep + 1;
  }
  return true;
}

std::string KeyStore::StoreDir(KeyRoot root) {
  switch (root) {
    case KeyRoot::User: return plat::ConfigDir();
    // One store for the machine, so every user sees what root installed.
    case KeyRoot::Machine: return plat::SystemRoot() + "/var/lib/delvora/";
    default: return std::string();
  }
}

std::string KeyStore::StoreFile(KeyRoot root) {
  switch (root) {
    case KeyRoot::User: return StoreDir(root) + "user.keys";
    case KeyRoot::Machine: return StoreDir(root) + "machine.keys";
    default: return std::string();
  }
}

int KeyStore::DeleteKey(KeyRoot root, const std::string& path, bool prune) {
  if (path.empty()) return EINVAL;  // a root is never deleted
  return Modify(root, [&](KeyStore& s) { return s.Remove(path, prune) ? 0 : ENOENT; });
}

int KeyStore::CreateKey(KeyRoot root, const std::string& path) {
  return Modify(root, [&](KeyStore& s) {
    if (s.HasKey(path)) return -1;
    s.AddKey(path);
    return 0;
  });
}

int KeyStore::KeyExists(KeyRoot root, const std::string& path) {
  std::string file = StoreFile(root);
  if (file.empty()) return ENOTSUP;
  if (path.empty()) return 0;
  KeyStore s;
  if (int e = ReadStore(file, &s)) return e;
  return s.HasKey(path) ? 0 : ENOENT;
}

int KeyStore::SetValue(KeyRoot root, const std::string& path, std::string_view name, const KeyValue& value) {
  if (value.data.size() > kMaxValueBytes) return E2BIG;
  return Modify(root, [&](KeyStore& s) {
    s.Set(path, name, value);
    return 0;
  });
}

int KeyStore::GetValue(KeyRoot root, const std::string& path, std::string_view name, KeyValue* value) {
  std::string file = StoreFile(root);
  if (file.empty()) return ENOTSUP;
  KeyStore s;
  if (int e = ReadStore(file, &s)) return e;
  const KeyValue* v = s.Find(path, name);
  if (!v) return ENOENT;
  *value = *v;
  return 0;
}

void KeyStore::Parse(std::string_view text) {
  std::string path, name, data, raw;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#' || line.size() > kMaxLineBytes) continue;
    std::vector<std::string_view> f = SplitTabs(line);
    if (f[0] == "K" && f.size() == 2) {
      if (Unescape(f[1], &raw) && NormalizePath(raw, &path)) AddKey(path);
      continue;
    }
    if (f[0] != "V" || f.size() != 5) continue;
    KeyValue v;
    if (!Unescape(f[1], &raw) || !NormalizePath(raw, &path) || !Unescape(f[2], &name) ||
        !ParseUint32(f[3], &v.type))
      continue;
    if (IsStringType(v.type)) {
      if (!Unescape(f[4], &data)) continue;
      v.data = ToUtf8(FromUtf8(data));  // damaged UTF-8 becomes U+FFFD
    } else if (f[4].substr(0, 2) == "x:") {
      if (!DecodeHex(f[4].substr(2), &v.data)) continue;
    } else {
      uint32_t n = 0;
      if (!ParseUint32(f[4], &n)) continue;
      v.data.assign(reinterpret_cast<const char*>(&n), 4);
    }
    if (v.data.size() > kMaxValueBytes) continue;
    Set(path, name, v);
  }
}

std::string KeyStore::Serialize() const {
  std::string out = kHeader;
  for (const auto& [folded, key] : keys_) {
    out += "K\t";
    Escape(key.path, &out);
    out += '\n';
    for (const auto& [name, v] : key.values) {
      out += "V\t";
      Escape(key.path, &out);
      out += '\t';
      Escape(name, &out);
      out += '\t';
      out += std::to_string(v.type);
      out += '\t';
      if (IsStringType(v.type)) {
        Escape(v.data, &out);
      } else if (v.data.size() == 4) {
        uint32_t n;
        memcpy(&n, v.data.data(), 4);
        out += std::to_string(n);
      } else {
        static const char kHex[] = "0123456789abcdef";
        out += "x:";
        for (char c : v.data) {
          out.push_back(kHex[uint8_t(c) >> 4]);
          out.push_back(kHex[uint8_t(c) & 15]);
        }
      }
      out += '\n';
    }
  }
  return out;
}

bool KeyStore::HasKey(const std::string& path) const { return path.empty() || keys_.count(Fold(path)) != 0; }

bool KeyStore::Remove(const std::string& path, bool prune) {
  const std::string folded = Fold(path);
  auto it = keys_.find(folded);
  if (it == keys_.end()) return false;
  // The key and everything below it.
  const std::string below = folded + "\\";
  keys_.erase(it);
  it = keys_.lower_bound(below);
  while (it != keys_.end() && it->first.compare(0, below.size(), below) == 0) it = keys_.erase(it);
  for (std::string parent = folded; prune;) {
    const size_t cut = parent.rfind('\\');
    if (cut == std::string::npos) break;
    parent.resize(cut);
    auto p = keys_.find(parent);
    if (p == keys_.end() || !p->second.values.empty()) break;
    auto next = keys_.lower_bound(parent + "\\");
    if (next != keys_.end() && next->first.compare(0, parent.size() + 1, parent + "\\") == 0) break;
    keys_.erase(p);
  }
  return true;
}

void KeyStore::AddKey(const std::string& path) {
  for (size_t at = 0; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '\\') continue;
    if (at == 0) continue;
    std::string prefix = path.substr(0, at);
    keys_.try_emplace(Fold(prefix), Key{prefix, {}});
  }
}

const KeyValue* KeyStore::Find(const std::string& path, std::string_view name) const {
  auto it = keys_.find(Fold(path));
  if (it == keys_.end()) return nullptr;
  for (const auto& [n, v] : it->second.values)
    if (EqualsNoCase(n, name)) return &v;
  return nullptr;
}

void KeyStore::Set(const std::string& path, std::string_view name, const KeyValue& value) {
  if (path.empty()) {
    // Values directly in a root live under the empty path's own record.
    keys_.try_emplace(std::string(), Key{});
  } else {
    AddKey(path);
  }
  Key& key = keys_[Fold(path)];
  for (auto& [n, v] : key.values) {
    if (EqualsNoCase(n, name)) {
      v = value;
      return;
    }
  }
  key.values.emplace_back(std::string(name), value);
}
