#include "engine/Session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "foundation/Md5.h"
#include "foundation/Messages.h"
#include "foundation/SectRanges.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Platform.h"
#include "storage/Drive.h"
#include "storage/VolumeDefinition.h"
#include "volumes/FileTypes.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/RunList.h"
#include "volumes/Streams.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"

namespace {

// The session group of the family whose nibble the kind byte has.
const FamilySessionOps* NodeSessionOps(uint8_t kind) {
  const VolumeFamily* f = FindNodeFamily(kind);
  return f ? f->sessions : nullptr;
}

constexpr size_t kBufferBytes = 65536;
constexpr size_t kMaxToken = 4096;
// A name field holds at most this many bytes (a path of the list, a name).
constexpr size_t kMaxNameBytes = 65536;
constexpr int kRing = 8;
constexpr int64_t kMaxTableSize = int64_t(1) << 27;
// Digests of the "Source" line: the source's head and a volume's each.
constexpr int64_t kMaxSourcePieces = 65;
constexpr size_t kMaxListPath = 1024;
constexpr const char kProduct[] = "Delvora";
constexpr const char16_t kIncompatible[] = u"Software version and session file are incompatible.";

// Numbers after the type code on a volume line, by type code 1..12.
constexpr int kVolumeTailNumbers[13] = {-1, 0, 4, 4, 4, 4, 4, 0, 2, 6, 2, 2, 1};
constexpr int kVolumeHeadNumbers = 6;

void AppendNumber(std::string& out, int64_t v) {
  char b[24];
  auto r = std::to_chars(b, b + sizeof b, v);
  out.append(b, r.ptr);
}

bool IsPowerOfTwo(uint64_t v) { return v && !(v & (v - 1)); }

}  // namespace

SLSession::SLSession(WString path) : path_(std::move(path)) { out_.reserve(kBufferBytes); }

SLSession::~SLSession() {
  if (fd_ >= 0) close(fd_);
  if (!temporary_.empty() && !committed_) unlink(temporary_.c_str());
  for (CVol*& v : volumes) DeleteVol(&v);
}

// ---- writing ----

[[noreturn]] void SLSession::WriteFailed() {
  ErrorMsg(nullptr, path_.c_str());
  throw DvCodeError{0};
}

void SLSession::Flush() {
  size_t done = 0;
  while (done < out_.size()) {
    const ssize_t n = write(fd_, out_.data() + done, out_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      WriteFailed();
    }
    done += size_t(n);
  }
  out_.clear();
}

void SLSession::Put(std::string_view text) {
  if (out_.size() + text.size() + 100 > kBufferBytes) Flush();
  out_.append(text);
}

void SLSession::PutWide(WStringView text) {
  std::string s;
  AppendNumber(s, int64_t(text.size() * 2));
  s += ' ';
  for (char16_t c : text) {
    s += char(c & 0xFF);
    s += char(c >> 8);
  }
  Put(s);
}

void SLSession::Number(int64_t value) {
  std::string s;
  if (lineStarted_) s += ' ';
  AppendNumber(s, value);
  lineStarted_ = true;
  Put(s);
}

void SLSession::Tagged(const char* tag, int64_t value) {
  std::string s;
  if (lineStarted_) s += ' ';
  s += tag;
  AppendNumber(s, value);
  lineStarted_ = true;
  Put(s);
}

void SLSession::EndLine() {
  Put("\r\n");
  lineStarted_ = false;
}

void SLSession::Name(WStringView name) {
  const bool narrow = std::all_of(name.begin(), name.end(), [](char16_t c) { return c < 256; });
  std::string s;
  if (narrow) {
    s = "A ";
    AppendNumber(s, int64_t(name.size()));
    s += ' ';
    for (char16_t c : name) s += char(c);
    Put(s);
  } else {
    Put("U ");
    PutWide(name);
  }
  EndLine();
}

void SLSession::Runs(const uint8_t* bytes, size_t count) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  AppendNumber(s, int64_t(count * 2));
  s += ' ';
  Put(s);
  // In pieces, so a long list never needs a bigger buffer.
  for (size_t at = 0; at < count;) {
    const size_t n = std::min<size_t>(count - at, 16384);
    if (out_.size() + 2 * n + 100 > kBufferBytes) Flush();
    const size_t base = out_.size();
    out_.resize(base + 2 * n);
    for (size_t i = 0; i < n; i++) {
      out_[base + 2 * i] = kHex[bytes[at + i] >> 4];
      out_[base + 2 * i + 1] = kHex[bytes[at + i] & 15];
    }
    at += n;
  }
  EndLine();
}

void SLSession::Digits(const uint8_t* bytes, size_t count) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  if (lineStarted_) s += ' ';
  for (size_t i = 0; i < count; i++) {
    s += kHex[bytes[i] >> 4];
    s += kHex[bytes[i] & 15];
  }
  Put(s);
  EndLine();
}

void SLSession::SaveParms(const SessionParms& p) {
  // The file is made beside the target and renamed over it when complete,
  // so an earlier session of the same name survives a failed save.
  const std::string target = ToUtf8(path_);
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
  for (int attempt = 0; attempt < 100 && fd_ < 0; attempt++) {
    temporary_ = folder + (slash == std::string::npos ? "/" : "") + ".dvs-" + std::to_string(getpid()) + "-" +
                 std::to_string(attempt) + ".tmp";
    fd_ = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ < 0) {
    temporary_.clear();
    WriteFailed();
  }
  const plat::LocalTime t = plat::Now();
  Put(ToUtf8(FormatW(u"%s format %d at %04d/%02d/%02d %02d:%02d:%02d\r\n", WString(u"Delvora"), kSessionFormat,
                     t.year, t.month, t.day, t.hour, t.minute, t.second)));
  if (!p.diskIds.empty()) {
    Put("DiskID ");
    Number(int64_t(p.diskIds.size()));
    lineStarted_ = false;
    Put("\r\n");
    for (const WString& id : p.diskIds) {
      std::string latin;
      for (char16_t c : id) latin += c < 256 ? char(c) : '?';
      std::string s;
      AppendNumber(s, int64_t(latin.size()));
      s += ' ';
      s += latin;
      s += "\r\n";
      Put(s);
    }
  }
  if (!p.schema.empty()) {
    Put("Schema ");
    PutWide(p.schema);
    Put("\r\n");
  }
  if (p.source.present) {
    // What the load checks the source by (earlier builds wrote none).
    std::string id = "Source ";
    AppendNumber(id, int64_t(p.source.bytes));
    id += ' ';
    AppendNumber(id, p.source.sectorSize);
    id += ' ';
    AppendNumber(id, int64_t(p.source.digests.size()));
    for (const std::string& d : p.source.digests) id += ' ' + d;
    id += "\r\n";
    Put(id);
  }
  std::string s = "Parms: ";
  AppendNumber(s, p.scanMode);
  s += ' ';
  Put(s);
  PutWide(p.sourceName);
  s = " ";
  AppendNumber(s, p.sizeValue);
  s += ' ';
  AppendNumber(s, (p.kind & 0x0F) << 4);
  s += ' ';
  AppendNumber(s, p.further);
  s += ' ';
  Put(s);
  PutWide(p.lookFor);
  Put("\r\n");
}

void SLSession::WriteTwoBytes(int first, int second) {
  std::string s = " ";
  AppendNumber(s, first & 0xFF);
  s += ' ';
  AppendNumber(s, second & 0xFF);
  s += "\r\n";
  Put(s);
}

void SLSession::SavePartitions(const std::vector<CVol*>& vols) {
  Put("Partitions: ");
  Number(int64_t(vols.size()));
  EndLine();
  for (const CVol* v : vols) {
    const uint8_t type = v && v->type >= 1 && v->type <= kVolLastType ? v->type : 0;
    if (!type) {
      ErrorMsg(FormatW(u"%s: a volume of type %d cannot be saved in a session.", path_, int(v ? v->type : 0)));
      throw DvCodeError{0};
    }
    Number(type);
    Number(int64_t(v->startSector));
    Number(int64_t(v->sizeSectors));
    Number(int64_t(v->driveLetter[0]) - 'A');
    Number(v->clusterSize);
    Number(v->sectorSize);
    SessionTail tail;
    if (const FamilySessionOps* f = FindSessionOps(type); f && f->writeVolumeTail) f->writeVolumeTail(*v, tail);
    tail.numbers.resize(size_t(kVolumeTailNumbers[type]), 0);
    for (int64_t n : tail.numbers) Number(n);
    EndLine();
    Name(v->label);
  }
}

void SLSession::SaveExclusionRanges(const CSectRanges* ranges, uint32_t unit) {
  if (!unit) unit = 512;
  std::vector<CSectRanges::Range> list;
  if (ranges) list = ranges->List();
  Put("Ex: ");
  Number(int64_t(list.size()));
  Number(unit);
  EndLine();
  for (const auto& r : list) {
    Number(int64_t(r.first / unit));
    Number(int64_t(r.end / unit) - 1);
    EndLine();
  }
}

void SLSession::SaveInodes(const CNdArray& table) {
  uint32_t used = 0;
  for (uint32_t i = 0; i < table.Count(); i++)
    if (table.GetAt(i)) used++;
  Put("Inodes: ");
  Number(table.Count());
  Number(used);
  EndLine();
  for (uint32_t i = 0; i < table.Count(); i++) {
    const cnode* n = table.GetAt(i);
    if (!n) continue;
    int streams = 0;
    if (n->IsSnode())
      for (const NTFSStream* s = static_cast<const snode*>(n)->streams; s; s = s->next) streams++;
    Tagged("s=", n->IsSnode() ? 1 + streams : 0);
    EndLine();
    Name(n->GetNameW());
    Tagged("i=", i);
    Number(n->volumeIndex);
    Number(n->flags);
    Number(n->flags2);
    Number(n->parentId);
    Number(n->kind);
    Number(int64_t(n->size));
    EndLine();
    if (const FamilySessionOps* f = NodeSessionOps(n->kind); f && f->writeNodeTail) f->writeNodeTail(*n, *this);
  }
}

void SLSession::SaveList(const std::vector<SessionListItem>& items) {
  Put("List items: ");
  Number(int64_t(items.size()));
  EndLine();
  recent_.assign(kRing, WString());
  int newest = -1, filled = 0;
  for (const SessionListItem& it : items) {
    Number(it.nodeIndex);
    Put(" ");
    int back = -1;
    for (int k = 0; k < filled; k++) {
      const int slot = ((newest - k) % kRing + kRing) % kRing;
      if (recent_[size_t(slot)] == it.path) {
        back = k;
        break;
      }
    }
    lineStarted_ = false;
    if (back >= 0) {
      Number(back);
      EndLine();
    } else {
      Name(it.path);
    }
    // The reader copies a repeated path into the next slot too.
    newest = (newest + 1) % kRing;
    recent_[size_t(newest)] = it.path;
    filled = std::min(filled + 1, kRing);
  }
}

void SLSession::Commit() {
  Flush();
  if (fsync(fd_) != 0) WriteFailed();
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) WriteFailed();
  if (rename(temporary_.c_str(), ToUtf8(path_).c_str()) != 0) WriteFailed();
  committed_ = true;
}

// ---- reading ----

[[noreturn]] void SLSession::Fail() {
  ErrorMsg(FormatW(Msg(248), int64_t(consumed_ + begin_), stage, int32_t(lastIndex)));
  throw DvCodeError{0};
}

[[noreturn]] void SLSession::ReadFailed() {
  ErrorMsg(nullptr, path_.c_str());
  throw DvCodeError{0};
}

void SLSession::AdoptDescriptor(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

// Fill's slow path: reads until `need` unread bytes are there or the file ends.
bool SLSession::FillMore(size_t need) {
  while (end_ - begin_ < need) {
    if (eof_) return false;
    if (begin_ > 0) {
      std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
      consumed_ += begin_;
      end_ -= begin_;
      begin_ = 0;
    }
    if (buf_.size() < std::max(need, kBufferBytes)) buf_.resize(std::max(need, kBufferBytes));
    const ssize_t n = read(fd_, buf_.data() + end_, buf_.size() - end_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ReadFailed();
    if (n == 0) eof_ = true;
    end_ += size_t(n);
  }
  return true;
}

std::string_view SLSession::Token() {
  if (Fill(2) && buf_[begin_] == '\r' && buf_[begin_ + 1] == '\n') begin_ += 2;
  if (Fill(1) && buf_[begin_] == ' ') begin_++;
  size_t n = 0;
  for (;; n++) {
    if (n >= kMaxToken || !Fill(n + 1)) Fail();
    const char c = buf_[begin_ + n];
    if (c == ' ' || c == '\r') break;
    if (c == '\n') Fail();
  }
  if (n == 0) Fail();
  std::string_view t(buf_.data() + begin_, n);
  begin_ += n;
  if (buf_[begin_] == ' ') begin_++;
  // The view stays valid until the next read: the caller uses it at once.
  return t;
}

int64_t SLSession::ParseNumber(std::string_view t, size_t skip) {
  if (t.size() <= skip) Fail();
  int64_t v = 0;
  auto r = std::from_chars(t.data() + skip, t.data() + t.size(), v);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size()) Fail();
  return v;
}

int64_t SLSession::Number() { return ParseNumber(Token()); }

int64_t SLSession::Tagged(const char* tag) {
  const std::string_view t = Token();
  const size_t n = std::strlen(tag);
  if (t.substr(0, n) != tag) Fail();
  return ParseNumber(t, n);
}

void SLSession::SkipLine() {
  for (;;) {
    if (!Fill(2)) Fail();
    if (buf_[begin_] == '\r' && buf_[begin_ + 1] == '\n') {
      begin_ += 2;
      return;
    }
    begin_++;
  }
}

std::string_view SLSession::RawBytes(size_t count) {
  if (!Fill(count)) Fail();
  std::string_view v(buf_.data() + begin_, count);
  begin_ += count;
  return v;
}

WString SLSession::ReadWide() {
  const int64_t bytes = Number();
  if (bytes < 0 || size_t(bytes) > kMaxNameBytes || (bytes & 1)) Fail();
  const std::string_view raw = RawBytes(size_t(bytes));
  WString w(size_t(bytes / 2), u'\0');
  for (size_t i = 0; i < w.size(); i++) w[i] = char16_t(uint8_t(raw[2 * i]) | uint8_t(raw[2 * i + 1]) << 8);
  return w;
}

std::vector<uint8_t> SLSession::Digits(size_t count) {
  const std::string_view t = Token();
  if (t.size() != 2 * count) Fail();
  std::vector<uint8_t> bytes(count);
  if (!HexToBytesChecked(t.data(), t.size(), bytes.data(), bytes.size())) Fail();
  SkipLine();
  return bytes;
}

WString SLSession::Name() {
  WString w;
  ReadName(&w);
  return w;
}

void SLSession::ReadName(WString* into) {
  WString& w = *into;
  const std::string_view letter = Token();
  if (letter == "A") {
    const int64_t count = Number();
    if (count < 0 || size_t(count) > kMaxNameBytes) Fail();
    const std::string_view raw = RawBytes(size_t(count));
    w.resize(raw.size());
    for (size_t i = 0; i < raw.size(); i++) w[i] = char16_t(uint8_t(raw[i]));
  } else if (letter == "U") {
    w = ReadWide();
  } else {
    Fail();
  }
  SkipLine();
}

std::vector<uint8_t> SLSession::Runs() {
  const int64_t digits = Number();
  if (digits < 0 || (digits & 1)) Fail();
  // Never more than what the file still holds.
  if (fileSize_ && uint64_t(digits) > fileSize_ - std::min(fileSize_, consumed_ + begin_)) Fail();
  std::vector<uint8_t> bytes;
  bytes.reserve(size_t(digits / 2));
  auto hex = [&](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  bool bad = false;
  for (int64_t left = digits; left > 0;) {
    const size_t n = size_t(std::min<int64_t>(left, 16384));
    const std::string_view raw = RawBytes(n);
    for (size_t i = 0; i + 1 < n; i += 2) {
      const int hi = hex(raw[i]), lo = hex(raw[i + 1]);
      if (hi < 0 || lo < 0) bad = true;
      bytes.push_back(uint8_t(hi << 4 | (lo & 15)));
    }
    left -= int64_t(n);
  }
  SkipLine();
  if (bad) bytes.clear();  // a bad digit gives no run list
  return bytes;
}

void SLSession::LoadParms(SessionParms* p) {
  if (fd_ < 0) {
    fd_ = open(ToUtf8(path_).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) ReadFailed();
  }
  struct stat st;
  if (fstat(fd_, &st) != 0) ReadFailed();
  if (!S_ISREG(st.st_mode)) {
    ErrorMsg(FormatW(u"%s is not a session file.", path_));
    throw DvCodeError{0};
  }
  fileSize_ = uint64_t(st.st_size);
  *p = SessionParms();
  // Header: the product name over its full length, then the format.
  const std::string_view name = Token();
  if (name.substr(0, sizeof kProduct - 1) != kProduct) {
    ErrorMsg(kIncompatible);
    throw DvCodeError{0};
  }
  Token();  // "format"
  int64_t format = 0;
  {
    const std::string_view t = Token();
    auto r = std::from_chars(t.data(), t.data() + t.size(), format);
    if (r.ec != std::errc() || format < kSessionOldestFormat) {
      ErrorMsg(kIncompatible);
      throw DvCodeError{0};
    }
  }
  SkipLine();
  std::string cfg;
  bool haveCfg = false;
  for (;;) {
    const std::string key(Token());
    if (key == "cfg") {
      // A second space after the keyword sets the flag.
      if (Fill(1) && buf_[begin_] == ' ') p->cfgFlag = true;
      const std::string_view t = Token();
      if (t.size() > 1023) Fail();
      cfg.assign(t);
      haveCfg = true;
      SkipLine();
    } else if (key == "DiskID") {
      const int64_t count = Number();
      if (count < 1 || count > 100) Fail();
      SkipLine();
      for (int64_t k = 0; k < count; k++) {
        const int64_t len = Number();
        if (len < 0 || len > 1024) Fail();
        const std::string_view raw = RawBytes(size_t(len));
        WString id;
        for (char c : raw) id += char16_t(uint8_t(c));
        p->diskIds.push_back(std::move(id));
        SkipLine();
      }
    } else if (key == "Source") {
      const int64_t bytes = Number(), sector = Number(), count = Number();
      if (bytes < 0 || sector < 512 || sector > 65536 || !IsPowerOfTwo(uint64_t(sector)) || count < 0 ||
          count > kMaxSourcePieces)
        Fail();
      p->source.present = true;
      p->source.bytes = uint64_t(bytes);
      p->source.sectorSize = uint32_t(sector);
      for (int64_t k = 0; k < count; k++) {
        const std::string_view d = Token();
        const bool hex = d.size() == 32 && std::all_of(d.begin(), d.end(), [](char c) {
                           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                         });
        if (!hex && d != "-") Fail();
        p->source.digests.emplace_back(d);
      }
      SkipLine();
    } else if (key == "Schema") {
      p->schema = ReadWide();
      SkipLine();
    } else if (key == "Parms:") {
      p->scanMode = int32_t(Number());
      if (p->scanMode != 0 && p->scanMode != 1) Fail();
      p->sourceName = ReadWide();
      p->sizeValue = int32_t(Number());
      p->kind = uint8_t(Number() >> 4);
      p->further = int32_t(Number());
      p->lookFor = ReadWide();
      SkipLine();
      break;
    } else {
      Fail();
    }
  }
  if (haveCfg) {
    std::string commands;
    if (!DecodeSessionCfg(cfg, p->cfgFlag, &commands) || !ApplySessionCfg(commands, p)) Fail();
  }
  source = p->source;
  if (!source.present)
    note = FormatW(
        u"The session file %s keeps no identity of its source (an earlier version saved it): it is "
        u"not checked against %s.",
        path_, p->sourceName);
}

void SLSession::ReadTwoBytes(int* first, int* second) {
  const int64_t a = Number(), b = Number();
  if (a < 0 || a > 255 || b < 0 || b > 255) Fail();
  *first = int(a);
  *second = int(b);
  SkipLine();
}

void SLSession::LoadPartitions(Drive* drive) {
  drive_ = drive;
  Token();  // "Partitions:"
  const int64_t count = Number();
  SkipLine();
  // A volume takes at least two lines of a dozen bytes.
  if (count < 0 || count > 65534 || uint64_t(count) * 12 > fileSize_) Fail();
  volumes.reserve(size_t(count));
  for (int64_t k = 0; k < count; k++) {
    const int64_t type = Number();
    if (type < 1 || type > kVolLastType) Fail();
    int64_t head[kVolumeHeadNumbers - 1];
    for (int64_t& h : head) h = Number();
    SessionTail tail;
    for (int i = 0; i < kVolumeTailNumbers[type]; i++) tail.numbers.push_back(Number());
    SkipLine();
    CVol* v = CreateVol(uint8_t(type));
    if (!v) ShowErrorAndThrow();
    volumes.push_back(v);
    v->type = uint8_t(type);
    v->drive = drive;
    const int64_t start = head[0], size = head[1], letter = head[2], cluster = head[3], sector = head[4];
    if (start < 0 || size < 0 || letter + 'A' < 0 || letter + 'A' > 255) Fail();
    // Sector and cluster sizes are powers of two, a cluster at least a sector.
    if (sector < 1 || sector > 65536 || !IsPowerOfTwo(uint64_t(sector)) || cluster < sector ||
        cluster > (int64_t(1) << 31) || !IsPowerOfTwo(uint64_t(cluster)))
      Fail();
    v->startSector = uint64_t(start);
    v->sizeSectors = uint64_t(size);
    v->driveLetter[0] = char16_t('A' + letter);
    v->driveLetter[1] = u':';
    v->driveLetter[2] = 0;
    if (!v->SetSectorSize(uint32_t(sector)) || !v->SetClusterSize(uint32_t(cluster))) Fail();
    WString label = Name();
    if (!label.empty()) v->label = std::move(label);
    if (const FamilySessionOps* f = FindSessionOps(uint8_t(type)); f && f->readVolumeTail)
      if (!f->readVolumeTail(*v, tail)) Fail();
  }
}

void SLSession::LoadExclusionRanges(uint64_t lastUnit) {
  if (Token().substr(0, 3) != "Ex:") Fail();
  const int64_t count = Number();
  const int64_t unit = Number();
  SkipLine();
  if (count < 0 || uint64_t(count) * 4 > fileSize_) Fail();
  if (unit < 1 || unit > 65536) Fail();
  exclusionUnit = uint32_t(unit);
  if (count == 0) return;
  auto set = std::make_shared<CSectRanges>();
  const uint64_t limit = UINT64_MAX / uint64_t(unit) - 1;
  for (int64_t k = 0; k < count; k++) {
    const int64_t first = Number(), last = Number();
    SkipLine();
    if (first < 0 || last < first || uint64_t(last) >= limit) Fail();
    set->AddRange(uint64_t(first) * uint64_t(unit), (uint64_t(last) + 1) * uint64_t(unit));
  }
  set->MakeArrayFromTree();
  const uint64_t end = lastUnit >= limit ? UINT64_MAX : (lastUnit + 1) * uint64_t(unit);
  set->SetDomain(0, end);
  exclusions = std::move(set);
}

void SLSession::LoadInodes() {
  Token();  // "Inodes:"
  const int64_t size = Number(), records = Number();
  SkipLine();
  // A record takes at least three lines of a few bytes each.
  // The empty slots between records cost memory the file does not show:
  // a table may be far larger than its records (files dropped before the
  // list window), but not without bound.
  // The counts are checked before any product of them is formed.
  if (size < 0 || size > kMaxTableSize || records < 0 || records > size ||
      size > std::max<int64_t>(65536, records * 1024) || uint64_t(records) * 16 > fileSize_)
    Fail();
  tableSize = uint32_t(size);
  recordCount = uint32_t(records);
  nodes = std::make_unique<CNdArray>();
  WString name;
  for (int64_t k = 0; k < records; k++) {
    const int64_t streams = Tagged("s=");
    SkipLine();
    ReadName(&name);
    const int64_t index = Tagged("i=");
    if (index < 0 || index >= size) Fail();
    const int64_t volume = Number(), flags = Number(), flags2 = Number(), parent = Number(), kind = Number();
    if (volume != kNoVolume && (volume < 0 || volume >= int64_t(volumes.size()))) Fail();
    if (flags < 0 || flags > 0xFFFF || flags2 < 0 || flags2 > 0xFFFF || kind < 0 || kind > 255) Fail();
    if (parent < 0 || parent > int64_t(UINT32_MAX)) Fail();
    // A parent that indexes the table lies inside it, or is none.
    if ((flags & kNodeParentIsIndex) && parent != int64_t(UINT32_MAX) && parent >= size) Fail();
    // Records come in index order: each index once.
    if (index < int64_t(nodes->Count())) Fail();
    if (uint8_t(kind) >= kNodeFirstInvalid) Fail();
    cnode* n = CreateNode(uint8_t(kind));
    if (!n) Fail();
    while (int64_t(nodes->Count()) < index) nodes->SetAt(nullptr);
    if (nodes->SetAt(n, index) < 0) {
      DeleteNode(&n);
      Fail();
    }
    lastIndex = int(index);
    if (!name.empty()) {
      n->name = nodes->InternName(name);
      n->typeIndex = ExtensionToType(name);
    }
    n->volumeIndex = uint16_t(volume);
    n->flags = uint16_t(flags);
    n->flags2 = uint16_t(flags2);
    n->parentId = uint32_t(parent);
    n->kind = uint8_t(kind);
    n->size = uint64_t(Number());
    SkipLine();
    if (n->IsSnode() && (streams < 1 || streams > 65536)) Fail();
    if (const FamilySessionOps* f = NodeSessionOps(n->kind); f && f->readNodeTail) {
      extraStreams = n->IsSnode() ? streams - 1 : 0;
      f->readNodeTail(*n, *this);
    } else {
      Fail();
    }
    // The bounds a scan holds a node to: within its volume (a family with
    // holes: within the largest file it holds), a carved file within the
    // source.
    if (n->size > NodeSizeLimit(*n)) Fail();
  }
}

uint64_t SLSession::NodeSizeLimit(const cnode& n) const {
  const uint64_t driveBytes =
      drive_ && drive_->SectorCount() ? drive_->SectorCount() * uint64_t(drive_->SectorSize()) : UINT64_MAX;
  if (n.volumeIndex == kNoVolume || n.volumeIndex >= volumes.size() || !volumes[n.volumeIndex]) return driveBytes;
  if (NodeHasTrait(n.kind, kNodeTraitSparseFiles)) return kSparseFileLimit;
  const CVol* v = volumes[n.volumeIndex];
  if (!v->sizeSectors || v->sizeSectors > UINT64_MAX / v->sectorSize) return driveBytes;
  return v->sizeSectors * uint64_t(v->sectorSize);
}

int64_t SLSession::LoadListItems() {
  stage = 2;
  if (Token() != "List") Fail();
  Token();  // "items:"
  const int64_t count = Number();
  SkipLine();
  if (count < 0 || uint64_t(count) * 4 > fileSize_) Fail();
  ring_.assign(kRing, WString());
  ringPos_ = 0;
  listCount = count;
  return count;
}

int64_t SLSession::ReadNextNode(WString* path) {
  const int64_t index = Number();
  if (index < 0 || index >= int64_t(tableSize)) Fail();
  // Either a name field or a distance back in the ring.
  if (!Fill(1)) Fail();
  const char c = buf_[begin_];
  const int slot = ringPos_;
  if (c == 'A' || c == 'U') {
    WString p = Name();
    if (p.size() >= kMaxListPath) {
      p.resize(kMaxListPath - 1);
      const size_t cut = p.rfind(u'\\');
      if (cut == WString::npos) Fail();
      p.resize(cut + 1);
    }
    ring_[size_t(slot)] = std::move(p);
  } else {
    const int64_t back = Number();
    if (back < 0 || back > kRing - 1) Fail();
    SkipLine();
    ring_[size_t(slot)] = ring_[size_t(((slot - 1 - back) % kRing + kRing) % kRing)];
  }
  ringPos_ = (ringPos_ + 1) % kRing;
  lastIndex = int(index);
  *path = ring_[size_t(slot)];
  return index;
}

// ---- the "cfg" line ----

namespace {

// Our own substitution key: any permutation of the byte values serves.
uint8_t CfgKey(int i) { return uint8_t((i * 167 + 13) & 255); }

}  // namespace

bool DecodeSessionCfg(std::string_view text, bool flag, std::string* commands) {
  if (text.size() < 8 || text.size() % 8) return false;
  std::string bytes;
  uint32_t previous = 0;
  for (size_t at = 0; at < text.size(); at += 8) {
    uint32_t value = 0;
    auto r = std::from_chars(text.data() + at, text.data() + at + 8, value, 16);
    if (r.ec != std::errc() || r.ptr != text.data() + at + 8) return false;
    const uint32_t word = value ^ previous;
    previous = value;
    for (int b = 0; b < 4; b++) bytes += char(word >> (8 * b));
  }
  uint8_t inverse[256];
  const int shift = flag ? 128 : 0;
  for (int i = 0; i < 256; i++) inverse[CfgKey((i + shift) & 255)] = uint8_t(i);
  commands->clear();
  for (size_t k = 0; k < bytes.size(); k++) {
    const char c = char(uint8_t(inverse[uint8_t(bytes[k])] - uint8_t(k)));
    if (c == ' ' || c == '\0') break;
    *commands += c;
  }
  return true;
}

std::string EncodeSessionCfg(const std::string& commands, bool flag) {
  std::string plain = commands + ' ';
  while (plain.size() % 4) plain += ' ';
  const int shift = flag ? 128 : 0;
  std::string text;
  uint32_t previous = 0;
  for (size_t at = 0; at < plain.size(); at += 4) {
    uint32_t word = 0;
    for (int b = 0; b < 4; b++) {
      const size_t k = at + size_t(b);
      word |= uint32_t(CfgKey((uint8_t(plain[k]) + int(k) + shift) & 255)) << (8 * b);
    }
    const uint32_t value = word ^ previous;
    previous = value;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", value);
    text += hex;
  }
  return text;
}

bool ApplySessionCfg(const std::string& commands, SessionParms* p) {
  VolSpec original;
  std::vector<const VolSpec*> members;
  if (!p->schema.empty()) {
    try {
      original.ParseString(p->schema);
    } catch (const DvCodeError&) {
      return false;
    }
    for (const auto& c : original.children) members.push_back(c.get());
  }
  struct Slot {
    const VolSpec* member = nullptr;
    int64_t first = 0, last = 0;
  };
  std::vector<Slot> slots(members.size());
  size_t position = 0;
  int64_t first = members.empty() ? 0 : members[0]->first, last = members.empty() ? 0 : members[0]->last;
  auto fillTo = [&](size_t end) {
    for (; position < end; position++) {
      if (!slots[position].member) slots[position].member = members[position];
      slots[position].first = first;
      slots[position].last = last;
    }
  };
  bool haveP = false;
  for (size_t at = 0; at < commands.size();) {
    const char letter = commands[at++];
    const size_t from = at;
    while (at < commands.size() && commands[at] >= '0' && commands[at] <= '9') at++;
    int64_t n = 0;
    auto r = std::from_chars(commands.data() + from, commands.data() + at, n);
    if (r.ec != std::errc()) return false;
    switch (letter) {
      case 'A': p->partialStart = n; break;
      case 'B': p->partialSize = n; break;
      case 'F': first = n; break;
      case 'L': last = n; break;
      case 'C':
        if (n < int64_t(position) || uint64_t(n) > slots.size()) return false;
        fillTo(size_t(n));
        break;
      case 'D':
        if (position >= slots.size() || uint64_t(n) >= members.size()) return false;
        slots[position].member = members[size_t(n)];
        break;
      case 'J': break;
      case 'P':
        p->sizeValue = int32_t((n & 0xFFFF) * 512);
        p->kind = uint8_t(n >> 16);
        p->further = int32_t((n >> 24) & 0xFF);
        if (p->further == 2 || p->further == 17) p->cfgFlag = true;
        haveP = true;
        break;
      default: return false;
    }
  }
  if (!haveP || p->sizeValue == 0) return false;
  if (members.empty()) return true;
  fillTo(slots.size());
  VolSpec rebuilt;
  rebuilt.kind = original.kind;
  for (const Slot& s : slots) {
    auto c = std::make_unique<VolSpec>();
    c->kind = s.member->kind;
    c->text = s.member->text;
    c->first = s.first;
    c->last = s.last;
    rebuilt.children.push_back(std::move(c));
  }
  WString text = rebuilt.Format();
  if (text.empty() || text.size() > 1024) return false;
  p->secondText = std::move(text);
  return true;
}

// ---- sources ----

int ClassifySessionSource(WStringView name) {
  auto starts = [&](const char16_t* key) {
    if (name.size() < 4) return false;
    for (size_t i = 0; i < 4; i++) {
      char16_t c = name[i];
      if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
      if (c != key[i]) return false;
    }
    return true;
  };
  if (starts(u"RAID")) return 1;
  if (starts(u"SPAN")) return 2;
  if (starts(u"VMDK") || starts(u"VHD(")) return 3;
  if (!name.empty() && name[0] == u'/') return 4;
  if (!name.empty()) return 5;
  return 0;
}

WString NormalizeSessionSource(WStringView name) {
  WString out(name);
  const int kind = ClassifySessionSource(name);
  if (kind >= 1 && kind <= 3)
    for (size_t i = 0; i < 4 && i < out.size(); i++)
      if (out[i] >= u'a' && out[i] <= u'z') out[i] = char16_t(out[i] - 32);
  return out;
}

// ---- the source's identity ----

namespace {

constexpr uint32_t kHeadBytes = 65536;
constexpr uint32_t kVolumeBytes = 4096;
constexpr size_t kMaxIdentityVolumes = 64;

// The md5 of `bytes` at drive sector `sector` (fewer at the drive's end),
// "-" when the read failed or met a read error.
std::string PieceDigest(Drive& drive, uint64_t sector, uint32_t bytes) {
  const uint32_t ss = drive.SectorSize();
  if (!ss || sector >= drive.SectorCount()) return "-";
  const uint64_t sectors = std::min<uint64_t>((bytes + ss - 1) / ss, drive.SectorCount() - sector);
  const uint32_t want = uint32_t(sectors * ss);
  std::vector<uint8_t> data(want);
  const uint32_t errors = drive.TotalErrors();
  const WString lastError = theTrace().LastErrorText();
  const int32_t lastCode = theTrace().LastErrorCode();
  uint8_t* p = nullptr;
  try {
    p = drive.ReadSectors(int64_t(sector), want, drive.RetryPiece(), data.data(), true);
  } catch (const DvCodeError&) {
    p = nullptr;
  }
  theTrace().SetLastError(lastError, lastCode);
  if (!p || drive.TotalErrors() != errors) return "-";
  Md5 md5;
  md5.Update(data.data(), data.size());
  uint8_t digest[kMd5DigestSize];
  md5.Final(digest);
  return HexText(digest, sizeof digest);
}

}  // namespace

SessionSourceIdentity ReadSourceIdentity(Drive& drive, const std::vector<CVol*>& volumes) {
  SessionSourceIdentity id;
  id.present = true;
  id.sectorSize = drive.SectorSize();
  id.bytes = drive.SectorCount() * uint64_t(drive.SectorSize());
  id.digests.push_back(PieceDigest(drive, 0, kHeadBytes));
  for (size_t k = 0; k < volumes.size() && k < kMaxIdentityVolumes; k++)
    id.digests.push_back(volumes[k] ? PieceDigest(drive, volumes[k]->startSector, kVolumeBytes) : std::string("-"));
  return id;
}

WString SourceIdentityMismatch(const SessionSourceIdentity& saved, const SessionSourceIdentity& now,
                               WStringView source) {
  if (!saved.present) return {};
  const WString head = FormatW(u"%s is not the source this session was saved from: ", source);
  if (saved.bytes != now.bytes)
    return head +
           FormatW(u"it holds %I64d bytes, the session's source held %I64d.", int64_t(now.bytes), int64_t(saved.bytes));
  if (saved.sectorSize != now.sectorSize)
    return head + FormatW(u"its sectors are of %u bytes, the session's source had sectors of %u.", now.sectorSize,
                          saved.sectorSize);
  for (size_t k = 0; k < saved.digests.size() && k < now.digests.size(); k++) {
    if (saved.digests[k] == "-" || now.digests[k] == "-" || saved.digests[k] == now.digests[k]) continue;
    return head + (k == 0 ? WString(u"its first sectors differ.")
                          : FormatW(u"the first sectors of volume %d differ.", int32_t(k - 1)));
  }
  if (saved.digests.size() != now.digests.size())
    return head + FormatW(u"it holds %d volumes where the session has %d.", int32_t(now.digests.size()) - 1,
                          int32_t(saved.digests.size()) - 1);
  return {};
}
