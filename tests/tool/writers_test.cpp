// Byte-exact PGM/BMP layouts, PNG read back through libpng, and the
// all-or-nothing behaviour of every save.
#include "wsq_writers.h"

#include "test_dir.h"

#include <gtest/gtest.h>
#include <png.h>

#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using testutil::read_bytes;
using testutil::TestDir;
using testutil::write_text;
namespace fs = std::filesystem;

namespace {

// An image that owns its pixels; pixel (x, y) = (x * 7 + y * 13) mod 256
// so that rows and columns differ.
struct TestImage {
    std::vector<unsigned char> pixels;
    GrayImage image{};

    TestImage(int width, int height)
        : pixels(static_cast<size_t>(width) * static_cast<size_t>(height))
    {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                pixels[static_cast<size_t>(y) * width + x] = static_cast<unsigned char>((x * 7 + y * 13) & 0xFF);
        image.pixels = pixels.empty() ? nullptr : pixels.data();
        image.width = width;
        image.height = height;
        image.depth = 8;
        image.ppi = -1;
        image.lossy = 1;
    }
};

// Pseudo-random bytes (xorshift32): incompressible, unlike any formula a
// PNG row filter could predict.
void fill_noise(std::vector<unsigned char> &pixels)
{
    uint32_t state = 0x9E3779B9u;
    for (auto &p : pixels) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        p = static_cast<unsigned char>(state >> 24);
    }
}

uint32_t le32(const std::vector<unsigned char> &b, size_t at)
{
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

uint16_t le16(const std::vector<unsigned char> &b, size_t at)
{
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

using SaveFn = int (*)(const GrayImage *, const char *);
using EncodeFn = int (*)(const GrayImage *, unsigned char **, size_t *);

std::vector<unsigned char> encode(EncodeFn fn, const GrayImage &image)
{
    unsigned char *block = nullptr;
    size_t length = 0;
    EXPECT_EQ(fn(&image, &block, &length), 0);
    std::vector<unsigned char> bytes(block, block + length);
    std::free(block);
    return bytes;
}

// Decoded PNG: width, height, colour type, bit depth and the gray rows.
struct PngRead {
    bool ok = false;
    png_uint_32 width = 0, height = 0;
    int colour_type = -1, bit_depth = -1, interlace = -1;
    std::vector<unsigned char> pixels;
};

struct MemoryReader {
    const std::vector<unsigned char> *bytes;
    size_t at;
};

void read_from_memory(png_structp png, png_bytep out, png_size_t length)
{
    auto *reader = static_cast<MemoryReader *>(png_get_io_ptr(png));
    if (reader->at + length > reader->bytes->size())
        png_error(png, "read past end");
    std::memcpy(out, reader->bytes->data() + reader->at, length);
    reader->at += length;
}

PngRead decode_png(const std::vector<unsigned char> &bytes)
{
    PngRead result;
    if (bytes.size() < 8 || png_sig_cmp(bytes.data(), 0, 8) != 0)
        return result;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    MemoryReader reader{&bytes, 0};
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return PngRead{};
    }
    png_set_read_fn(png, &reader, read_from_memory);
    png_read_info(png, info);
    result.width = png_get_image_width(png, info);
    result.height = png_get_image_height(png, info);
    result.colour_type = png_get_color_type(png, info);
    result.bit_depth = png_get_bit_depth(png, info);
    result.interlace = png_get_interlace_type(png, info);
    result.pixels.resize(static_cast<size_t>(result.width) * result.height);
    rows.resize(result.height);
    for (png_uint_32 r = 0; r < result.height; ++r)
        rows[r] = result.pixels.data() + static_cast<size_t>(r) * result.width;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    result.ok = true;
    return result;
}

std::vector<std::string> png_chunk_types(const std::vector<unsigned char> &bytes)
{
    std::vector<std::string> types;
    size_t at = 8;
    while (at + 12 <= bytes.size()) {
        const uint32_t length = static_cast<uint32_t>(bytes[at]) << 24 | static_cast<uint32_t>(bytes[at + 1]) << 16 |
                                static_cast<uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
        types.emplace_back(reinterpret_cast<const char *>(&bytes[at + 4]), 4);
        at += 12 + static_cast<size_t>(length);
    }
    EXPECT_EQ(at, bytes.size()) << "chunks do not end at the end of the file";
    return types;
}

} // namespace

TEST(LittleEndian, StoresLowByteFirstAndNegativesInTwosComplement)
{
    unsigned char b[4] = {0, 0, 0, 0};
    wsq_put_le16(0x1234, b);
    EXPECT_EQ(b[0], 0x34);
    EXPECT_EQ(b[1], 0x12);
    wsq_put_le16(0x7ABCD, b); // only the low 16 bits
    EXPECT_EQ(b[0], 0xCD);
    EXPECT_EQ(b[1], 0xAB);
    wsq_put_le32(-600, b);
    EXPECT_EQ(std::vector<unsigned char>(b, b + 4), (std::vector<unsigned char>{0xA8, 0xFD, 0xFF, 0xFF}));
    wsq_put_le32(0x01020304, b);
    EXPECT_EQ(std::vector<unsigned char>(b, b + 4), (std::vector<unsigned char>{4, 3, 2, 1}));
}

TEST(Pgm, OneByOneIsTwelveBytes)
{
    TestDir dir;
    TestImage one(1, 1);
    one.pixels[0] = 0x9C;
    const std::string path = dir.file("one.pgm");
    ASSERT_EQ(wsq_save_pgm(&one.image, path.c_str()), 0);
    const std::vector<unsigned char> expected = {'P', '5', '\n', '1', ' ', '1', '\n', '2', '5', '5', '\n', 0x9C};
    EXPECT_EQ(read_bytes(path), expected);
}

TEST(Pgm, HeaderThenPackedRows)
{
    TestDir dir;
    TestImage img(500, 600);
    const std::string path = dir.file("img.pgm");
    ASSERT_EQ(wsq_save_pgm(&img.image, path.c_str()), 0);
    const auto bytes = read_bytes(path);
    const std::string header = "P5\n500 600\n255\n";
    ASSERT_EQ(header.size(), 15u);
    ASSERT_EQ(bytes.size(), header.size() + 500u * 600u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 15), header);
    EXPECT_TRUE(std::equal(img.pixels.begin(), img.pixels.end(), bytes.begin() + 15));
    EXPECT_EQ(encode(wsq_encode_pgm, img.image), bytes);
}

TEST(Bmp, OneByOneIs1082BytesWithSpacePadding)
{
    TestDir dir;
    TestImage one(1, 1);
    one.pixels[0] = 0x42;
    const std::string path = dir.file("one.bmp");
    ASSERT_EQ(wsq_save_bmp(&one.image, path.c_str()), 0);
    const auto b = read_bytes(path);
    ASSERT_EQ(b.size(), 1082u);
    EXPECT_EQ(b[1078], 0x42);
    EXPECT_EQ(b[1079], 0x20);
    EXPECT_EQ(b[1080], 0x20);
    EXPECT_EQ(b[1081], 0x20);
}

TEST(Bmp, HeaderFieldsAndGrayRamp)
{
    TestImage img(500, 600);
    const auto b = encode(wsq_encode_bmp, img.image);
    ASSERT_GE(b.size(), 1078u);
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(le32(b, 2), 0u);  // file size left 0
    EXPECT_EQ(le16(b, 6), 0u);
    EXPECT_EQ(le16(b, 8), 0u);
    EXPECT_EQ(le32(b, 10), 1078u);
    EXPECT_EQ(le32(b, 14), 40u);
    EXPECT_EQ(le32(b, 18), 500u);
    EXPECT_EQ(std::vector<unsigned char>(b.begin() + 22, b.begin() + 26),
              (std::vector<unsigned char>{0xA8, 0xFD, 0xFF, 0xFF}));
    EXPECT_EQ(le16(b, 26), 1u);
    EXPECT_EQ(le16(b, 28), 8u);
    EXPECT_EQ(le32(b, 30), 0u);
    EXPECT_EQ(le32(b, 34), 0u);
    EXPECT_EQ(le32(b, 38), 3780u);
    EXPECT_EQ(le32(b, 42), 3780u);
    EXPECT_EQ(le32(b, 46), 0u);
    EXPECT_EQ(le32(b, 50), 0u);
    for (int i = 0; i < 256; ++i) {
        const size_t at = 54 + 4 * static_cast<size_t>(i);
        ASSERT_EQ(b[at], i);
        ASSERT_EQ(b[at + 1], i);
        ASSERT_EQ(b[at + 2], i);
        ASSERT_EQ(b[at + 3], 0);
    }
    EXPECT_EQ(std::vector<unsigned char>(b.begin() + 54, b.begin() + 58), (std::vector<unsigned char>{0, 0, 0, 0}));
    EXPECT_EQ(std::vector<unsigned char>(b.begin() + 1074, b.begin() + 1078),
              (std::vector<unsigned char>{0xFF, 0xFF, 0xFF, 0x00}));
}

TEST(Bmp, RowStrideAndPadBytesForWidths512To515)
{
    TestDir dir;
    const int height = 3;
    for (int width = 512; width <= 515; ++width) {
        SCOPED_TRACE(std::string("width ").append(std::to_string(width)));
        TestImage img(width, height);
        const std::string path = dir.file("w" + std::to_string(width) + ".bmp");
        ASSERT_EQ(wsq_save_bmp(&img.image, path.c_str()), 0);
        const auto b = read_bytes(path);
        const size_t pad = static_cast<size_t>((4 - width % 4) % 4);
        const size_t stride = static_cast<size_t>(width) + pad;
        EXPECT_EQ(pad, static_cast<size_t>(width == 512 ? 0 : 516 - width));
        ASSERT_EQ(b.size(), 1078 + stride * height);
        for (int r = 0; r < height; ++r) {
            const size_t row = 1078 + stride * static_cast<size_t>(r);
            EXPECT_TRUE(std::equal(b.begin() + static_cast<long>(row), b.begin() + static_cast<long>(row + width),
                                   img.pixels.begin() + static_cast<long>(r) * width))
                << "row " << r << " (top row first)";
            for (size_t p = 0; p < pad; ++p)
                EXPECT_EQ(b[row + width + p], 0x20) << "row " << r << " pad " << p;
        }
        EXPECT_EQ(encode(wsq_encode_bmp, img.image), b);
    }
}

TEST(Png, OneByOneDecodesBackTo128)
{
    TestImage one(1, 1);
    one.pixels[0] = 128;
    const PngRead png = decode_png(encode(wsq_encode_png, one.image));
    ASSERT_TRUE(png.ok);
    EXPECT_EQ(png.width, 1u);
    EXPECT_EQ(png.height, 1u);
    EXPECT_EQ(png.colour_type, PNG_COLOR_TYPE_GRAY);
    EXPECT_EQ(png.bit_depth, 8);
    EXPECT_EQ(png.interlace, PNG_INTERLACE_NONE);
    EXPECT_EQ(png.pixels, std::vector<unsigned char>{128});
}

TEST(Png, RoundTripKeepsEveryPixelAndOnlyCriticalChunks)
{
    TestDir dir;
    // Large enough for several IDAT chunks; odd sizes catch row mix-ups.
    TestImage img(1031, 777);
    fill_noise(img.pixels);
    const std::string path = dir.file("img.png");
    ASSERT_EQ(wsq_save_png(&img.image, path.c_str()), 0);
    const auto bytes = read_bytes(path);
    EXPECT_EQ(encode(wsq_encode_png, img.image), bytes);

    const PngRead png = decode_png(bytes);
    ASSERT_TRUE(png.ok);
    EXPECT_EQ(png.width, 1031u);
    EXPECT_EQ(png.height, 777u);
    EXPECT_EQ(png.pixels, img.pixels);

    const auto types = png_chunk_types(bytes);
    ASSERT_GE(types.size(), 4u) << "expected more than one IDAT for this image";
    EXPECT_EQ(types.front(), "IHDR");
    EXPECT_EQ(types.back(), "IEND");
    for (size_t i = 1; i + 1 < types.size(); ++i)
        EXPECT_EQ(types[i], "IDAT") << "chunk " << i;
}

struct Writer {
    const char *name;
    SaveFn save;
    EncodeFn encode;
};

void PrintTo(const Writer &writer, std::ostream *os)
{
    *os << writer.name;
}

class EveryWriter : public ::testing::TestWithParam<Writer> {};

INSTANTIATE_TEST_SUITE_P(Writers, EveryWriter,
                         ::testing::Values(Writer{"pgm", wsq_save_pgm, wsq_encode_pgm},
                                           Writer{"bmp", wsq_save_bmp, wsq_encode_bmp},
                                           Writer{"png", wsq_save_png, wsq_encode_png}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_P(EveryWriter, EmptyImageIsRefusedBeforeAnyFileIsTouched)
{
    TestDir dir;
    const std::string fresh = dir.file("fresh.out");
    const std::string existing = dir.file("existing.out");
    write_text(existing, "keep me");

    TestImage wide(4, 0), tall(0, 4);
    TestImage no_pixels(4, 4);
    no_pixels.image.pixels = nullptr;
    for (const GrayImage *image : {&wide.image, &tall.image, &no_pixels.image}) {
        EXPECT_EQ(GetParam().save(image, fresh.c_str()), -11);
        EXPECT_EQ(GetParam().save(image, existing.c_str()), -11);
        unsigned char *block = nullptr;
        size_t length = 0;
        EXPECT_EQ(GetParam().encode(image, &block, &length), -11);
        EXPECT_EQ(block, nullptr);
    }
    EXPECT_EQ(GetParam().save(nullptr, fresh.c_str()), -11);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"existing.out"});
    EXPECT_EQ(read_bytes(existing), (std::vector<unsigned char>{'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
}

TEST_P(EveryWriter, UnwritablePathsGiveMinus6AndCreateNothing)
{
    TestDir dir;
    TestImage img(9, 5);
    EXPECT_EQ(GetParam().save(&img.image, dir.path().string().c_str()), -6) << "a directory";
    EXPECT_EQ(GetParam().save(&img.image, dir.file("missing/out.img").c_str()), -6) << "missing folder";
    EXPECT_EQ(GetParam().save(&img.image, ""), -6);
    EXPECT_TRUE(dir.entries().empty());
}

TEST_P(EveryWriter, FullDeviceIsReportedAsShortWrite)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    TestImage img(64, 64);
    EXPECT_EQ(GetParam().save(&img.image, "/dev/full"), -6);
}

// A write that runs out of room part-way (the file-size limit of a child
// process) fails with -6, leaves the old file as it was and no temporary
// file behind.
TEST_P(EveryWriter, FailedWriteLeavesExistingFileUntouched)
{
    TestDir dir;
    const std::string target = dir.file("target.img");
    write_text(target, "previous contents");
    TestImage img(700, 700);
    fill_noise(img.pixels);

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {20000, 20000};
        setrlimit(RLIMIT_FSIZE, &limit);
        const int status = GetParam().save(&img.image, target.c_str());
        _exit(status == -6 ? 0 : 1);
    }
    int wait_status = 0;
    ASSERT_EQ(waitpid(child, &wait_status, 0), child);
    ASSERT_TRUE(WIFEXITED(wait_status));
    EXPECT_EQ(WEXITSTATUS(wait_status), 0) << "the save did not return -6";
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"target.img"});
    const auto kept = read_bytes(target);
    EXPECT_TRUE(std::string(kept.begin(), kept.end()) == "previous contents")
        << "target changed to " << kept.size() << " bytes";
}

TEST_P(EveryWriter, ReplacesAnExistingFileKeepingItsPermissions)
{
    TestDir dir;
    const std::string target = dir.file("target.img");
    write_text(target, "old");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    TestImage img(33, 17);
    ASSERT_EQ(GetParam().save(&img.image, target.c_str()), 0);
    EXPECT_EQ(read_bytes(target), encode(GetParam().encode, img.image));
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"target.img"});
}

TEST_P(EveryWriter, WritesThroughASymbolicLink)
{
    TestDir dir;
    const std::string real = dir.file("real.img");
    const std::string link = dir.file("link.img");
    write_text(real, "old");
    fs::create_symlink(real, link);
    TestImage img(8, 8);
    ASSERT_EQ(GetParam().save(&img.image, link.c_str()), 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read_bytes(real), encode(GetParam().encode, img.image));
}

TEST(SaveBuffer, LongestFileNameStillWorks)
{
    TestDir dir;
    const std::string path = dir.file(std::string(251, 'n') + ".png"); // 255 bytes, the usual limit
    const std::vector<unsigned char> block = {1, 2, 3};
    ASSERT_EQ(wsq_save_buffer(path.c_str(), block.data(), block.size()), 0);
    EXPECT_EQ(read_bytes(path), block);
}

TEST(SaveBuffer, WritesExactlyTheBlockAndAcceptsAnEmptyOne)
{
    TestDir dir;
    const std::vector<unsigned char> block = {0, 1, 2, 0xFF, '\n', '\r', 0};
    ASSERT_EQ(wsq_save_buffer(dir.file("b.bin").c_str(), block.data(), block.size()), 0);
    EXPECT_EQ(read_bytes(dir.file("b.bin")), block);
    ASSERT_EQ(wsq_save_buffer(dir.file("b.bin").c_str(), nullptr, 0), 0);
    EXPECT_TRUE(read_bytes(dir.file("b.bin")).empty());
    EXPECT_EQ(wsq_save_buffer(dir.file("c.bin").c_str(), nullptr, 5), -6);
    EXPECT_EQ(wsq_save_buffer(nullptr, block.data(), block.size()), -6);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"b.bin"});
}
