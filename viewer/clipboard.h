// clipboard.h - Copy: the displayed image onto the system clipboard as a
// 24-bit picture in which red = green = blue.
#pragma once

#include <QByteArray>
#include <QImage>

class QWidget;

// The 24-bit bottom-up device-independent block: a 40-byte header, then
// the rows bottom row first, each pixel blue, green, red equal to the gray
// level, rows padded to a multiple of 4 bytes. Empty for an empty image.
// pixels: width * height bytes, top row first, no row padding.
QByteArray BuildRgbDibFromGray(const unsigned char *pixels, int width, int height);

// The same block for any picture (converted to 24-bit colour first).
// Empty for a null image or one too large for a single block.
QByteArray BuildRgbDibFromImage(const QImage &image);

// A BMP file holding a device-independent block: the 14-byte file header
// ("BM", file size, pixel offset) followed by the block. Empty for an
// empty block.
QByteArray BmpFileFromDib(const QByteArray &dib);

// 8-bit gray display bitmap -> 24-bit RGB image (null image on failure).
QImage CreateRgbBitmapFromGray(const QImage &gray);
// Places the bitmap on the clipboard in the forms other programs paste:
// the image itself and "image/bmp" data built from the 24-bit block.
bool PutBitmapOnClipboard(const QImage &bitmap, QWidget *owner);
// The command body of Edit > Copy, Ctrl+C and the image menu's Copy.
// A null or empty bitmap does nothing.
void CopyImageToClipboard(const QImage *bitmap, QWidget *owner);
