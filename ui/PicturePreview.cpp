#include "ui/PicturePreview.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

DecodedPreview DecodePreview(const uint8_t* bytes, size_t count, double scale, bool scaledDecode) {
  DecodedPreview out;
  if (!bytes || count == 0 || count > size_t(INT32_MAX)) return out;
  const QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes), qsizetype(count));
  QBuffer buffer;
  buffer.setData(data);
  if (!buffer.open(QIODevice::ReadOnly)) return out;
  QImageReader reader(&buffer);
  reader.setAllocationLimit(kPreviewAllocationLimitMiB);
  reader.setAutoTransform(false);
  const QByteArray format = reader.format();
  if (format.isEmpty()) return out;
  if ((format == "jpeg" || format == "jpg") && !JpegHasEnd(bytes, count)) return out;
  QSize size = reader.size();
  PreviewDims dims;
  bool scaled = false;
  if (size.isValid()) {
    dims = PreviewSize(size.width(), size.height(), scale);
    if (!dims.ok) return out;
    if (scaledDecode && reader.supportsOption(QImageIOHandler::ScaledSize) &&
        (dims.width != size.width() || dims.height != size.height())) {
      reader.setScaledSize(QSize(dims.width, dims.height));
      // Below 50 the JPEG reader takes the fast inverse DCT and plain
      // upsampling: a 320 x 240 preview shows no difference.
      reader.setQuality(49);
      scaled = true;
    }
  }
  QImage image;
  if (!reader.read(&image) || image.isNull()) return out;
  if (!size.isValid() || !scaled) {
    if (!size.isValid()) size = image.size();
    dims = PreviewSize(size.width(), size.height(), scale);
    if (!dims.ok) return out;
    if (image.width() != dims.width || image.height() != dims.height)
      image = image.scaled(dims.width, dims.height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  }
  out.ok = true;
  out.sourceWidth = size.width();
  out.sourceHeight = size.height();
  out.dims = dims;
  out.image = std::move(image);
  return out;
}
