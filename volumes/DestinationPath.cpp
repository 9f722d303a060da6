#include "volumes/DestinationPath.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "foundation/Trace.h"
#include "volumes/Volume.h"

namespace {

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Bytes ToUtf8 writes for the character at text[i]; *units gets 1 or 2.
size_t CharBytes(WStringView text, size_t i, size_t* units) {
  char16_t c = text[i];
  *units = 1;
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (IsHigh(c) && i + 1 < text.size() && IsLow(text[i + 1])) {
    *units = 2;
    return 4;
  }
  return 3;  // BMP character, or a lone surrogate written as U+FFFD
}

// FNV-1a over the UTF-16 units: stable across runs, so a session recovered
// twice gives the same shortened names.
uint32_t NameHash(WStringView text) {
  uint32_t h = 2166136261u;
  for (char16_t c : text) {
    h = (h ^ uint32_t(c & 0xFF)) * 16777619u;
    h = (h ^ uint32_t(c >> 8)) * 16777619u;
  }
  return h;
}

bool IsControl(char16_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// The longest prefix of text (whole characters) of at most maxBytes.
WString PrefixWithin(WStringView text, size_t maxBytes) {
  size_t bytes = 0, i = 0;
  while (i < text.size()) {
    size_t units;
    size_t b = CharBytes(text, i, &units);
    if (bytes + b > maxBytes) break;
    bytes += b;
    i += units;
  }
  return WString(text.substr(0, i));
}

WString Shorten(WStringView clean, WStringView raw, size_t maxBytes) {
  static const char16_t kHex[] = u"0123456789abcdef";
  WString tag = u"~";
  uint32_t h = NameHash(raw);
  for (int shift = 28; shift >= 0; shift -= 4) tag += kHex[(h >> shift) & 15];

  WStringView stem = clean, ext;
  size_t dot = clean.rfind(u'.');
  if (dot != WStringView::npos && dot > 0 && Utf8Length(clean.substr(dot)) <= maxBytes / 4) {
    stem = clean.substr(0, dot);
    ext = clean.substr(dot);
  }
  size_t fixed = tag.size() + Utf8Length(ext);
  if (fixed >= maxBytes) return WString();
  WString out = PrefixWithin(stem, maxBytes - fixed);
  out += tag;
  out.append(ext);
  return out;
}

WString StripTrailingSlashes(WStringView root) {
  size_t n = root.size();
  while (n > 0 && root[n - 1] == u'/') --n;
  return WString(root.substr(0, n));
}

bool IsDriveComponent(WStringView c) {
  return c.size() == 2 && c[1] == u':' && ((c[0] >= u'A' && c[0] <= u'Z') || (c[0] >= u'a' && c[0] <= u'z'));
}

bool Fail(int error, WStringView what) {
  errno = error;
  WString shown(what);
  ErrorMsg(nullptr, shown.c_str());
  return false;
}

// The folder path's components, each made safe, after "/" each.
void AppendFolderComponents(WStringView folderPath, WString* path) {
  // Paths of the model begin with "\\"; only a path from a recycle bin's
  // record begins with its drive ("C:\\work\\").
  const bool fromRecycleBin = folderPath.size() >= 2 && IsDriveComponent(folderPath.substr(0, 2)) &&
                              (folderPath.size() == 2 || folderPath[2] == u'\\');
  size_t pos = 0;
  while (pos <= folderPath.size()) {
    size_t end = folderPath.find(u'\\', pos);
    if (end == WStringView::npos) end = folderPath.size();
    WStringView part = folderPath.substr(pos, end - pos);
    if (pos == 0 && fromRecycleBin) part = part.substr(0, 1);
    pos = end + 1;
    if (part.empty()) continue;
    *path += u'/';
    *path += DestinationComponent(part);
  }
}

// A name DestinationComponent gives back unchanged whose UTF-8 is its
// characters: printable ASCII but the separators, not "." or "..".
bool KeptAsItIs(WStringView name) {
  if (name.empty() || name.size() > kMaxComponentBytes || name == u"." || name == u"..") return false;
  for (char16_t c : name)
    if (c < 0x20 || c > 0x7E || c == u'/' || c == u'\\') return false;
  return true;
}

}  // namespace

size_t Utf8Length(WStringView text) {
  size_t bytes = 0;
  for (size_t i = 0; i < text.size();) {
    size_t units;
    bytes += CharBytes(text, i, &units);
    i += units;
  }
  return bytes;
}

WString DestinationComponent(WStringView name, size_t maxBytes) {
  if (name.empty()) return u"_";
  WString clean(name);
  for (char16_t& c : clean) {
    if (IsControl(c) || c == u'/' || c == u'\\') c = u'_';
  }
  if (clean == u"." || clean == u"..") clean.insert(clean.begin(), u'_');
  if (Utf8Length(clean) <= maxBytes) return clean;
  return Shorten(clean, name, maxBytes);
}

WStringView FolderBelowVolume(WStringView folderPath) {
  if (folderPath.size() < 2 || folderPath[1] != u':') return folderPath;
  const char16_t code = folderPath[0];
  const bool isCode = (code >= u'A' && code <= u'Z') || (code >= kNoLetterBase && code <= 255);
  if (!isCode || (folderPath.size() > 2 && folderPath[2] != u'\\')) return folderPath;
  return folderPath.substr(2);
}

bool BuildDestinationPath(WStringView root, WStringView folderPath, WStringView name, WString* out,
                          WStringView stream) {
  if (root.empty() || root.find(u'\0') != WStringView::npos) return Fail(EINVAL, root);
  if (name.empty()) return Fail(EINVAL, folderPath);

  WString path = StripTrailingSlashes(root);
  const size_t rootLength = path.size();
  AppendFolderComponents(folderPath, &path);

  WString last = DestinationComponent(name);
  if (!stream.empty()) {
    size_t used = Utf8Length(last) + 1;  // the ':' between file and stream
    WString streamPart = used < kMaxComponentBytes ? DestinationComponent(stream, kMaxComponentBytes - used)
                                                   : WString();
    if (streamPart.empty()) return Fail(ENAMETOOLONG, name);
    last += u':';
    last += streamPart;
  }
  path += u'/';
  path += last;

  if (Utf8Length(path) >= size_t(PATH_MAX)) return Fail(ENAMETOOLONG, path);
  // Holds by construction; kept as the one guard every destination path
  // passes, whatever changes above.
  if (path.size() <= rootLength || !IsBelowRoot(root, path)) return Fail(EINVAL, path);
  *out = std::move(path);
  return true;
}

DestinationPathCache::DestinationPathCache(WStringView root)
    : root_(root), rootOk_(!root.empty() && root.find(u'\0') == WStringView::npos) {}

bool DestinationPathCache::Build(WStringView folderPath, WStringView name, std::string* out) {
  if (rootOk_ && KeptAsItIs(name)) {
    if (!haveFolder_ || folderPath != folderPath_) {
      WString path = StripTrailingSlashes(root_);
      AppendFolderComponents(folderPath, &path);
      // A kept name is one more component that is neither empty, "." nor
      // "..": the whole path lies below the root when the folder's part
      // does with any such name.
      folderOk_ = IsBelowRoot(root_, path + u"/_");
      folder_ = ToUtf8(path);
      folderPath_.assign(folderPath);
      haveFolder_ = true;
    }
    if (folderOk_ && folder_.size() + 1 + name.size() < size_t(PATH_MAX)) {
      out->assign(folder_);
      *out += '/';
      const size_t at = out->size();
      out->resize(at + name.size());
      for (size_t i = 0; i < name.size(); ++i) (*out)[at + i] = char(name[i]);
      return true;
    }
  }
  WString path;
  if (!BuildDestinationPath(root_, folderPath, name, &path)) return false;
  *out = ToUtf8(path);
  return true;
}

bool IsBelowRoot(WStringView root, WStringView path) {
  WString base = StripTrailingSlashes(root);
  if (root.empty() || path.find(u'\0') != WStringView::npos) return false;
  if (path.size() <= base.size() + 1 || path.substr(0, base.size()) != base || path[base.size()] != u'/')
    return false;
  WStringView rest = path.substr(base.size() + 1);
  size_t pos = 0;
  while (pos <= rest.size()) {
    size_t end = rest.find(u'/', pos);
    if (end == WStringView::npos) end = rest.size();
    WStringView part = rest.substr(pos, end - pos);
    if (part.empty() || part == u"." || part == u"..") return false;
    pos = end + 1;
  }
  return true;
}

bool ResolvesBelowRoot(WStringView root, WStringView path) {
  if (!IsBelowRoot(root, path)) return false;
  char resolved[PATH_MAX];
  std::string rootUtf8 = ToUtf8(root);
  if (!realpath(rootUtf8.c_str(), resolved)) return false;
  std::string realRoot = resolved;

  // The deepest part of the path that exists (links in it followed).
  std::string p = ToUtf8(path);
  struct stat st;
  while (lstat(p.c_str(), &st) != 0) {
    size_t slash = p.rfind('/');
    if (slash == std::string::npos || slash == 0) return false;
    p.resize(slash);
  }
  if (!realpath(p.c_str(), resolved)) return false;
  std::string real = resolved;
  // A link back to the root itself still writes inside it.
  if (real == realRoot) return true;
  if (realRoot == "/") return real.size() > 1;
  return real.size() > realRoot.size() && real.compare(0, realRoot.size(), realRoot) == 0 &&
         real[realRoot.size()] == '/';
}
