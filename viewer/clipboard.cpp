#include "clipboard.h"

#include "uiseam.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

constexpr int kDibHeaderSize = 40;
constexpr int kBmpFileHeaderSize = 14;

void putLe16(char *out, int value)
{
    const auto v = static_cast<std::uint16_t>(value);
    out[0] = static_cast<char>(v & 0xFF);
    out[1] = static_cast<char>(v >> 8);
}

void putLe32(char *out, std::int64_t value)
{
    const auto v = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Bytes per 24-bit row: the smallest multiple of 4 not less than 3 * width.
std::int64_t rgbStride(int width) { return (3 * static_cast<std::int64_t>(width) + 3) / 4 * 4; }

// A zero-filled block with its header written, or empty when the picture
// cannot be held in one block (every size field is 32 bits, and the BMP
// file built from it adds its own header).
QByteArray allocateDib(int width, int height)
{
    if (width <= 0 || height <= 0)
        return {};
    const std::int64_t imageSize = rgbStride(width) * height;
    if (imageSize > std::numeric_limits<std::int32_t>::max() - kDibHeaderSize - kBmpFileHeaderSize)
        return {};

    QByteArray dib(kDibHeaderSize + static_cast<qsizetype>(imageSize), '\0');
    char *h = dib.data();
    putLe32(h + 0, kDibHeaderSize);
    putLe32(h + 4, width);
    putLe32(h + 8, height); // positive: rows stored bottom row first
    putLe16(h + 12, 1);     // planes
    putLe16(h + 14, 24);    // bits per pixel
    putLe32(h + 16, 0);     // uncompressed
    putLe32(h + 20, imageSize);
    // Resolutions and colour counts stay 0; no colour table for 24 bits.
    return dib;
}

bool isEightBitGray(const QImage &image)
{
    return image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Indexed8;
}

// Gray level of every stored byte: the byte itself for a gray image, the
// colour table's gray for a palettized one (a gray ramp maps one to one).
std::array<unsigned char, 256> grayLevels(const QImage &image)
{
    std::array<unsigned char, 256> levels{};
    const QList<QRgb> table = image.colorTable();
    for (int i = 0; i < 256; ++i) {
        if (image.format() == QImage::Format_Indexed8)
            levels[i] = i < table.size() ? static_cast<unsigned char>(qGray(table[i])) : 0;
        else
            levels[i] = static_cast<unsigned char>(i);
    }
    return levels;
}

} // namespace

QByteArray BuildRgbDibFromGray(const unsigned char *pixels, int width, int height)
{
    if (!pixels)
        return {};
    QByteArray dib = allocateDib(width, height);
    if (dib.isEmpty())
        return dib;

    const std::int64_t stride = rgbStride(width);
    char *rows = dib.data() + kDibHeaderSize;
    for (int y = 0; y < height; ++y) {
        // Block row 0 is the bottom image row.
        const unsigned char *src = pixels + static_cast<std::int64_t>(height - 1 - y) * width;
        char *dst = rows + y * stride;
        for (int x = 0; x < width; ++x) {
            const char g = static_cast<char>(src[x]);
            dst[3 * x + 0] = g; // blue
            dst[3 * x + 1] = g; // green
            dst[3 * x + 2] = g; // red
        }
    }
    return dib;
}

QByteArray BuildRgbDibFromImage(const QImage &image)
{
    if (image.isNull())
        return {};
    const QImage rgb = image.format() == QImage::Format_RGB888
                           ? image
                           : image.convertToFormat(QImage::Format_RGB888);
    QByteArray dib = allocateDib(rgb.width(), rgb.height());
    if (dib.isEmpty())
        return dib;

    const std::int64_t stride = rgbStride(rgb.width());
    const int height = rgb.height();
    char *rows = dib.data() + kDibHeaderSize;
    for (int y = 0; y < height; ++y) {
        const uchar *src = rgb.constScanLine(height - 1 - y);
        char *dst = rows + y * stride;
        for (int x = 0; x < rgb.width(); ++x) {
            dst[3 * x + 0] = static_cast<char>(src[3 * x + 2]);
            dst[3 * x + 1] = static_cast<char>(src[3 * x + 1]);
            dst[3 * x + 2] = static_cast<char>(src[3 * x + 0]);
        }
    }
    return dib;
}

QByteArray BmpFileFromDib(const QByteArray &dib)
{
    if (dib.size() < kDibHeaderSize)
        return {};
    QByteArray file(kBmpFileHeaderSize, '\0');
    char *h = file.data();
    h[0] = 'B';
    h[1] = 'M';
    putLe32(h + 2, kBmpFileHeaderSize + dib.size());
    // Offset of the rows: both headers (no colour table for 24 bits).
    putLe32(h + 10, kBmpFileHeaderSize + kDibHeaderSize);
    file.append(dib);
    return file;
}

QImage CreateRgbBitmapFromGray(const QImage &gray)
{
    if (gray.isNull() || gray.width() <= 0 || gray.height() <= 0 || !isEightBitGray(gray))
        return {};
    QImage rgb(gray.size(), QImage::Format_RGB888);
    if (rgb.isNull()) // out of memory
        return {};

    const std::array<unsigned char, 256> levels = grayLevels(gray);
    for (int y = 0; y < gray.height(); ++y) {
        const uchar *src = gray.constScanLine(y);
        uchar *dst = rgb.scanLine(y);
        for (int x = 0; x < gray.width(); ++x) {
            const uchar g = levels[src[x]];
            dst[3 * x + 0] = g;
            dst[3 * x + 1] = g;
            dst[3 * x + 2] = g;
        }
    }
    return rgb;
}

bool PutBitmapOnClipboard(const QImage &bitmap, QWidget *owner)
{
    Q_UNUSED(owner); // the Qt clipboard belongs to the application
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!clipboard || bitmap.isNull())
        return false;

    const QByteArray dib = BuildRgbDibFromImage(bitmap);
    if (dib.isEmpty())
        return false;

    auto *data = new QMimeData;
    data->setImageData(bitmap);
    data->setData(QStringLiteral("image/bmp"), BmpFileFromDib(dib));
    clipboard->setMimeData(data); // the clipboard owns it from here
    return true;
}

void CopyImageToClipboard(const QImage *bitmap, QWidget *owner)
{
    // Ctrl+C reaches here with no image loaded: nothing to copy.
    if (!bitmap || bitmap->isNull() || bitmap->width() <= 0 || bitmap->height() <= 0)
        return;

    if (!isEightBitGray(*bitmap)) {
        vellumo::ui::MessageBoxRequest request;
        request.caption = QStringLiteral("Vellumo");
        request.text = QStringLiteral("Copying of images other than 8 or 24bit is not supported");
        vellumo::ui::showMessageBox(request);
        return;
    }

    const QImage rgb = CreateRgbBitmapFromGray(*bitmap);
    if (rgb.isNull())
        return;
    PutBitmapOnClipboard(rgb, owner);
}
