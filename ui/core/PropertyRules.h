// Rules of the file properties dialog that need no window: the reduced
// size of a preview picture, the preview box, and the seven rows of the
// table for a file row or a volume row.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Text.h"

// What the view tells the dialog about one row.
struct PropertyRecord {
  enum Flags : uint32_t { kDetails = 1, kNumber = 2, kVolume = 4, kPicture = 8 };
  uint32_t flags = 0;
  // kDetails
  WString name, folder, dateText, sizeText;
  int32_t recordNumber = -1;  // -1 none
  int displayMode = 0;        // 0 file row, 1 folder row, 2 volume row
  // kNumber: the volume type code of the row's volume (0 none) and the
  // location value (whole for kind 1, its low 32 bits for kinds 2 and up).
  uint8_t numberKind = 0;
  int64_t location = 0;
  // kVolume
  struct Volume {
    WString label;
    int letterCode = 0;  // a drive letter, or 93 + the volume number
    int64_t firstSector = 0;
    int64_t sectorCount = 0;
    WString fileSystem;  // the file system the volume is, as its family names it
    uint32_t sectorSize = 0;  // 0: the drive gives none (512)
  } volume;
  // kPicture: the file's bytes as the view read them.
  std::vector<uint8_t> picture;
  // The node's data block for the Runs row (a 32-bit length, then the
  // bytes), when the view has one; empty otherwise.
  std::vector<uint8_t> nodeData;
};

// The reduced size of a W x H picture in the 320 x 240 preview: never
// enlarged, the aspect kept. ok is false for a width or height of 0 or
// below (such a picture cannot be shown).
struct PreviewDims {
  bool ok = false;
  int width = 0, height = 0;
  int minBoxWidth = 0;  // trunc(160 x scale)
};
PreviewDims PreviewSize(int W, int H, double scale);

// The box the picture sits in, beside the table.
struct PreviewBox {
  int width = 0, height = 0;
  int offsetX = 0, offsetY = 0;
};
// drawn: PreviewSize's result; clientHeight: the base client height; u:
// the margin.
PreviewBox PreviewBoxFor(const PreviewDims& drawn, int clientHeight, int u);

// One row of the table.
struct PropertyRow {
  WString label, value;
  bool operator==(const PropertyRow&) const = default;
};
using PropertyRows = std::array<PropertyRow, 7>;

// Messages of the file-row labels measured for the label column, and of
// the volume-row labels.
extern const int kPropertyLabelMessages[10];
extern const int kVolumeLabelMessages[5];

// Upper bound of the bytes the Runs row shows.
inline constexpr size_t kRunsDisplayLimit = 4096;
// The Runs value: the lower-case hex of the bytes after the 32-bit length
// at the front of block, the length capped by the block's real size and by
// kRunsDisplayLimit. Empty for a block shorter than its length field.
WString RunsHexText(const uint8_t* block, size_t blockSize);

// The rows of a record. traceMessages: the message-trace switch (it shows
// the Runs row).
PropertyRows FillPropertyRows(const PropertyRecord& record, bool traceMessages);

// The volume row's texts.
WString VolumeLetterText(int letterCode);
// FormatSize of count x sector size (512 for 0) and " (%I64d sectors)";
// "?" in place of the size when the product overflows or count < 0.
WString CapacityText(int64_t sectorCount, uint32_t sectorSize);

// Whether JPEG bytes hold an end-of-image marker after their last
// start-of-scan marker: a cut-off file does not, and its decoder would
// fill the missing part grey rather than fail.
bool JpegHasEnd(const uint8_t* bytes, size_t size);
