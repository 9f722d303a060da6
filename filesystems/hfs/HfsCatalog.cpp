#include "filesystems/hfs/HfsCatalog.h"

#include "filesystems/hfs/Definitions.h"
#include "foundation/ByteOrder.h"

using namespace hfs;

namespace {

uint32_t Be32(const uint8_t* p) { return GetBigEndian(p, 4); }
uint16_t Be16(const uint8_t* p) { return GetBigEndian16(p); }

}  // namespace

bool ParseHfsCatalogKey(const uint8_t* rec, size_t left, HfsCatalogKey* key) {
  if (left < kCatKeyName) return false;
  const uint16_t keyLength = Be16(rec + kCatKeyLength), nameLength = Be16(rec + kCatKeyNameLength);
  if (nameLength > kMaxNameLength || keyLength != 2u * nameLength + kCatKeyFixedBytes) return false;
  if (size_t(keyLength) + 4 > left) return false;
  key->keyLength = keyLength;
  key->parentId = Be32(rec + kCatKeyParent);
  key->nameLength = nameLength;
  key->name = rec + kCatKeyName;
  return true;
}

bool ParseHfsCatalogRecord(const uint8_t* d, size_t left, HfsCatalogRecord* r) {
  if (left < 2) return false;
  r->type = Be16(d + kRecType);
  switch (r->type) {
    case kRecFolder:
    case kRecFile: {
      if (left < (r->type == kRecFile ? kFileRecordBytes : kFolderRecordBytes)) return false;
      r->flags = Be16(d + kRecFlags);
      r->valence = Be32(d + kRecValence);
      r->id = Be32(d + kRecId);
      r->createDate = Be32(d + kRecCreateDate);
      r->contentModDate = Be32(d + kRecContentModDate);
      r->attributeModDate = Be32(d + kRecAttributeModDate);
      r->accessDate = Be32(d + kRecAccessDate);
      r->backupDate = Be32(d + kRecBackupDate);
      r->mode = Be16(d + kRecFileMode);
      if (r->type == kRecFile) r->dataFork = ReadHfsFork(d + kRecDataFork);
      return true;
    }
    case kRecFolderThread:
    case kRecFileThread: {
      if (left < kThreadFixedBytes) return false;
      const uint32_t units = Be16(d + kThreadName);
      if (units > kMaxNameLength || left < kThreadFixedBytes + 2 * size_t(units)) return false;
      r->threadParent = Be32(d + kThreadParent);
      return true;
    }
    default: return false;
  }
}

WString HfsNameToWide(const uint8_t* name, uint32_t units) {
  WString out;
  out.reserve(units);
  for (uint32_t i = 0; i < units; ++i) {
    char16_t c = char16_t(Be16(name + 2 * i));
    switch (c) {
      case u'"':
      case u'*':
      case u'/':
      case u':':
      case u'<':
      case u'>':
      case u'?':
      case u'\\':
      case u'|': c = u'_'; break;
      default:
        if (c < 0x20) c = u'_';
    }
    out.push_back(c);
  }
  while (!out.empty() && out.back() == u' ') out.pop_back();
  return out;
}
