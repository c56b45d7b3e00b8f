/*
 * writers.cpp - PGM, BMP and PNG files for 8-bit gray images.
 *
 * Each format is laid out once, in memory, by its wsq_encode_* function;
 * the wsq_save_* functions hand that block to wsq_save_buffer, which writes
 * it to a temporary file beside the target and renames it into place only
 * after a complete write and close. A failed save therefore never leaves a
 * half-written file behind and never damages a file that was already there.
 */
#include "wsq_writers.h"

#include <png.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(__unix__) || defined(__APPLE__)
#define WSQ_WRITERS_POSIX 1
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr int kBmpFileHeaderSize = 14;
constexpr int kBmpInfoHeaderSize = 40;
constexpr int kBmpColourTableSize = 256 * 4;
constexpr int kBmpPixelOffset = kBmpFileHeaderSize + kBmpInfoHeaderSize + kBmpColourTableSize; // 1078
constexpr int kBmpPixelsPerMetre = 3780;
constexpr unsigned char kBmpPadByte = 0x20;

// Checks the image every writer is handed. An absent image, an absent pixel
// buffer or a zero (or negative) side is an empty image: -11. A pixel count
// of 2^31 or more cannot be addressed with the library's int sizes: -12,
// as the decoder reports for the same size.
int check_image(const GrayImage *image)
{
    if (image == nullptr || image->pixels == nullptr || image->width <= 0 || image->height <= 0)
        return WSQ_E_EMPTY_IMAGE;
    const int64_t count = static_cast<int64_t>(image->width) * image->height;
    if (count > INT_MAX)
        return WSQ_E_IMAGE_ALLOC;
    return WSQ_OK;
}

} // namespace

/* ------------------------------------------------------------------------
 * Little-endian stores
 * --------------------------------------------------------------------- */

void wsq_put_le16(int value, unsigned char *out)
{
    const auto v = static_cast<unsigned int>(value);
    out[0] = static_cast<unsigned char>(v & 0xFFu);
    out[1] = static_cast<unsigned char>((v >> 8) & 0xFFu);
}

void wsq_put_le32(int value, unsigned char *out)
{
    const auto v = static_cast<unsigned int>(value);
    out[0] = static_cast<unsigned char>(v & 0xFFu);
    out[1] = static_cast<unsigned char>((v >> 8) & 0xFFu);
    out[2] = static_cast<unsigned char>((v >> 16) & 0xFFu);
    out[3] = static_cast<unsigned char>((v >> 24) & 0xFFu);
}

/* ------------------------------------------------------------------------
 * PGM: "P5\n%d %d\n255\n" and the pixels, top row first, no padding.
 * --------------------------------------------------------------------- */

int wsq_encode_pgm(const GrayImage *image, unsigned char **out, size_t *out_length)
{
    const int status = check_image(image);
    if (status != WSQ_OK)
        return status;

    char header[64];
    const int header_length = std::snprintf(header, sizeof header, "P5\n%d %d\n%d\n",
                                            image->width, image->height, 255);
    const size_t pixel_count = static_cast<size_t>(image->width) * static_cast<size_t>(image->height);
    const size_t total = static_cast<size_t>(header_length) + pixel_count;

    auto *block = static_cast<unsigned char *>(std::malloc(total));
    if (block == nullptr)
        return WSQ_E_IMAGE_ALLOC;
    std::memcpy(block, header, static_cast<size_t>(header_length));
    std::memcpy(block + header_length, image->pixels, pixel_count);

    *out = block;
    *out_length = total;
    return WSQ_OK;
}

/* ------------------------------------------------------------------------
 * BMP: 8-bit palettized, gray ramp, top row first (negative height), rows
 * padded with 0x20 to a multiple of 4 bytes.
 * --------------------------------------------------------------------- */

int wsq_encode_bmp(const GrayImage *image, unsigned char **out, size_t *out_length)
{
    const int status = check_image(image);
    if (status != WSQ_OK)
        return status;

    const size_t width = static_cast<size_t>(image->width);
    const size_t height = static_cast<size_t>(image->height);
    const size_t stride = (width + 3) & ~static_cast<size_t>(3);
    const size_t pad = stride - width;
    const size_t total = static_cast<size_t>(kBmpPixelOffset) + stride * height;

    auto *block = static_cast<unsigned char *>(std::malloc(total));
    if (block == nullptr)
        return WSQ_E_IMAGE_ALLOC;

    unsigned char *h = block;
    std::memset(h, 0, kBmpFileHeaderSize + kBmpInfoHeaderSize);
    h[0] = 'B';
    h[1] = 'M';
    wsq_put_le32(0, h + 2);                 // file size: left 0
    wsq_put_le16(0, h + 6);
    wsq_put_le16(0, h + 8);
    wsq_put_le32(kBmpPixelOffset, h + 10);
    wsq_put_le32(kBmpInfoHeaderSize, h + 14);
    wsq_put_le32(image->width, h + 18);
    wsq_put_le32(-image->height, h + 22);   // negative: top row first
    wsq_put_le16(1, h + 26);                // planes
    wsq_put_le16(8, h + 28);                // bits per pixel
    wsq_put_le32(0, h + 30);                // uncompressed
    wsq_put_le32(0, h + 34);                // image size
    wsq_put_le32(kBmpPixelsPerMetre, h + 38);
    wsq_put_le32(kBmpPixelsPerMetre, h + 42);
    wsq_put_le32(0, h + 46);                // colours used: all 256
    wsq_put_le32(0, h + 50);                // important colours

    unsigned char *table = block + kBmpFileHeaderSize + kBmpInfoHeaderSize;
    for (int i = 0; i < 256; ++i) {
        table[4 * i + 0] = static_cast<unsigned char>(i); // blue
        table[4 * i + 1] = static_cast<unsigned char>(i); // green
        table[4 * i + 2] = static_cast<unsigned char>(i); // red
        table[4 * i + 3] = 0;
    }

    unsigned char *row_out = block + kBmpPixelOffset;
    if (pad == 0) {
        std::memcpy(row_out, image->pixels, width * height);
    } else {
        const unsigned char *row_in = image->pixels;
        for (size_t r = 0; r < height; ++r) {
            std::memcpy(row_out, row_in, width);
            std::memset(row_out + width, kBmpPadByte, pad);
            row_out += stride;
            row_in += width;
        }
    }

    *out = block;
    *out_length = total;
    return WSQ_OK;
}

/* ------------------------------------------------------------------------
 * PNG: libpng into a growable memory block; gray, 8 bits, no interlace,
 * signature + IHDR + IDAT... + IEND and no ancillary chunk.
 * --------------------------------------------------------------------- */

extern "C" {

/* The memory sink handed to libpng as its I/O pointer. */
struct WsqPngBuffer {
    unsigned char *data; /* malloc'd stream written so far, or NULL */
    uint64_t size;       /* valid bytes in data */
    uint64_t capacity;   /* allocated bytes in data */
};

/* libpng write callback: appends length bytes to the sink. */
void wsq_png_append(png_structp png, png_bytep bytes, png_size_t length)
{
    auto *sink = static_cast<WsqPngBuffer *>(png_get_io_ptr(png));
    const uint64_t needed = sink->size + length;
    if (needed > sink->capacity) {
        // Grow geometrically: libpng writes each chunk in three small
        // pieces, so growing by exactly the request would copy the stream
        // over and over for large images.
        uint64_t capacity = sink->capacity < 4096 ? 4096 : sink->capacity;
        while (capacity < needed)
            capacity *= 2;
        if (capacity > SIZE_MAX)
            png_error(png, "Write Error");
        void *grown = std::realloc(sink->data, static_cast<size_t>(capacity));
        if (grown == nullptr)
            png_error(png, "Write Error");
        sink->data = static_cast<unsigned char *>(grown);
        sink->capacity = capacity;
    }
    std::memcpy(sink->data + sink->size, bytes, length);
    sink->size = needed;
}

/* libpng's own handlers print to stderr; the library prints nothing, so
 * errors only jump back and warnings are dropped. */
static void wsq_png_error(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

static void wsq_png_warning(png_structp, png_const_charp)
{
}

} // extern "C"

namespace {

// Everything that setjmp must see unchanged lives behind this pointer and
// is filled in before the jump buffer is set, so no local needs volatile.
struct PngJob {
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_bytep *rows = nullptr;
    WsqPngBuffer sink = {nullptr, 0, 0};
};

void png_job_release(PngJob *job)
{
    if (job->png != nullptr)
        png_destroy_write_struct(&job->png, job->info != nullptr ? &job->info : nullptr);
    std::free(job->rows);
    job->rows = nullptr;
}

// Returns 0 with the stream in job->sink, or -303. Kept free of C++ objects
// with destructors, since libpng leaves it through longjmp.
int png_encode_into(const GrayImage *image, PngJob *job)
{
    job->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, wsq_png_error, wsq_png_warning);
    if (job->png == nullptr)
        return WSQ_E_PNG;
    job->info = png_create_info_struct(job->png);
    if (job->info == nullptr)
        return WSQ_E_PNG;

    const size_t height = static_cast<size_t>(image->height);
    job->rows = static_cast<png_bytep *>(std::malloc(height * sizeof(png_bytep)));
    if (job->rows == nullptr)
        return WSQ_E_PNG;
    for (size_t r = 0; r < height; ++r)
        job->rows[r] = image->pixels + r * static_cast<size_t>(image->width);

    // The jump buffer is set before the first call that can raise an
    // error: IHDR validation already can.
    if (setjmp(png_jmpbuf(job->png)))
        return WSQ_E_PNG;

    // The default limit is a million pixels per side, far below what PNG
    // itself allows; our images are bounded by the pixel count instead.
    png_set_user_limits(job->png, 0x7fffffff, 0x7fffffff);
    png_set_IHDR(job->png, job->info,
                 static_cast<png_uint_32>(image->width), static_cast<png_uint_32>(image->height),
                 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_set_rows(job->png, job->info, job->rows);
    png_set_write_fn(job->png, &job->sink, wsq_png_append, nullptr);
    png_write_png(job->png, job->info, PNG_TRANSFORM_IDENTITY, nullptr);
    return WSQ_OK;
}

} // namespace

int wsq_encode_png(const GrayImage *image, unsigned char **out, size_t *out_length)
{
    const int status = check_image(image);
    if (status != WSQ_OK)
        return status;

    PngJob job;
    const int result = png_encode_into(image, &job);
    png_job_release(&job);
    if (result != WSQ_OK) {
        std::free(job.sink.data);
        return result;
    }
    *out = job.sink.data;
    *out_length = static_cast<size_t>(job.sink.size);
    return WSQ_OK;
}

/* ------------------------------------------------------------------------
 * Writing a block to a file, all or nothing.
 * --------------------------------------------------------------------- */

namespace {

bool write_all(std::FILE *file, const unsigned char *bytes, size_t length)
{
    if (length > 0 && std::fwrite(bytes, 1, length, file) != length)
        return false;
    return std::fflush(file) == 0 && std::ferror(file) == 0;
}

// Writes straight into an existing file that is not a regular file (a
// device such as /dev/stdout or /dev/null, a pipe): it cannot be replaced
// by a rename and is never a stored file that a failure could damage.
int write_in_place(const char *path, const unsigned char *bytes, size_t length)
{
    std::FILE *file = std::fopen(path, "wb");
    if (file == nullptr)
        return WSQ_E_WRITE;
    const bool written = write_all(file, bytes, length);
    const bool closed = std::fclose(file) == 0;
    return written && closed ? WSQ_OK : WSQ_E_WRITE;
}

std::string directory_prefix(const std::string &path)
{
    size_t slash = path.find_last_of('/');
#ifdef _WIN32
    const size_t backslash = path.find_last_of("\\:");
    if (backslash != std::string::npos && (slash == std::string::npos || backslash > slash))
        slash = backslash;
#endif
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string base_name(const std::string &path)
{
    const std::string prefix = directory_prefix(path);
    return path.substr(prefix.size());
}

// Creates a new, previously absent temporary file beside target.
std::FILE *create_temporary(const std::string &target, std::string *temp_path)
{
    static std::atomic<unsigned long> counter{0};
    // The target's name (cut short, so that the temporary name stays
    // within file-name limits) tells whose leftover a stray one would be.
    const std::string prefix = directory_prefix(target) + "." + base_name(target).substr(0, 64) + ".tmp";
    const auto seed = static_cast<unsigned long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        const unsigned long n = seed * 2654435761UL + counter.fetch_add(1) * 40503UL;
        std::snprintf(suffix, sizeof suffix, "%08lx", n & 0xFFFFFFFFUL);
        std::string candidate = prefix + suffix;
#ifdef _WIN32
        std::FILE *probe = std::fopen(candidate.c_str(), "rb");
        if (probe != nullptr) {
            std::fclose(probe);
            continue;
        }
        std::FILE *file = std::fopen(candidate.c_str(), "wb");
#else
        errno = 0;
        std::FILE *file = std::fopen(candidate.c_str(), "wbx"); // fails if it exists
        if (file == nullptr && errno == EEXIST)
            continue;
#endif
        if (file != nullptr)
            *temp_path = std::move(candidate);
        return file;
    }
    return nullptr;
}

bool replace_file(const std::string &from, const std::string &to)
{
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return true;
#ifdef _WIN32
    // rename does not replace an existing file here.
    if (std::remove(to.c_str()) == 0 && std::rename(from.c_str(), to.c_str()) == 0)
        return true;
#endif
    return false;
}

} // namespace

int wsq_save_buffer(const char *path, const unsigned char *bytes, size_t length)
{
    if (path == nullptr || path[0] == '\0' || (bytes == nullptr && length > 0))
        return WSQ_E_WRITE;

    std::string target = path;
#ifdef WSQ_WRITERS_POSIX
    bool keep_mode = false;
    mode_t mode = 0;
    struct stat st;
    if (stat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return WSQ_E_WRITE;
        if (!S_ISREG(st.st_mode))
            return write_in_place(path, bytes, length);
        // Replace what a link points to, not the link, and keep the
        // existing file's permissions.
        if (char *resolved = realpath(path, nullptr)) {
            target = resolved;
            std::free(resolved);
        }
        keep_mode = true;
        mode = st.st_mode & 07777;
    }
#endif

    std::string temp_path;
    std::FILE *file = create_temporary(target, &temp_path);
    if (file == nullptr)
        return WSQ_E_WRITE;
    const bool written = write_all(file, bytes, length);
    const bool closed = std::fclose(file) == 0;
    bool ok = written && closed;
#ifdef WSQ_WRITERS_POSIX
    if (ok && keep_mode)
        ok = chmod(temp_path.c_str(), mode) == 0;
#endif
    if (ok)
        ok = replace_file(temp_path, target);
    if (!ok) {
        std::remove(temp_path.c_str());
        return WSQ_E_WRITE;
    }
    return WSQ_OK;
}

/* ------------------------------------------------------------------------
 * Saving
 * --------------------------------------------------------------------- */

namespace {

using EncodeFn = int (*)(const GrayImage *, unsigned char **, size_t *);

int save_with(EncodeFn encode, const GrayImage *image, const char *path)
{
    unsigned char *block = nullptr;
    size_t length = 0;
    const int status = encode(image, &block, &length);
    if (status != WSQ_OK)
        return status;
    const int result = wsq_save_buffer(path, block, length);
    std::free(block);
    return result;
}

} // namespace

int wsq_save_pgm(const GrayImage *image, const char *path)
{
    return save_with(wsq_encode_pgm, image, path);
}

int wsq_save_bmp(const GrayImage *image, const char *path)
{
    return save_with(wsq_encode_bmp, image, path);
}

int wsq_save_png(const GrayImage *image, const char *path)
{
    return save_with(wsq_encode_png, image, path);
}
