// Decoding a found picture for the properties dialog: Qt's image readers
// on the bytes in memory, with an allocation limit (the bytes come from
// deleted or carved files and may say anything), JPEG decoded straight to
// the reduced size.
#pragma once
#include <QImage>
#include <cstddef>
#include <cstdint>

#include "ui/core/PropertyRules.h"

inline constexpr int kPreviewAllocationLimitMiB = 128;

struct DecodedPreview {
  bool ok = false;
  int sourceWidth = 0, sourceHeight = 0;  // as the file says
  PreviewDims dims;                       // the reduced size
  QImage image;                           // dims.width x dims.height
};

// scaledDecode: let the reader decode to the reduced size where it can
// (JPEG); off, the whole picture is decoded and then scaled (the benchmark
// compares both).
DecodedPreview DecodePreview(const uint8_t* bytes, size_t count, double scale, bool scaledDecode = true);
