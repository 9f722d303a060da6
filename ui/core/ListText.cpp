#include "ui/core/ListText.h"

#include <algorithm>
#include <charconv>
#include <ctime>

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/Utilities.h"
#include "platform/Format.h"
#include "ui/core/FolderIndex.h"
#include "volumes/Node.h"
#include "volumes/ScanSink.h"

const int kListColumnMessageIds[kListColumnCount] = {45, 109, 39, 90, 96, 93, 68};

WString FolderColumnText(WStringView path) {
  const size_t slash = path.find(u'\\');
  if (slash == WStringView::npos) return u"\\";
  return WString(path.substr(slash));
}

WString VolumeColumnText(WStringView path) {
  if (path.find(u':') == WStringView::npos || path.empty()) return {};
  const char16_t code = path[0];
  if (code >= u'A' && code <= u'Z') return WString(u" ") + code + u':';
  if (code >= 93 && code <= 255) return FormatW(u"%3d", int(code) - 93);
  return {};
}

WString StatusColumnText(uint16_t nodeFlags) {
  const int code = (nodeFlags >> 8) & 7;
  if (code == 0) return {};
  const int id = ProgramOptions().statusWordIds[size_t(code)];
  return StripAccelerator(Msg(id));
}

WString FileCellText(int column, const ListStore& store, size_t record, const ListNodeInfo* node) {
  switch (column) {
    case kColName:
      return node ? WString(node->name) : WString();
    case kColType:
      return store.Type(record);
    case kColFolder:
      return FolderColumnText(store.Path(record));
    case kColVolume:
      return VolumeColumnText(store.Path(record));
    case kColStatus:
      return node ? StatusColumnText(node->flags) : WString();
    case kColSize:
      return node && !node->folder ? FormatSize(int64_t(node->size), true) : WString();
    case kColDate:
      return node ? FormatDateTime(node->time) : WString();
    default:
      return {};
  }
}

int FileItemInfo(const ListStore& store, size_t record, const ListNodeInfo* node, bool noDetails, ListItemInfo& out) {
  out = ListItemInfo{};
  out.nodeIndex = store.At(record).nodeIndex;
  out.name = FileCellText(kColName, store, record, node);
  if (noDetails) return 0;
  const WString& path = store.Path(record);
  const bool numbered = path.size() >= 2 && path[0] >= 93 && path[0] <= 255 && path[1] == u':';
  out.folder = numbered ? path.substr(2) : path;
  out.sizeText = FileCellText(kColSize, store, record, node);
  out.dateText = FileCellText(kColDate, store, record, node);
  return 0;
}

WString VolumeRowLabel(WStringView path, WStringView volumeLabel) {
  const WString label = volumeLabel.empty() ? WString() : FormatW(u"(%s)", volumeLabel);
  if (!path.empty()) {
    const char16_t code = path[0];
    if (code >= u'A' && code <= u'Z') return FormatW(u"%s %c: %s", Msg(90), code, label);
    if (code >= 93 && code <= 255) return FormatW(u"%s %d %s", Msg(90), int(code) - 93, label);
  }
  return Msg(428);
}

WString ParentFolderText(WStringView path) {
  const size_t first = path.find(u'\\');
  const size_t last = path.rfind(u'\\');
  if (first == WStringView::npos || first == last) return {};
  return WString(path.substr(first, last - first));
}

WString FolderCellText(int column, const FolderIndex& folders, uint32_t row, WStringView volumeLabel) {
  if (row >= folders.Count()) return {};
  const FolderRow& f = folders.At(row);
  const WString& path = folders.Path(row);
  switch (column) {
    case kColName:
      return f.level == 0 ? VolumeRowLabel(path, volumeLabel) : WString(folders.Name(row));
    case kColType:
      return Msg(f.level == 0 ? 90 : 39);
    case kColFolder:
      return ParentFolderText(path);
    case kColVolume:
      return VolumeColumnText(path);
    case kColSize:
      return f.totalSize == kFolderSizeUnknown ? WString() : FormatSize(int64_t(std::min<uint64_t>(f.totalSize, INT64_MAX)), false);
    default:
      return {};
  }
}

int FolderItemInfo(FolderIndex& folders, uint32_t row, const ListStore& store, const ListNodeSource* nodes,
                   WStringView volumeLabel, ListItemInfo& out) {
  out = ListItemInfo{};
  if (row >= folders.Count()) return -1;
  out.name = FolderCellText(kColName, folders, row, volumeLabel);
  out.folder = ParentFolderText(folders.Path(row));
  if (out.folder.empty()) out.folder = u"\\";
  folders.ComputeFolderSize(row, store, nodes);
  out.sizeText = FolderCellText(kColSize, folders, row, volumeLabel);
  out.nodeIndex = folders.At(row).nodeIndex;
  return 1;
}

int RecoveredName(WStringView path, WStringView name, bool useFolderNames, size_t bufferChars, WString& out) {
  if (path.size() + name.size() + 2 > bufferChars) return -1;
  if (!useFolderNames || path.size() <= 1) {
    out = WString(u"\\") + WString(name);
    return 0;
  }
  WStringView folder = path;
  const size_t colon = path.find(u':');
  if (colon != WStringView::npos && colon != 0) folder = path.substr(colon + 1);
  out = WString(folder) + u'\\' + WString(name);
  return 0;
}

bool InCheckBand(int x, bool folderDisplay, bool themed) {
  const int lo = themed ? 8 : 5, hi = themed ? 18 : 15;
  return folderDisplay ? (x >= lo && x <= hi) : (x > lo && x < hi);
}

uint32_t BandColour(size_t row) { return (row & 1) ? 0xE6F0E6u : 0xFFFFFFu; }

ListColours ListColoursFor(uint32_t base, uint32_t text) {
  auto channel = [](uint32_t c, int shift) { return int((c >> shift) & 0xFF); };
  auto luma = [&](uint32_t c) { return (299 * channel(c, 16) + 587 * channel(c, 8) + 114 * channel(c, 0)) / 1000; };
  ListColours out;
  if (luma(base) >= 128) return out;
  auto mix = [&](uint32_t a, uint32_t b, int percentB) {
    uint32_t m = 0;
    for (int shift : {16, 8, 0})
      m |= uint32_t((channel(a, shift) * (100 - percentB) + channel(b, shift) * percentB) / 100) << shift;
    return m;
  };
  out.even = base & 0xFFFFFFu;
  out.odd = mix(base, text, 10);
  out.ink = text & 0xFFFFFFu;
  out.deletedInk = 0xFF7A7Au;
  return out;
}

bool PreviewableFile(const ListNodeInfo& node) {
  if (node.size > 16777216u) return false;
  if (node.volumeIndex == 0xFFFF && !(node.firstByte & 0x80)) return false;
  const WString ext = LowerExtension(node.name);
  static const char16_t* const kPictures[] = {u"jpg", u"png", u"bmp",  u"gif",  u"tif",
                                              u"jpeg", u"tiff", u"exif", u"wmf", u"emf"};
  for (const char16_t* p : kPictures)
    if (ext == p) return true;
  return false;
}

TitleTipPlacement PlaceTitleTip(int cellLeft, int cellRight, int offset, bool firstColumn, int margin, int textWidth) {
  TitleTipPlacement p;
  const int q = margin / 4;
  const int off = firstColumn ? offset + q : margin - q;
  const int width = textWidth + 5;
  const int right = cellLeft + off + width;
  const int limit = firstColumn ? cellRight - margin / 2 + 1 : cellRight - margin + 5;
  if (right < limit) return p;  // the text fits
  p.show = true;
  p.left = cellLeft + off;
  p.width = width;
  p.hitLeft = p.left - q;
  p.hitRight = p.left + width + q;
  return p;
}

int SortArrowImage(double scale, bool ascending) {
  const int base = scale >= 1.375 ? 4 : scale >= 1.125 ? 2 : 0;
  return base + (ascending ? 1 : 0);
}

// ---- bulk formatting ----

namespace {

void AppendAscii(WString& out, const char* begin, const char* end) {
  for (const char* p = begin; p < end; ++p) out.push_back(char16_t(uint8_t(*p)));
}

void AppendTwo(WString& out, int v) {
  out.push_back(char16_t(u'0' + v / 10 % 10));
  out.push_back(char16_t(u'0' + v % 10));
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = yoe + era * 400;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = int(doy - (153 * mp + 2) / 5 + 1);
  m = int(mp < 10 ? mp + 3 : mp - 9);
  if (m <= 2) ++y;
}

constexpr int64_t kFileTimeUnits = 10000000;
constexpr int64_t kEpochSeconds = 11644473600LL;
constexpr int64_t kZoneStep = 900;  // time-zone rules change on quarter hours

}  // namespace

void CellFormatter::SizeText(int64_t bytes, bool exact, WString& out) {
  if (!unitsLoaded_) {
    for (int i = 0; i < 4; ++i) units_[i] = Msg(449 + i);
    unitsLoaded_ = true;
  }
  out.clear();
  constexpr int64_t kKiB = 1024, kMiB = kKiB << 10, kGiB = kMiB << 10, kTiB = kGiB << 10;
  if (bytes == 0 || bytes <= kKiB) {
    out.push_back(bytes == 0 ? u'0' : u'1');
    out.push_back(u' ');
    out += units_[0];
  } else {
    const int unit = bytes < kMiB ? 0 : bytes < kGiB ? 1 : bytes < kTiB ? 2 : 3;
    const double scale = unit == 0 ? double(kKiB) : unit == 1 ? double(kMiB) : unit == 2 ? double(kGiB) : double(kTiB);
    // Two decimals, rounded exactly as printf's "%3.2f" rounds.
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, double(bytes) / scale, std::chars_format::fixed, 2);
    AppendAscii(out, buf, r.ptr);
    out.push_back(u' ');
    out += units_[unit];
  }
  if (exact) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, bytes);
    out += u" (";
    AppendAscii(out, buf, r.ptr);
    out.push_back(u')');
  }
}

void CellFormatter::DateText(uint64_t fileTime, WString& out) {
  static const char16_t kInvalid[] = u"0000/00/00 00:00:00";
  out.clear();
  const int64_t seconds = int64_t(fileTime / uint64_t(kFileTimeUnits)) - kEpochSeconds;
  if (seconds < zoneStart_ || seconds >= zoneEnd_) {
    // The offset of this quarter hour, kept when both its ends agree.
    const int64_t start = seconds - ((seconds % kZoneStep) + kZoneStep) % kZoneStep;
    struct tm a {}, b {};
    const time_t ta = time_t(start), tb = time_t(start + kZoneStep - 1);
    if (!localtime_r(&ta, &a) || !localtime_r(&tb, &b) || a.tm_gmtoff != b.tm_gmtoff) {
      out = FormatDateTime(fileTime);
      return;
    }
    zoneStart_ = start;
    zoneEnd_ = start + kZoneStep;
    offset_ = a.tm_gmtoff;
  }
  const int64_t local = seconds + offset_;
  const int64_t days = (local >= 0 ? local : local - 86399) / 86400;
  const int64_t rest = local - days * 86400;
  int64_t y = 0;
  int m = 0, d = 0;
  CivilFromDays(days, y, m, d);
  if (y > 9999 || y < 0) {
    out = kInvalid;
    return;
  }
  const int yy = int(y);
  AppendTwo(out, yy / 100);
  AppendTwo(out, yy % 100);
  out.push_back(u'/');
  AppendTwo(out, m);
  out.push_back(u'/');
  AppendTwo(out, d);
  out.push_back(u' ');
  AppendTwo(out, int(rest / 3600));
  out.push_back(u':');
  AppendTwo(out, int(rest / 60 % 60));
  out.push_back(u':');
  AppendTwo(out, int(rest % 60));
}

void CellFormatter::FileCell(int column, const ListStore& store, size_t record, const ListNodeInfo* node,
                             WString& out) {
  switch (column) {
    case kColSize:
      if (node && !node->folder) SizeText(int64_t(node->size), true, out);
      else out.clear();
      return;
    case kColDate:
      if (node) DateText(node->time, out);
      else out.clear();
      return;
    case kColName:
      if (node) out.assign(node->name);
      else out.clear();
      return;
    case kColType:
      out = store.Type(record);
      return;
    case kColFolder: {
      const WString& path = store.Path(record);
      const size_t slash = path.find(u'\\');
      if (slash == WString::npos) out.assign(1, u'\\');
      else out.assign(path, slash, WString::npos);
      return;
    }
    case kColVolume: {
      const WString& path = store.Path(record);
      const char16_t code = path.empty() ? 0 : path[0];
      if (code >= 256) {
        out = VolumeColumnText(path);
        return;
      }
      if (!volumeKnown_[code]) {
        // The text depends on the code and on whether there is a colon.
        volume_[code] = VolumeColumnText(WString(1, code) + u":");
        volumeKnown_[code] = true;
      }
      if (path.find(u':') == WString::npos) out.clear();
      else out = volume_[code];
      return;
    }
    case kColStatus:
      if (!node) {
        out.clear();
        return;
      }
      if (!statusLoaded_) {
        for (int c = 0; c < 8; ++c) status_[c] = StatusColumnText(uint16_t(c << 8));
        statusLoaded_ = true;
      }
      out = status_[(node->flags >> 8) & 7];
      return;
    default:
      out = FileCellText(column, store, record, node);
      return;
  }
}
