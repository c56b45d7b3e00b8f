// The input readers of wsqtool encode: each format and its variants give
// the same gray pixels; damaged files are refused, never over-read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_read.h"
#include "wsq.h"
#include "wsq_writers.h"

namespace {

using wsqtool::GrayPixels;
using wsqtool::read_gray_image;

const int kW = 5, kH = 3;  // odd width: BMP rows carry padding

std::vector<uint8_t> Pattern() {
    std::vector<uint8_t> p(kW * kH);
    for (int i = 0; i < kW * kH; ++i) p[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 17);
    return p;
}

std::vector<unsigned char> Encoded(int (*writer)(const GrayImage *, unsigned char **, size_t *)) {
    std::vector<uint8_t> pixels = Pattern();
    GrayImage image{pixels.data(), kW, kH, 8, -1, 1};
    unsigned char *out = nullptr;
    size_t length = 0;
    EXPECT_EQ(0, writer(&image, &out, &length));
    std::vector<unsigned char> bytes(out, out + length);
    std::free(out);
    return bytes;
}

void ExpectPattern(const std::vector<unsigned char> &bytes, const char *what) {
    GrayPixels img;
    std::string detail;
    ASSERT_EQ(0, read_gray_image(bytes, &img, &detail)) << what << ": " << detail;
    EXPECT_EQ(kW, img.width) << what;
    EXPECT_EQ(kH, img.height) << what;
    EXPECT_EQ(Pattern(), img.pixels) << what;
}

TEST(ImageRead, OurOwnWritersReadBack) {
    ExpectPattern(Encoded(wsq_encode_pgm), "pgm");
    ExpectPattern(Encoded(wsq_encode_bmp), "bmp");
    ExpectPattern(Encoded(wsq_encode_png), "png");
}

TEST(ImageRead, PgmVariants) {
    GrayPixels img;
    std::string detail;
    // Plain text with comments, maxval 15 scaled to 0..255.
    const std::string ascii = "P2\n# made by hand\n3 1\n15\n0 15 # white\n 5\n";
    ASSERT_EQ(0, read_gray_image(std::vector<unsigned char>(ascii.begin(), ascii.end()), &img, &detail));
    EXPECT_EQ((std::vector<uint8_t>{0, 255, 85}), img.pixels);
    // 16-bit samples, most significant byte first.
    std::string wide = "P5 2 1 65535\n";
    wide += std::string("\xFF\xFF\x80\x00", 4);
    ASSERT_EQ(0, read_gray_image(std::vector<unsigned char>(wide.begin(), wide.end()), &img, &detail));
    EXPECT_EQ((std::vector<uint8_t>{255, 128}), img.pixels);
}

TEST(ImageRead, ColourBecomesLuma) {
    // A 24-bit BMP, 2 x 1: pure red and pure white (rows bottom up, BGR).
    std::vector<unsigned char> b(54 + 8, 0);
    b[0] = 'B'; b[1] = 'M';
    b[10] = 54; b[14] = 40; b[18] = 2; b[22] = 1; b[26] = 1; b[28] = 24;
    b[56] = 255;                       // red
    b[57] = b[58] = b[59] = 255;       // white
    GrayPixels img;
    std::string detail;
    ASSERT_EQ(0, read_gray_image(b, &img, &detail)) << detail;
    EXPECT_EQ((std::vector<uint8_t>{76, 255}), img.pixels);
}

TEST(ImageRead, DamagedAndUnknownFilesAreRefused) {
    GrayPixels img;
    std::string detail;
    EXPECT_EQ(wsqtool::kImageUnknownFormat, read_gray_image({'G', 'I', 'F', '8'}, &img, &detail));
    EXPECT_EQ(wsqtool::kImageUnknownFormat, read_gray_image({}, &img, &detail));
    for (auto writer : {wsq_encode_pgm, wsq_encode_bmp, wsq_encode_png}) {
        const std::vector<unsigned char> whole = Encoded(writer);
        // Every truncation fails cleanly (run under the sanitizers, this
        // also shows that nothing reads past the end). A PNG that lost only
        // its closing 12-byte IEND chunk still holds every pixel.
        const size_t keep = writer == wsq_encode_png ? whole.size() - 12 : whole.size();
        for (size_t n = 2; n < keep; ++n) {
            const std::vector<unsigned char> cut(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(n));
            EXPECT_NE(0, read_gray_image(cut, &img, &detail)) << n << " of " << whole.size();
        }
    }
    std::vector<unsigned char> rle = Encoded(wsq_encode_bmp);
    rle[30] = 1;  // BI_RLE8
    EXPECT_EQ(wsqtool::kImageUnsupported, read_gray_image(rle, &img, &detail));
    const std::string huge = "P5 70000 1 255\n";
    EXPECT_EQ(wsqtool::kImageTooLarge,
              read_gray_image(std::vector<unsigned char>(huge.begin(), huge.end()), &img, &detail));
}

}  // namespace
