// The file type index shared by the sector classifier, the carving driver,
// the engine's extension table and the recovery writer: 0..30, with 31 for
// "none or still pending" and 255 for "no carving type".
#pragma once
#include <cstdint>
#include <string_view>

#include "platform/Text.h"

enum FileType : uint8_t {
  kTypeInfo2 = 0,  // recycle-bin index record
  kTypeIdx = 1,    // NTFS index buffer
  kTypeBmap = 2,
  kTypeAvi = 3,
  kTypeBkf = 4,
  kTypeBmp = 5,
  kTypeCr2 = 6,
  kTypeDoc = 7,
  kTypeDocx = 8,
  kTypeDwg = 9,
  kTypeGif = 10,
  kTypeJpg = 11,
  kTypeMov = 12,
  kTypeMp3 = 13,
  kTypeMrw = 14,
  kTypeMts = 15,
  kTypeMxf = 16,
  kTypeNef = 17,
  kTypePdf = 18,
  kTypePng = 19,
  kTypePpt = 20,
  kTypePptx = 21,
  kTypeRtf = 22,
  kTypeTif = 23,
  kTypeWav = 24,
  kTypeWma = 25,
  kTypeWmf = 26,
  kTypeXls = 27,
  kTypeXlsx = 28,
  kTypeXml = 29,
  kTypeZip = 30,
};

inline constexpr int kFileTypeCount = 31;
inline constexpr int kFileTypePending = 31;  // also "no parser" from the driver
inline constexpr uint8_t kNoFileType = 255;

// The extension of a type ("avi".."zip"); empty for the three internal
// kinds and for values outside 0..30. The table is sorted so that a binary
// search over it finds an extension's index.
WStringView FileTypeExtension(int type);
// A short name for traces: "INFO2", "IDX", "BMAP", then the extensions;
// "?" outside 0..30.
const char* FileTypeName(int type);

// The type of a file name by the text after its last '.', compared without
// regard to ASCII case; 255 when there is no '.', nothing after it, or the
// extension is not in the table.
uint8_t ExtensionToType(WStringView name);

// Whether content of carving type `found` may be written as a file of type
// `expected`: equal types; a doc accepts xls and ppt; a zip accepts docx,
// pptx and xlsx; a nef accepts tif (a nef's first bytes are a plain TIFF
// header: only its directories tell it apart). 255 is accepted by nothing.
bool CarvedTypeAccepts(int expected, int found);

// Whether a file named as type `expected` may start with a header the probe
// names `headerType`: as CarvedTypeAccepts, and since a file's first bytes
// tell only the container, a compound file's header for an xls or ppt name
// and a zip's for a docx, pptx or xlsx name.
bool HeaderTypeAccepts(int expected, int headerType);

// Whether a file whose name places it at type t may be written as carved
// kind `type` (CarvedTypeAccepts(t, type)). A name of no known type accepts
// nothing.
// Without a scan engine there is nothing to check against, so a caller
// that has none treats every file as matching instead of calling this.
bool HdrTypeMatches(int type, WStringView fileName);
