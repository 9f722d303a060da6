#include "ui/core/PropertyRules.h"

#include <algorithm>
#include <cmath>

#include "foundation/Messages.h"
#include "foundation/Utilities.h"

const int kPropertyLabelMessages[10] = {271, 272, 45, 39, 68, 93, 273, 274, 275, 436};
const int kVolumeLabelMessages[5] = {174, 90, 269, 93, 63};

PreviewDims PreviewSize(int W, int H, double scale) {
  PreviewDims d;
  d.minBoxWidth = int(160 * scale);
  // A decoder that reports no width or height gave nothing to show; the
  // ratio below would divide by it.
  if (W <= 0 || H <= 0) return d;
  d.ok = true;
  if (H < 240 && W < 320) {
    d.width = W;
    d.height = H;
    return d;
  }
  const double r = double(H) / double(W);
  const double w240 = std::trunc(240 / r);
  const double h320 = std::trunc(r * 320);
  // A sliver of a picture still shows one pixel across and stays inside
  // the bitmap (the table alone gives 0 or more than the bitmap there).
  if (w240 <= 320) {
    d.width = std::max(1, int(std::min(w240, double(W))));
    d.height = int(std::clamp(std::trunc(r * d.width), 1.0, 240.0));
  } else {
    d.height = std::max(1, int(std::min(h320, double(H))));
    d.width = int(std::clamp(std::trunc(d.height / r), 1.0, 320.0));
  }
  return d;
}

PreviewBox PreviewBoxFor(const PreviewDims& drawn, int clientHeight, int u) {
  PreviewBox b;
  b.width = std::max(drawn.width, drawn.minBoxWidth);
  b.height = std::max(drawn.height, clientHeight - 2 * u);
  b.offsetX = std::max(0, (b.width - drawn.width) / 2);
  b.offsetY = std::max(0, (b.height - drawn.height) / 2);
  return b;
}

WString RunsHexText(const uint8_t* block, size_t blockSize) {
  if (!block || blockSize < 4) return {};
  const uint32_t stored = uint32_t(block[0]) | uint32_t(block[1]) << 8 | uint32_t(block[2]) << 16 |
                          uint32_t(block[3]) << 24;
  const size_t n = std::min({size_t(stored), blockSize - 4, kRunsDisplayLimit});
  WString out(n * 2, u'0');
  if (n) HexEncode(out.data(), block + 4, n);
  out.resize(n * 2);
  return out;
}

WString VolumeLetterText(int code) {
  if (code < 93 || code > 255) return FormatW(u"%c:", code);
  return FormatW(u"%d", code - 93);
}

WString CapacityText(int64_t sectorCount, uint32_t sectorSize) {
  const int64_t unit = sectorSize ? int64_t(sectorSize) : 512;
  int64_t bytes = 0;
  const bool ok = sectorCount >= 0 && !__builtin_mul_overflow(sectorCount, unit, &bytes);
  return (ok ? FormatSize(bytes) : WString(u"?")) + FormatW(u" (%I64d %s)", sectorCount, Msg(361));
}

PropertyRows FillPropertyRows(const PropertyRecord& rec, bool traceMessages) {
  PropertyRows rows;
  if (rec.flags & PropertyRecord::kVolume) {
    const auto& v = rec.volume;
    rows[0] = {Msg(174), v.label};
    rows[1] = {Msg(90), VolumeLetterText(v.letterCode)};
    rows[2] = {};
    rows[3] = {StripAccelerator(Msg(269)), FormatW(u"%I64d", v.firstSector)};
    rows[4] = {Msg(37), CapacityText(v.sectorCount, v.sectorSize)};
    rows[5] = {StripAccelerator(Msg(63)), v.fileSystem};
    rows[6] = {};
    return rows;
  }
  const bool file = rec.displayMode == 0;
  rows[0] = {Msg(45), rec.name};
  rows[1] = {Msg(39), rec.folder};
  rows[2] = {file ? Msg(68) : WString(), rec.dateText};
  rows[3] = {Msg(93), rec.sizeText};
  rows[4] = {file ? Msg(273) : WString(), rec.recordNumber >= 0 ? FormatW(u"%d", rec.recordNumber) : WString()};
  const bool hasNumber = rec.flags & PropertyRecord::kNumber;
  if (traceMessages && file && hasNumber && rec.numberKind == 1 && rec.recordNumber >= 0 && !rec.nodeData.empty())
    rows[5] = {Msg(274), RunsHexText(rec.nodeData.data(), rec.nodeData.size())};
  if (file) {
    const int kind = hasNumber ? rec.numberKind : 0;
    rows[6].label = Msg(kind == 1 ? 275 : (kind == 2 || kind == 3) ? 436 : 501);
    if (hasNumber)
      rows[6].value = kind >= 2 ? FormatW(u"%I64d", int64_t(uint32_t(uint64_t(rec.location))))
                                : FormatW(u"%I64d", rec.location);
  }
  return rows;
}

bool JpegHasEnd(const uint8_t* b, size_t n) {
  if (!b || n < 4 || b[0] != 0xFF || b[1] != 0xD8) return false;
  // Inside entropy-coded data every 0xFF is followed by 0x00 or a restart
  // marker, so the last 0xFF 0xDA is the last scan's start.
  size_t lastSos = WString::npos;
  for (size_t i = n - 1; i > 0; i--) {
    if (b[i - 1] == 0xFF && b[i] == 0xDA) {
      lastSos = i - 1;
      break;
    }
  }
  if (lastSos == WString::npos) return false;
  for (size_t i = lastSos + 2; i + 1 < n; i++)
    if (b[i] == 0xFF && b[i + 1] == 0xD9) return true;
  return false;
}
