#include "ui/core/ListText.h"

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/Utilities.h"
#include "platform/Format.h"
#include "volumes/Node.h"

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
  int id = 0;
  if (g_appState) id = g_appState->statusWordIds[size_t(code)];
  else {
    static const int16_t kDefault[8] = {0, 155, 162, 328, 329, 231, 200, 0};
    id = kDefault[code];
  }
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
