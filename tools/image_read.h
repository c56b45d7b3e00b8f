// image_read.h - the gray images wsqtool encode reads: PGM (P5 and P2,
// any maxval up to 65535), BMP (1, 4, 8, 24 and 32 bits, uncompressed or
// RLE-free bitfields) and PNG (any type; colour is converted to gray,
// transparency composited on white).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wsqtool {

// Status codes of the readers (beside WSQ_E_READ_OR_NOMEM).
enum ImageReadStatus {
    kImageUnknownFormat = -200, // not a PGM, BMP or PNG file
    kImageMalformed = -201,     // header or data inconsistent, or cut short
    kImageUnsupported = -202,   // a variant we do not read (compressed BMP, ...)
    kImagePngError = -203,      // libpng refused the data
    kImageTooLarge = -204,      // width or height above 65535, or empty
};

struct GrayPixels {
    int width = 0;
    int height = 0;
    int ppi = -1;               // resolution the file records, -1 when none
    std::vector<uint8_t> pixels; // row-major, top row first
};

// Decodes a whole file held in memory. 0 or a negative status; on failure
// *image is unspecified and *detail says what was wrong.
int read_gray_image(const std::vector<unsigned char> &bytes, GrayPixels *image, std::string *detail);

} // namespace wsqtool
