#include "carving/HdrParse.h"

#include "carving/Bkf.h"
#include "carving/Documents.h"
#include "carving/InternalKinds.h"
#include "carving/Media.h"
#include "carving/Mxf.h"
#include "carving/Ole2.h"
#include "carving/Pictures.h"
#include "carving/Zip.h"

namespace {

std::unique_ptr<HdrNode> MakeParser(int type) {
  switch (type) {
    case kTypeInfo2:
      return std::make_unique<HdrINFO2>();
    case kTypeIdx:
      return std::make_unique<HdrIDX>();
    case kTypeBmap:
      return std::make_unique<HdrBMAP>();
    case kTypeBmp:
      return std::make_unique<HdrBMP>();
    case kTypeCr2:
    case kTypeNef:
    case kTypeTif:
      return std::make_unique<HdrTIF>();
    case kTypeGif:
      return std::make_unique<HdrGIF>();
    case kTypeJpg:
      return std::make_unique<HdrJPG>();
    case kTypeMrw:
      return std::make_unique<HdrMRW>();
    case kTypePng:
      return std::make_unique<HdrPNG>();
    case kTypeWmf:
      return std::make_unique<HdrWMF>();
    // Archives and documents: only the zip and doc parsers are started;
    // their refined type tells the rest.
    case kTypeDocx:
    case kTypePptx:
    case kTypeXlsx:
    case kTypeZip:
      return std::make_unique<HdrZIP>();
    case kTypeDoc:
    case kTypePpt:
    case kTypeXls:
      return std::make_unique<HdrMSO>();
    case kTypePdf:
      return std::make_unique<HdrPDF>();
    case kTypeRtf:
      return std::make_unique<HdrRTF>();
    case kTypeDwg:
      return std::make_unique<HdrDWG>();
    case kTypeXml:
      return std::make_unique<HdrXML>();
    case kTypeAvi:
      return std::make_unique<HdrAVI>();
    case kTypeWav:
      return std::make_unique<HdrWAV>();
    case kTypeMov:
      return std::make_unique<HdrMOV>();
    case kTypeMp3:
      return std::make_unique<HdrMP3>();
    case kTypeMts:
      return std::make_unique<HdrMTS>();
    case kTypeMxf:
      return std::make_unique<HdrMXF>();
    case kTypeBkf:
      return std::make_unique<HdrBKF>();
    default:
      // Kinds whose parsers are not built keep the base parse: every
      // header is refused.
      return std::make_unique<HdrNode>();
  }
}

uint8_t ClassByteOf(int type) {
  switch (type) {
    case kTypeInfo2:
    case kTypeIdx:
    case kTypeBmap:
      return kHdrClassInternal;
    case kTypeBmp:
    case kTypeMrw:
      return kHdrClassHeaderSized;
    default:
      return 0;
  }
}

}  // namespace

HdrParse::HdrParse(HdrReader* reader) {
  for (int t = 0; t < kFileTypeCount; ++t) {
    slots_[t] = MakeParser(t);
    slots_[t]->classByte = ClassByteOf(t);
  }
  SetReader(reader);
}

HdrParse::~HdrParse() = default;

void HdrParse::SetReader(HdrReader* reader) {
  reader_ = reader;
  for (auto& s : slots_) {
    s->reader = reader;
    s->sectorSize = reader && reader->SectorSize() ? reader->SectorSize() : 512;
  }
}

HdrNode* HdrParse::Slot(int type) const {
  if (type < 0 || type >= kFileTypeCount) return nullptr;
  return slots_[type].get();
}

void HdrParse::ResetSlot(int type) {
  HdrNode* p = Slot(type);
  if (!p) return;
  if (counted_[type]) {
    counted_[type] = false;
    --active_;
  }
  p->Reset();
}

int HdrParse::Parse(int type, const uint8_t* buffer, size_t bytes) {
  HdrNode* p = Slot(type);
  if (!p || !buffer || bytes == 0) return -1;
  switch (type) {
    case kTypeAvi:
    case kTypeBkf:
    case kTypeDoc:
    case kTypeDwg:
    case kTypeJpg:
    case kTypePdf:
    case kTypeRtf:
    case kTypeWav:
    case kTypeZip:
      p->state = kHdrActive;
      break;
    case kTypeTif:
      p->state = kHdrActive;
      static_cast<HdrTIF*>(p)->littleEndian = buffer[0] == 'M' ? 0 : 1;
      break;
    case kTypeMp3:
      p->state = buffer[0] == 'I' ? kHdrActiveId3 : kHdrActive;
      break;
    default:
      break;  // the parser activates itself, or finishes at once
  }
  const int r = p->Parse(buffer, bytes);
  if (r < 0) {
    ResetSlot(type);
    return r;
  }
  if (r == 0) {
    if (!counted_[type]) {
      counted_[type] = true;
      ++active_;
    }
    return kFileTypePending;
  }
  return r == 1 ? type : kFileTypePending;
}

int HdrParse::ParseMore(const uint8_t* buffer, size_t bytes, int64_t endSector) {
  if (!buffer) return kFileTypePending;
  for (int t = 0; t < kFileTypeCount; ++t) {
    HdrNode* p = slots_[t].get();
    if (p->state == kHdrIdle) continue;
    // A file that finished and was not taken yet is reported again, never
    // fed past its end.
    if (p->state == kHdrComplete) return t;
    if (p->lastSector >= endSector) continue;
    p->lastSector = endSector;
    const int r = p->Parse(buffer, bytes);
    if (r == 0) continue;
    if (counted_[t]) {
      counted_[t] = false;
      --active_;
    }
    if (r < 0) {
      p->Reset();
      continue;
    }
    return t;
  }
  return kFileTypePending;
}

int HdrParse::Flush() {
  for (int t = 0; t < kFileTypeCount; ++t) {
    if (slots_[t]->state == kHdrIdle) continue;
    if (counted_[t]) {
      counted_[t] = false;
      --active_;
    }
    return t;
  }
  return kFileTypePending;
}
