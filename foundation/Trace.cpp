#include "foundation/Trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "platform/FileIo.h"
#include "platform/Platform.h"

std::atomic<int32_t> traceExecutionPath{0}, traceRaid{0}, traceMft{0}, traceIo{0}, traceContent{0},
    traceCompression{0}, traceUnixFsA{0}, traceUnixFsB{0}, traceHfs{0}, traceKeepFileOpen{1},
    traceSequentialSearch{1}, sectorTraceMode{0};
std::atomic<int32_t> traceBkf{0}, traceZfs{0}, traceMxf{0}, traceZip{0}, traceDriveIo{0};
std::atomic<int32_t> traceRecordChecker{0};
std::atomic<int32_t> traceRaidInterval{1};

Trace* g_trace = nullptr;

Trace& theTrace() {
  // Code that runs outside the start-up objects (a tool before start-up, a
  // static initialiser) still gets a working object.
  static Trace fallback;
  return g_trace ? *g_trace : fallback;
}

Trace::Trace() = default;

Trace::~Trace() {
  CloseHandles();
  if (traceFile_) fclose(traceFile_);
}

WString Trace::LastErrorText() const {
  std::lock_guard<std::mutex> lock(errorMutex_);
  return lastErrorText_;
}

int32_t Trace::LastErrorCode() const {
  std::lock_guard<std::mutex> lock(errorMutex_);
  return lastErrorCode_;
}

void Trace::SetLastError(WStringView text, int32_t code) {
  std::lock_guard<std::mutex> lock(errorMutex_);
  lastErrorText_.assign(text.substr(0, kLastErrorChars - 1));
  lastErrorCode_ = code;
}

FILE* Trace::GetFile() {
  if (traceFile_) return traceFile_;
  if (traceFilePath_.empty()) return nullptr;
  // Never through a link: the folder is the user's choice (often /tmp) and
  // the program may run as root. A new file is the owner's only.
  FILE* f = nullptr;
  const int fd = open(ToUtf8(traceFilePath_).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0 && !(f = fdopen(fd, "a"))) close(fd);
  if (f && traceKeepFileOpen.load()) traceFile_ = f;
  return f;
}

void Trace::ReleaseFile(FILE* f) {
  if (f && f != traceFile_) fclose(f);
}

void Trace::SetOptions(WStringView path, int32_t executionPath, int32_t raid, int32_t mft, int32_t io,
                       int32_t content, int32_t compression, int32_t unixFsA, int32_t unixFsB, int32_t hfs,
                       int32_t keepFileOpen, int32_t sequentialSearch) {
  {
    auto lock = Lock();
    // Exact: on Linux a name differing only in case is another file.
    if (path != WStringView(traceFilePath_)) {
      if (traceFile_) fclose(traceFile_);
      traceFile_ = nullptr;
      traceFilePath_.assign(path);
    }
  }
  traceExecutionPath = executionPath;
  traceRaid = raid;
  traceMft = mft;
  traceIo = io;
  traceContent = content;
  traceCompression = compression;
  traceUnixFsA = unixFsA;
  traceUnixFsB = unixFsB;
  traceHfs = hfs;
  traceKeepFileOpen = keepFileOpen;
  traceSequentialSearch = sequentialSearch;
}

WString Trace::TraceFilePath() const {
  auto lock = Lock();
  return traceFilePath_;
}

std::string Trace::TraceFolder() const {
  std::string p = ToUtf8(TraceFilePath());
  size_t cut = p.find_last_of('/');
  if (cut == std::string::npos) return std::string();
  return p.substr(0, cut);
}

void Trace::PrintHex(const void* countedBlock) {
  if (!countedBlock) return;
  int32_t len;
  std::memcpy(&len, countedBlock, 4);
  if (len < 0) len = 0;
  const uint8_t* b = static_cast<const uint8_t*>(countedBlock) + 4;
  std::string line;
  line.reserve(size_t(len) * 2 + 1);
  static const char hex[] = "0123456789abcdef";
  for (int32_t i = 0; i < len; ++i) {
    line.push_back(hex[b[i] >> 4]);
    line.push_back(hex[b[i] & 15]);
  }
  line.push_back('\n');
  auto lock = Lock();
  FILE* f = GetFile();
  if (!f) return;
  fwrite(line.data(), 1, line.size(), f);
  ReleaseFile(f);
}

// ---- sector files ----

namespace {
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  if (S_ISBLK(sa.st_mode) && S_ISBLK(sb.st_mode)) return sa.st_rdev == sb.st_rdev;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
}  // namespace

void Trace::AddProtectedSource(const std::string& path) {
  std::lock_guard<std::mutex> lock(protectedMutex_);
  protected_.push_back(path);
}

void Trace::RemoveProtectedSource(const std::string& path) {
  std::lock_guard<std::mutex> lock(protectedMutex_);
  for (auto it = protected_.begin(); it != protected_.end(); ++it)
    if (*it == path) {
      protected_.erase(it);
      return;
    }
}

bool Trace::IsProtectedSource(const std::string& path) const {
  std::lock_guard<std::mutex> lock(protectedMutex_);
  for (const auto& p : protected_)
    if (p == path || SameFile(p, path)) return true;
  return false;
}

int Trace::OpenSectorFile(const std::string& name, int slot, int64_t* position) {
  if (slot < 0 || slot > 1) return -1;
  auto fail = [&]() {
    if (sectorFiles[slot] >= 0) close(sectorFiles[slot]);
    sectorFiles[slot] = -1;
    return -1;
  };
  if (IsProtectedSource(name)) {
    ErrorMsg(FromUtf8("Refusing to write to a source drive: " + name).c_str());
    return fail();
  }
  // A device is named as the user knows it (links under /dev/disk); a file
  // is never opened through a link.
  int flags = O_WRONLY | O_CLOEXEC | (sectorTargetIsDevice ? 0 : O_CREAT | O_NOFOLLOW);
  int fd = open(name.c_str(), flags, 0600);
  if (fd < 0) {
    ErrorMsg(nullptr, FromUtf8(name).c_str());
    return fail();
  }
  if (sectorFiles[slot] >= 0) close(sectorFiles[slot]);
  sectorFiles[slot] = fd;
  if (position && *position != 0) {
    int sectorSize = sectorTargetIsDevice ? plat::DeviceSectorSize(fd) : plat::PathSectorSize(name);
    if (sectorSize <= 0) {
      errno = ENOTTY;
      ErrorMsg(nullptr, FromUtf8(name).c_str());
      return fail();
    }
    *position *= sectorSize;
    if (lseek(fd, off_t(*position), SEEK_SET) < 0) {
      ErrorMsg(nullptr, FromUtf8(name).c_str());
      return fail();
    }
  } else if (!sectorTargetIsDevice) {
    if (lseek(fd, 0, SEEK_END) < 0) {
      ErrorMsg(nullptr, FromUtf8(name).c_str());
      return fail();
    }
  }
  return fd;
}

int64_t Trace::WriteHandle(const void* data, size_t bytes, int slot) {
  if (slot < 0 || slot > 1 || sectorFiles[slot] < 0) return 0;
  return int64_t(WriteFully(sectorFiles[slot], data, bytes));
}

void Trace::CloseHandles() {
  for (int& fd : sectorFiles) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

// ---- last error ----

Trace& ErrorMsg(const char16_t* text, const char16_t* prefix) {
  Trace& t = theTrace();
  if (text) {
    t.SetLastError(text, -1);
    return t;
  }
  int code = errno;
  WString msg;
  if (prefix) {
    msg = prefix;
    msg += u": ";
  }
  char buf[256];
  const char* sys = strerror_r(code, buf, sizeof buf);
  msg += FromUtf8(sys);
  while (!msg.empty() && (msg.back() == u'\n' || msg.back() == u'\r')) msg.pop_back();
  t.SetLastError(msg, code);
  return t;
}

Trace& VErrorMsgArgs(const char16_t* format, FmtArgs args) {
  if (!format) return ErrorMsg(nullptr, nullptr);
  Trace& t = theTrace();
  t.SetLastError(FormatWArgs(format, args), -1);
  return t;
}

void ShowErrorAndThrow() {
  const WString& text = Msg(209);
  ShowMessage(kMbOk, u"%s", text);
  ErrorMsg(text.c_str());
  throw DvCodeError{0};
}

// ---- trace lines ----

namespace {
thread_local int traceDepth = 0;

std::string TimeStamp() {
  plat::LocalTime t = plat::Now();
  char buf[32];
  snprintf(buf, sizeof buf, "%02d/%02d/%02d %02d:%02d:%02d", (t.year - 1900 - 100) % 100, t.month, t.day, t.hour,
           t.minute, t.second);
  return buf;
}

int WriteTraceText(std::string_view text) {
  Trace& t = theTrace();
  auto lock = t.Lock();
  FILE* f = t.GetFile();
  if (!f) return 0;
  fwrite(text.data(), 1, text.size(), f);
  t.ReleaseFile(f);
  return int(text.size());
}
}  // namespace

void TraceFunction(const char* name, const char* mark) {
  bool entry = mark && (mark[0] == 'E') && mark[1] != 'x';  // "E" and "Enter" open a level
  if (!entry && traceDepth > 0) --traceDepth;
  std::string line(size_t(traceDepth) * 2, ' ');
  line += FormatA("%s %s %s\n", mark ? mark : "", name ? name : "", TimeStamp());
  if (entry) ++traceDepth;
  WriteTraceText(line);
}

int TracePrintfAArgs(std::string_view format, FmtArgs args) { return WriteTraceText(FormatAArgs(format, args)); }

int TraceText(std::string_view text) { return WriteTraceText(text); }

int TracePrintfWArgs(WStringView format, FmtArgs args) { return WriteTraceText(ToUtf8(FormatWArgs(format, args))); }

void TraceFileClose() {
  Trace& t = theTrace();
  auto lock = t.Lock();
  if (traceKeepFileOpen.load() && t.traceFile_) {
    fclose(t.traceFile_);
    t.traceFile_ = nullptr;
  }
}

int HexDumpSector(const void* buffer, int64_t sector, size_t length, size_t bytesPerSector, FILE* stream) {
  Trace& t = theTrace();
  auto lock = t.Lock();
  FILE* f = stream ? stream : t.GetFile();
  if (!f) return -1;
  if (bytesPerSector == 0) bytesPerSector = length ? length : 1;
  const uint8_t* b = static_cast<const uint8_t*>(buffer);
  int result = 0;
  std::string out;
  for (size_t start = 0; start < length && result == 0; start += bytesPerSector) {
    out.clear();
    if (sector != -1) out += FormatA("\nSector %I64d\n\n", sector++);
    size_t n = std::min(bytesPerSector, length - start);
    for (size_t line = 0; line < n; line += 16) {
      char buf[128];
      int k = snprintf(buf, sizeof buf, "%04x ", unsigned(line));
      out.append(buf, size_t(k));
      size_t m = std::min<size_t>(16, n - line);
      for (size_t i = 0; i < 16; ++i) {
        if (i < m) {
          k = snprintf(buf, sizeof buf, "%02x ", b[start + line + i]);
          out.append(buf, size_t(k));
        } else {
          out += "   ";
        }
      }
      out += "    ";
      for (size_t i = 0; i < m; ++i) {
        uint8_t c = b[start + line + i];
        out.push_back(c >= 0x20 && c < 0x7F ? char(c) : '.');
      }
      out.push_back('\n');
    }
    if (fwrite(out.data(), 1, out.size(), f) != out.size()) result = -1;
  }
  if (!stream) t.ReleaseFile(f);
  return result;
}

// ---- sector files of the trace folder ----

std::string TraceSectorFileName(const std::string& folder, int64_t firstSector, size_t byteCount,
                                size_t bytesPerSector, const char* extension, unsigned disk, unsigned partition) {
  long count = bytesPerSector ? long(byteCount / bytesPerSector) : 0;
  if (disk == 255) return FormatA("%s/%I64d_%ld.%s", folder, firstSector, count, extension);
  return FormatA("%s/%u_%u_%I64d_%ld.%s", folder, disk & 0xFF, partition & 0xFF, firstSector, count, extension);
}

int WriteTraceSectors(int64_t firstSector, size_t byteCount, size_t bytesPerSector, const void* data,
                      const char* extension, unsigned disk, unsigned partition) {
  if (bytesPerSector == 0) return 0;
  std::string folder = theTrace().TraceFolder();
  if (folder.empty()) return 0;
  std::string name = TraceSectorFileName(folder, firstSector, byteCount, bytesPerSector, extension, disk, partition);
  if (theTrace().IsProtectedSource(name)) return 0;
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return 0;
  size_t done = WriteFully(fd, data, byteCount);
  close(fd);
  return done == byteCount ? 1 : 0;
}

int ReadTraceSectors(int64_t firstSector, size_t byteCount, size_t bytesPerSector, void* buffer, unsigned disk,
                     unsigned partition) {
  std::string folder;
  if (g_appState && !g_appState->simulatedReadFolder.empty()) folder = ToUtf8(g_appState->simulatedReadFolder);
  else folder = theTrace().TraceFolder();
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  uint8_t* out = static_cast<uint8_t*>(buffer);
  if (bytesPerSector != 0) {
    std::string name = TraceSectorFileName(folder, firstSector, byteCount, bytesPerSector, "dsk", disk, partition);
    for (int attempt = 0; attempt < 2; ++attempt) {
      int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        size_t done = ReadFully(fd, out, byteCount);
        close(fd);
        if (done == byteCount) return 1;
        // A short file is as good as missing.
      }
      if (ShowMessage(kMbOkCancel | kMbIconWarning, u"Missing %s", name) == kIdCancel) break;
    }
  }
  std::memset(out, 0, byteCount);
  return 0;
}

// ---- trace file names ----

std::string DateTraceName(int year, int month, int day) {
  // Eight letters from the digits of YYYYMMDD, each shifted by its position,
  // so the name changes every day and cannot be guessed from the date alone.
  char digits[16];
  snprintf(digits, sizeof digits, "%04d%02d%02d", (year % 10000 + 10000) % 10000, (month % 100 + 100) % 100,
           (day % 100 + 100) % 100);
  std::string name(8, 'a');
  for (int i = 0; i < 8; ++i) name[size_t(i)] = char('a' + ((digits[i] - '0') * 7 + i * 3 + 5) % 26);
  return name;
}

int IsTraceFileName(WStringView name) {
  if (EqualsNoCase(name, u"wubgrain.txt")) return 1;
  WString n(name);
  for (auto& c : n)
    if (c == u'/') c = u'\\';
  size_t cut = n.find_last_of(u'\\');
  if (cut != WString::npos) n = n.substr(cut + 1);
  if (n.size() != 12) return 0;
  plat::LocalTime t = plat::Now();
  WString base = FromUtf8(DateTraceName(t.year, t.month, t.day));
  if (EqualsNoCase(n, base + u".txt")) return 1;
  if (EqualsNoCase(n, base + u".mbd")) return 2;
  return 0;
}
