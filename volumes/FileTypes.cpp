#include "volumes/FileTypes.h"

namespace {

struct TypeEntry {
  WStringView extension;
  const char* name;
};

// Sorted by extension (the three internal kinds have none and sort first).
constexpr TypeEntry kTypes[kFileTypeCount] = {
    {u"", "INFO2"},   {u"", "IDX"},     {u"", "BMAP"},    {u"avi", "avi"}, {u"bkf", "bkf"},
    {u"bmp", "bmp"},  {u"cr2", "cr2"},  {u"doc", "doc"},  {u"docx", "docx"}, {u"dwg", "dwg"},
    {u"gif", "gif"},  {u"jpg", "jpg"},  {u"mov", "mov"},  {u"mp3", "mp3"}, {u"mrw", "mrw"},
    {u"mts", "mts"},  {u"mxf", "mxf"},  {u"nef", "nef"},  {u"pdf", "pdf"}, {u"png", "png"},
    {u"ppt", "ppt"},  {u"pptx", "pptx"}, {u"rtf", "rtf"}, {u"tif", "tif"}, {u"wav", "wav"},
    {u"wma", "wma"},  {u"wmf", "wmf"},  {u"xls", "xls"},  {u"xlsx", "xlsx"}, {u"xml", "xml"},
    {u"zip", "zip"},
};

}  // namespace

WStringView FileTypeExtension(int type) {
  if (type < 0 || type >= kFileTypeCount) return {};
  return kTypes[type].extension;
}

const char* FileTypeName(int type) {
  if (type < 0 || type >= kFileTypeCount) return "?";
  return kTypes[type].name;
}

uint8_t ExtensionToType(WStringView name) {
  size_t dot = name.rfind(u'.');
  if (dot == WStringView::npos || dot + 1 == name.size()) return kNoFileType;
  WStringView ext = name.substr(dot + 1);
  int lo = 0, hi = kFileTypeCount - 1;
  while (lo <= hi) {
    int mid = (lo + hi) / 2;
    int c = CompareNoCase(ext, kTypes[mid].extension);
    if (c == 0) return uint8_t(mid);
    if (c < 0) hi = mid - 1;
    else lo = mid + 1;
  }
  return kNoFileType;
}

bool CarvedTypeAccepts(int expected, int found) {
  if (expected < 0 || expected >= kFileTypeCount || found < 0 || found >= kFileTypeCount) return false;
  if (found == expected) return true;
  if (expected == kTypeDoc) return found == kTypeXls || found == kTypePpt;
  if (expected == kTypeZip) return found == kTypeDocx || found == kTypePptx || found == kTypeXlsx;
  if (expected == kTypeNef) return found == kTypeTif;
  return false;
}

bool HeaderTypeAccepts(int expected, int headerType) {
  if (CarvedTypeAccepts(expected, headerType)) return true;
  if (headerType == kTypeDoc) return expected == kTypeXls || expected == kTypePpt;
  if (headerType == kTypeZip) return expected == kTypeDocx || expected == kTypePptx || expected == kTypeXlsx;
  return false;
}

bool HdrTypeMatches(int type, WStringView fileName) { return CarvedTypeAccepts(ExtensionToType(fileName), type); }
