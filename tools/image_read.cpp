// image_read.cpp - PGM, BMP and PNG into 8-bit gray.
#include "image_read.h"

#include <png.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <new>

#include "wsq.h"

namespace wsqtool {
namespace {

constexpr int kMaxSide = 65535;

// ITU-R BT.601 luma, rounded.
uint8_t luma(int r, int g, int b)
{
    return static_cast<uint8_t>((299 * r + 587 * g + 114 * b + 500) / 1000);
}

int fail(std::string *detail, int status, const char *text)
{
    *detail = text;
    return status;
}

int ppi_from_per_metre(long long per_metre)
{
    if (per_metre <= 0)
        return -1;
    return static_cast<int>(std::lround(static_cast<double>(per_metre) * 0.0254));
}

// --- PGM ------------------------------------------------------------------

struct PgmReader {
    const std::vector<unsigned char> &b;
    size_t pos = 2;

    void skip_space()
    {
        while (pos < b.size()) {
            if (b[pos] == '#') {
                while (pos < b.size() && b[pos] != '\n' && b[pos] != '\r')
                    ++pos;
            } else if (std::isspace(b[pos])) {
                ++pos;
            } else {
                break;
            }
        }
    }
    bool number(long long *out)
    {
        skip_space();
        if (pos >= b.size() || !std::isdigit(b[pos]))
            return false;
        long long v = 0;
        while (pos < b.size() && std::isdigit(b[pos])) {
            v = v * 10 + (b[pos++] - '0');
            if (v > 1LL << 31)
                return false;
        }
        *out = v;
        return true;
    }
};

int read_pgm(const std::vector<unsigned char> &b, GrayPixels *img, std::string *detail)
{
    const bool ascii = b[1] == '2';
    PgmReader r{b};
    long long w, h, maxval;
    if (!r.number(&w) || !r.number(&h) || !r.number(&maxval))
        return fail(detail, kImageMalformed, "PGM header is incomplete");
    if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide)
        return fail(detail, kImageTooLarge, "PGM width or height is 0 or above 65535");
    if (maxval < 1 || maxval > 65535)
        return fail(detail, kImageMalformed, "PGM maximum value is outside 1..65535");
    const size_t count = static_cast<size_t>(w) * static_cast<size_t>(h);
    img->width = static_cast<int>(w);
    img->height = static_cast<int>(h);
    img->pixels.resize(count);
    auto scale = [maxval](long long v) {
        if (v > maxval)
            v = maxval;
        return static_cast<uint8_t>((v * 255 + maxval / 2) / maxval);
    };
    if (ascii) {
        for (size_t i = 0; i < count; ++i) {
            long long v;
            if (!r.number(&v))
                return fail(detail, kImageMalformed, "PGM data is cut short");
            img->pixels[i] = scale(v);
        }
        return 0;
    }
    // Exactly one white-space byte separates the header from the samples.
    if (r.pos >= b.size() || !std::isspace(b[r.pos]))
        return fail(detail, kImageMalformed, "PGM header is not followed by data");
    ++r.pos;
    const size_t bytes_per = maxval > 255 ? 2 : 1;
    if (b.size() - r.pos < count * bytes_per)
        return fail(detail, kImageMalformed, "PGM data is cut short");
    const unsigned char *p = b.data() + r.pos;
    for (size_t i = 0; i < count; ++i) {
        const long long v = bytes_per == 2 ? (p[2 * i] << 8 | p[2 * i + 1]) : p[i];
        img->pixels[i] = maxval == 255 ? static_cast<uint8_t>(v) : scale(v);
    }
    return 0;
}

// --- BMP ------------------------------------------------------------------

uint32_t le32(const unsigned char *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t le16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

int read_bmp(const std::vector<unsigned char> &b, GrayPixels *img, std::string *detail)
{
    if (b.size() < 26)
        return fail(detail, kImageMalformed, "BMP header is cut short");
    const uint32_t data_offset = le32(&b[10]);
    const uint32_t info_size = le32(&b[14]);
    if (info_size < 40 || b.size() < 14 + static_cast<size_t>(info_size))
        return fail(detail, info_size == 12 ? kImageUnsupported : kImageMalformed,
                    info_size == 12 ? "OS/2 BMP headers are not supported" : "BMP header is cut short");
    const int32_t w = static_cast<int32_t>(le32(&b[18]));
    const int32_t h_signed = static_cast<int32_t>(le32(&b[22]));
    const uint16_t bits = le16(&b[28]);
    const uint32_t compression = le32(&b[30]);
    uint32_t colours = le32(&b[46]);
    const bool top_down = h_signed < 0;
    const long long h = top_down ? -static_cast<long long>(h_signed) : h_signed;
    if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide)
        return fail(detail, kImageTooLarge, "BMP width or height is 0 or above 65535");
    // BI_RGB, or BI_BITFIELDS with the usual masks for 32 bits.
    const bool bitfields = compression == 3 && bits == 32;
    if (compression != 0 && !bitfields)
        return fail(detail, kImageUnsupported, "compressed BMP files are not supported");
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)
        return fail(detail, kImageUnsupported, "BMP bit depth is not 1, 4, 8, 24 or 32");
    img->ppi = ppi_from_per_metre(static_cast<int32_t>(le32(&b[38])));

    uint8_t palette[256];
    if (bits <= 8) {
        const uint32_t max_colours = 1u << bits;
        if (colours == 0 || colours > max_colours)
            colours = max_colours;
        const size_t at = 14 + static_cast<size_t>(info_size);
        if (b.size() < at + 4 * static_cast<size_t>(colours))
            return fail(detail, kImageMalformed, "BMP palette is cut short");
        std::memset(palette, 0, sizeof palette);
        for (uint32_t i = 0; i < colours; ++i) {
            const unsigned char *e = &b[at + 4 * i]; // blue, green, red, reserved
            palette[i] = luma(e[2], e[1], e[0]);
        }
    }
    const size_t stride = ((static_cast<size_t>(w) * bits + 31) / 32) * 4;
    if (data_offset > b.size() || b.size() - data_offset < stride * static_cast<size_t>(h))
        return fail(detail, kImageMalformed, "BMP pixel data is cut short");
    int shift[3] = {16, 8, 0}; // red, green, blue in a 32-bit pixel
    if (bitfields) {
        if (b.size() < 14 + 40 + 12)
            return fail(detail, kImageMalformed, "BMP bit masks are missing");
        const uint32_t masks[3] = {le32(&b[54]), le32(&b[58]), le32(&b[62])};
        for (int c = 0; c < 3; ++c) {
            if (masks[c] != 0xFFu << 24 && masks[c] != 0xFFu << 16 && masks[c] != 0xFFu << 8 && masks[c] != 0xFFu)
                return fail(detail, kImageUnsupported, "BMP bit masks other than whole bytes are not supported");
            shift[c] = masks[c] == 0xFFu ? 0 : masks[c] == 0xFF00u ? 8 : masks[c] == 0xFF0000u ? 16 : 24;
        }
    }
    img->width = w;
    img->height = static_cast<int>(h);
    img->pixels.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (long long y = 0; y < h; ++y) {
        const unsigned char *row = &b[data_offset + stride * static_cast<size_t>(top_down ? y : h - 1 - y)];
        uint8_t *out = &img->pixels[static_cast<size_t>(y) * static_cast<size_t>(w)];
        for (int x = 0; x < w; ++x) {
            switch (bits) {
            case 1: out[x] = palette[(row[x / 8] >> (7 - x % 8)) & 1]; break;
            case 4: out[x] = palette[(row[x / 2] >> (x % 2 ? 0 : 4)) & 15]; break;
            case 8: out[x] = palette[row[x]]; break;
            case 24: out[x] = luma(row[3 * x + 2], row[3 * x + 1], row[3 * x]); break;
            default: {
                const uint32_t p = le32(&row[4 * x]);
                out[x] = luma((p >> shift[0]) & 255, (p >> shift[1]) & 255, (p >> shift[2]) & 255);
            }
            }
        }
    }
    return 0;
}

// --- PNG ------------------------------------------------------------------

int png_ppi(const std::vector<unsigned char> &b)
{
    // pHYs: 4-byte x pixels per unit, 4-byte y, 1-byte unit (1 = metre).
    size_t pos = 8;
    while (pos + 12 <= b.size()) {
        const uint32_t length = static_cast<uint32_t>(b[pos] << 24 | b[pos + 1] << 16 | b[pos + 2] << 8 | b[pos + 3]);
        if (std::memcmp(&b[pos + 4], "pHYs", 4) == 0 && length == 9 && pos + 17 <= b.size()) {
            const unsigned char *d = &b[pos + 8];
            const long long x = static_cast<long long>(static_cast<uint32_t>(d[0] << 24 | d[1] << 16 | d[2] << 8 | d[3]));
            return d[8] == 1 ? ppi_from_per_metre(x) : -1;
        }
        if (std::memcmp(&b[pos + 4], "IDAT", 4) == 0)
            break;
        pos += 12 + static_cast<size_t>(length);
    }
    return -1;
}

int read_png(const std::vector<unsigned char> &b, GrayPixels *img, std::string *detail)
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, b.data(), b.size())) {
        *detail = std::string("PNG: ") + image.message;
        return kImagePngError;
    }
    if (image.width < 1 || image.height < 1 || image.width > kMaxSide || image.height > kMaxSide) {
        png_image_free(&image);
        return fail(detail, kImageTooLarge, "PNG width or height is 0 or above 65535");
    }
    image.format = PNG_FORMAT_GRAY; // colour to gray, alpha composited on the background
    img->width = static_cast<int>(image.width);
    img->height = static_cast<int>(image.height);
    img->pixels.resize(PNG_IMAGE_SIZE(image));
    png_color white{255, 255, 255};
    if (!png_image_finish_read(&image, &white, img->pixels.data(), 0, nullptr)) {
        *detail = std::string("PNG: ") + image.message;
        png_image_free(&image);
        return kImagePngError;
    }
    img->ppi = png_ppi(b);
    return 0;
}

} // namespace

int read_gray_image(const std::vector<unsigned char> &bytes, GrayPixels *image, std::string *detail)
{
    *image = GrayPixels();
    try {
        if (bytes.size() >= 8 && std::memcmp(bytes.data(), "\x89PNG\r\n\x1a\n", 8) == 0)
            return read_png(bytes, image, detail);
        if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M')
            return read_bmp(bytes, image, detail);
        if (bytes.size() >= 3 && bytes[0] == 'P' && (bytes[1] == '5' || bytes[1] == '2') && std::isspace(bytes[2]))
            return read_pgm(bytes, image, detail);
    } catch (const std::bad_alloc &) {
        return fail(detail, WSQ_E_READ_OR_NOMEM, "not enough memory for the image");
    }
    return fail(detail, kImageUnknownFormat, "not a PGM, BMP or PNG image");
}

} // namespace wsqtool
