#include "resources/program_icon.h"

#include <QFile>
#include <QImageReader>
#include <QPixmap>
#include <QtEndian>
#include <cstdint>

namespace tolvane {
namespace {

constexpr auto icon_path = ":/program_icon.ico";

std::uint16_t u16(const QByteArray& data, qsizetype at) {
  return qFromLittleEndian<std::uint16_t>(data.constData() + at);
}
std::uint32_t u32(const QByteArray& data, qsizetype at) {
  return qFromLittleEndian<std::uint32_t>(data.constData() + at);
}

// Clears the pixels the icon's AND mask marks transparent. An entry that is not a plain bitmap
// (a PNG, a compressed or truncated bitmap, a size that differs from the image) is left as read.
void apply_mask(const QByteArray& file, int index, QImage& image) {
  const qsizetype entry = 6 + 16 * qsizetype{index};
  if (file.size() < entry + 16) return;
  const qsizetype offset = u32(file, entry + 12);
  const qsizetype size = u32(file, entry + 8);
  if (offset < 0 || size < 40 || offset > file.size() - size) return;
  if (u32(file, offset) != 40 || u32(file, offset + 16) != 0) return;  // BITMAPINFOHEADER, BI_RGB
  const auto width = static_cast<std::int32_t>(u32(file, offset + 4));
  const auto height = static_cast<std::int32_t>(u32(file, offset + 8)) / 2;
  const int bits = u16(file, offset + 14);
  if (width != image.width() || height != image.height() || width <= 0 || height <= 0) return;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return;
  qsizetype colours = 0;
  if (bits <= 8) {
    colours = u32(file, offset + 32);
    if (colours == 0) colours = qsizetype{1} << bits;
  }
  const qsizetype colour_row = ((qsizetype{width} * bits + 31) / 32) * 4;
  const qsizetype mask_row = ((qsizetype{width} + 31) / 32) * 4;
  const qsizetype mask_at = offset + 40 + 4 * colours + colour_row * height;
  if (mask_at + mask_row * height > offset + size) return;
  image = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < height; ++y) {
    // Rows are stored bottom-up.
    const auto* row =
        reinterpret_cast<const unsigned char*>(file.constData()) + mask_at + mask_row * (height - 1 - y);
    auto* pixels = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < width; ++x) {
      if (row[x / 8] & (0x80 >> (x % 8))) pixels[x] = qRgba(0, 0, 0, 0);
    }
  }
}

}  // namespace

QList<QImage> program_icon_images() {
  QFile file(QString::fromLatin1(icon_path));
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray bytes = file.readAll();
  QImageReader reader(QString::fromLatin1(icon_path));
  QList<QImage> images;
  for (int i = 0; i < reader.imageCount(); ++i) {
    if (!reader.jumpToImage(i)) break;
    QImage image = reader.read();
    if (image.isNull()) continue;
    apply_mask(bytes, i, image);
    images.append(image);
  }
  return images;
}

QIcon program_icon() {
  QIcon icon;
  for (const QImage& image : program_icon_images()) icon.addPixmap(QPixmap::fromImage(image));
  return icon;
}

}  // namespace tolvane
