#include "carving/SectorProbe.h"

#include <cstring>

#include "carving/Bkf.h"
#include "carving/HdrParse.h"
#include "carving/TextHelpers.h"
#include "carving/Zip.h"
#include "foundation/ByteOrder.h"
#include "volumes/FileTypes.h"
#include "volumes/Volume.h"

namespace {

bool At(const uint8_t* s, size_t offset, const char* text, size_t n) { return std::memcmp(s + offset, text, n) == 0; }

bool ZipStartAllowed(const HdrParse* driver, int64_t sector) {
  const HdrNode* zip = driver ? driver->Slot(kTypeZip) : nullptr;
  return !zip || zip->IsAtOrAfterStart(sector);
}

// A transport packet that starts a table section, with payload only and
// counter 0, as a stream's first packets are; its PID, or -1.
int StartingPacketPid(const uint8_t* p) {
  if (p[0] != 0x47 || (p[1] & 0xC0) != 0x40 || p[3] != 0x10) return -1;
  return (p[1] & 0x1F) << 8 | p[2];
}

// The first two packets of a transport stream, timestamped (a 4-byte time
// code with clear top bits before each 188-byte packet) or plain: the
// tables a stream opens with, the association table (PID 0), the service
// table (0x11) or the program map (the PID the association table names, or
// 0x100 where cameras put it), in either order. A map that comes first is
// known by its table id (2), as nothing has named its PID yet.
bool IsTransportStream(const uint8_t* s) {
  const size_t lead = s[0] == 0x47 ? 0 : 4;
  const size_t packet = 188 + lead;
  if (lead && (s[0] >= 64 || s[packet] >= 64)) return false;
  const int first = StartingPacketPid(s + lead);
  const int second = StartingPacketPid(s + packet + lead);
  if (first < 0 || second < 0 || first == second) return false;
  int programMap = 0x100;
  // The association table's first program: pointer 0, table id 0, then
  // its program number and map PID.
  const uint8_t* pat = s + lead + 4;
  if (first == 0 && pat[0] == 0 && pat[1] == 0) programMap = (pat[11] & 0x1F) << 8 | pat[12];
  const auto isTable = [&](int pid) { return pid == 0 || pid == 0x11 || pid == programMap || pid == 0x100; };
  if ((first == 0 || first == 0x11) && isTable(second)) return true;
  // Pointer 0, then the section's table id.
  const bool mapFirst = s[lead + 4] == 0 && s[lead + 5] == 0x02;
  return mapFirst && (second == 0 || second == 0x11);
}
bool IsTapeHeader(const uint8_t* s) { return At(s, 0, "TAPE", 4) && CheckBKFChecksum(s); }

// The key of an MXF header partition pack.
bool IsMxfHeaderPartition(const uint8_t* s) {
  static const uint8_t kKey[13] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01};
  return std::memcmp(s, kKey, sizeof kKey) == 0 && s[13] == 0x02 && s[14] >= 1 && s[14] <= 4;
}

// Every info header size writers use: the OS/2 core header (whose planes
// word lies at 22), the Windows one of 40 bytes and its extensions with
// colour masks (52, 56), OS/2 2.x (64), BITMAPV4 (108) and BITMAPV5 (124).
bool IsBmpHeader(const uint8_t* s) {
  if (s[1] != 'M' || Le32(s + 6) != 0) return false;
  switch (Le32(s + 14)) {
    case 12: return Le16(s + 22) == 1;
    case 40:
    case 52:
    case 56:
    case 64:
    case 108:
    case 124: return s[26] == 1 && s[27] == 0;
    default: return false;
  }
}

// Rows of the table before the transport stream's, which is tied to no
// first byte; each first byte has its rows in table order.
uint8_t EarlyRows(const uint8_t* s) {
  switch (s[0]) {
    case '{':
      if (At(s, 0, "{\\rtf", 5)) return kTypeRtf;
      break;
    case '%':
      if (At(s, 0, "%PDF-", 5)) return kTypePdf;
      break;
    case 'B':
      if (IsBmpHeader(s)) return kTypeBmp;
      break;
    case 0x30: {
      static const uint8_t kAsf[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                       0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
      if (std::memcmp(s, kAsf, 16) == 0) return kTypeWma;
      break;
    }
    case 0x00:
      if (At(s, 1, "MRM", 3)) return kTypeMrw;
      if (s[1] == 0 && s[2] == 0 && ((s[3] == 20 && At(s, 4, "pnot", 4)) || At(s, 4, "ftyp", 4))) return kTypeMov;
      break;
    case 'R':
      if (At(s, 0, "RIFF", 4)) {
        if (At(s, 8, "AVI ", 4)) return kTypeAvi;
        if (At(s, 8, "WAVE", 4)) return kTypeWav;
      }
      break;
    default:
      break;
  }
  return kNoFileType;
}

uint8_t LateRows(const uint8_t* s, const HdrParse* driver, int64_t sector) {
  switch (s[0]) {
    case 'P':
      // A local header whose version word has a high byte must pass the
      // record scan's header test.
      if (s[1] == 'K' &&
          ((s[2] == 3 && s[3] == 4 && (s[5] == 0 || IsPlausibleZipHeader(s, false))) || (s[2] == 7 && s[3] == 8) ||
           (At(s, 2, "00", 2) && At(s, 4, "PK", 2))) &&
          ZipStartAllowed(driver, sector))
        return kTypeZip;
      break;
    case 'T':
      if (IsTapeHeader(s)) return kTypeBkf;
      break;
    case 'A':
      if (At(s, 0, "AC101", 5) && (s[5] == '2' || s[5] == '4' || s[5] == '5')) return kTypeDwg;
      break;
    case 0x06:
      if (IsMxfHeaderPartition(s)) return kTypeMxf;
      break;
    case 'G':
      if (At(s, 0, "GIF87a", 6) || At(s, 0, "GIF89a", 6)) return kTypeGif;
      break;
    case 0xD7:
      if (s[1] == 0xCD && s[2] == 0xC6 && s[3] == 0x9A) return kTypeWmf;
      break;
    case 0xFF:
      // MPEG-1 Layer III or II, MPEG-2 Layer III or II, MPEG-2.5 Layer III.
      if ((s[1] >= 0xFA && s[1] <= 0xFD) || (s[1] >= 0xF2 && s[1] <= 0xF5) || s[1] == 0xE2 || s[1] == 0xE3) {
        const HdrNode* mp3 = driver ? driver->Slot(kTypeMp3) : nullptr;
        if (!mp3 || mp3->state == kHdrIdle) return kTypeMp3;
      }
      if (s[1] == 0xD8 && s[2] == 0xFF && (s[3] == 0xE0 || s[3] == 0xE1 || s[3] == 0xFE)) return kTypeJpg;
      break;
    case 'M':
      // Any first directory from byte 8 on: libtiff and ImageMagick put it
      // after the picture data. The directory walk rejects what is no TIFF.
      if (s[1] == 'M' && s[2] == 0 && s[3] == 0x2A && GetBigEndian(s + 4, 4) >= 8) return kTypeTif;
      break;
    case 0x89:
      if (At(s, 1, "PNG\r\n\x1a\n", 7)) return kTypePng;
      break;
    case 'I':
      if (At(s, 1, "I*\0", 3)) return kTypeTif;
      if (At(s, 1, "D3", 2)) return kTypeMp3;
      if (At(s, 1, "NDX", 3)) return kTypeIdx;
      break;
    default:
      break;
  }
  return kNoFileType;
}

}  // namespace

uint8_t ProbeSectorSignature(const uint8_t* s, const HdrParse* driver, int64_t sector) {
  if (!s) return kNoFileType;
  if (s[0] == 0xD0 && At(s, 0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8)) return kTypeDoc;
  if (Le32(s + 12) == 800 && s[21] == ':' && s[22] == '\\') return kTypeInfo2;
  uint8_t type = EarlyRows(s);
  if (type != kNoFileType) return type;
  if (IsTransportStream(s)) return kTypeMts;
  return LateRows(s, driver, sector);
}

uint8_t CarvedHeaderType(const uint8_t* data, size_t count) {
  if (!data || count == 0) return kNoFileType;
  uint8_t padded[kProbeBytes];
  const uint8_t* s = data;
  if (count < kProbeBytes) {
    std::memset(padded, 0, sizeof padded);
    std::memcpy(padded, data, count);
    s = padded;
  }
  const uint8_t type = ProbeSectorSignature(s);
  if (type == kTypeTif) return uint8_t(ClassifyTiffKind(data, count));
  return type;
}
