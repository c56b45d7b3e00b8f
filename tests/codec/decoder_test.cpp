// Decoder driver: files, the decode pipeline, the current image slot.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "codestream_writer.h"
#include "wsq.h"

using namespace wsqtest;
namespace fs = std::filesystem;

namespace {

uint64_t fnv1a(const unsigned char *p, size_t n)
{
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 1099511628211ull;
    }
    return h;
}

int decode(const Bytes &b, GrayImage *image)
{
    return wsq_decode_image(b.data(), static_cast<int>(b.size()), image);
}

struct SharedFile {
    const char *name;
    int width, height, ppi;
    uint64_t hash; /* of the decoded pixels, guards against silent changes */
};

const SharedFile kShared[] = {
    {"nist-sample-256x256.wsq", 256, 256, 500, 0x1d76c7ba1bc8d82eull},
    {"nist-sample-thumb-412x1000.wsq", 412, 1000, 255, 0x3099d0879354cc38ull},
    {"nist-sample-thumb-392x1000.wsq", 392, 1000, 255, 0xa0093132619721f6ull},
    {"nist-sample-slaps-left-1608x1000.wsq", 1608, 1000, 255, 0x29a4ac826447e8fbull},
    {"nist-sample-slaps-right-1572x1000.wsq", 1572, 1000, 500, 0xd6c93dfe12d9113dull},
    {"nist-sample-noise-900x2500.wsq", 900, 2500, 255, 0x2ef734c6c641c19bull},
};

std::string shared_path(const char *name)
{
    return shared_data_dir() + "/" + name;
}

std::string temp_path(const char *name)
{
    return (fs::temp_directory_path() / (std::string("vellumo-dec-") + std::to_string(getpid()) + "-" + name)).string();
}

} // namespace

TEST(SharedFiles, DecodeWithTheirSizesAndResolution)
{
    if (!fs::is_directory(shared_data_dir()))
        GTEST_SKIP() << "shared sample folder absent";
    for (const SharedFile &f : kShared) {
        unsigned char *buffer = nullptr;
        int length = 0;
        ASSERT_EQ(wsq_load_file(shared_path(f.name).c_str(), &buffer, &length), 0) << f.name;
        GrayImage image{};
        ASSERT_EQ(wsq_decode_image(buffer, length, &image), 0) << f.name;
        EXPECT_EQ(image.width, f.width) << f.name;
        EXPECT_EQ(image.height, f.height) << f.name;
        EXPECT_EQ(image.ppi, f.ppi) << f.name;
        EXPECT_EQ(image.depth, 8);
        EXPECT_EQ(image.lossy, 1);
        uint64_t h = fnv1a(image.pixels, static_cast<size_t>(image.width) * image.height);
        if (f.hash != 0)
            EXPECT_EQ(h, f.hash) << f.name;
        else
            std::printf("%s 0x%016llxull\n", f.name, static_cast<unsigned long long>(h));
        int width, height, encoder, implementation;
        EXPECT_EQ(wsq_query_header(buffer, length, &width, &height, &encoder, &implementation), 0);
        EXPECT_EQ(width, f.width);
        EXPECT_EQ(encoder, 0);
        EXPECT_EQ(implementation, 0);
        wsq_free_image(&image);
        EXPECT_EQ(image.pixels, nullptr);
        std::free(buffer);
    }
}

TEST(SharedFiles, ConcurrentDecodesAgree)
{
    if (!fs::is_directory(shared_data_dir()))
        GTEST_SKIP() << "shared sample folder absent";
    Bytes a = read_file(shared_path(kShared[1].name));
    Bytes b = read_file(shared_path(kShared[2].name));
    uint64_t ha = 0, hb = 0, ha2 = 0;
    auto run = [](const Bytes *bytes, uint64_t *hash) {
        GrayImage image{};
        if (decode(*bytes, &image) == 0)
            *hash = fnv1a(image.pixels, static_cast<size_t>(image.width) * image.height);
        wsq_free_image(&image);
    };
    std::thread t1(run, &a, &ha), t2(run, &b, &hb), t3(run, &a, &ha2);
    t1.join();
    t2.join();
    t3.join();
    GrayImage image{};
    ASSERT_EQ(decode(a, &image), 0);
    EXPECT_EQ(ha, fnv1a(image.pixels, static_cast<size_t>(image.width) * image.height));
    EXPECT_EQ(ha, ha2);
    EXPECT_NE(hb, 0u);
    wsq_free_image(&image);
}

TEST(Decode, SyntheticImageIsExactSize)
{
    SimpleOptions options;
    options.comment = nist_comment({"PPI 500"});
    options.coefficients = {3, -2, 0, 0, 100, -300, 7};
    Bytes b = simple_codestream(23, 17, options);
    GrayImage image{};
    ASSERT_EQ(decode(b, &image), 0);
    EXPECT_EQ(image.width, 23);
    EXPECT_EQ(image.height, 17);
    EXPECT_EQ(image.ppi, 500);
    // All coefficients zero: every pixel is the shift.
    SimpleOptions flat;
    flat.shift = {1, 1205};
    GrayImage plain{};
    ASSERT_EQ(decode(simple_codestream(40, 30, flat), &plain), 0);
    EXPECT_EQ(plain.ppi, -1);
    for (int i = 0; i < 40 * 30; ++i)
        ASSERT_EQ(plain.pixels[i], 121);
    wsq_free_image(&image);
    wsq_free_image(&plain);
}

TEST(Decode, TinyImagesDecodeSafely)
{
    const int sizes[][2] = {{1, 1}, {1, 2}, {2, 1}, {3, 3}, {1, 50}, {50, 1}, {7, 5}, {12, 13}};
    for (const auto &s : sizes) {
        SimpleOptions options;
        for (int i = 0; i < s[0] * s[1]; ++i)
            options.coefficients.push_back((i * 7) % 11 - 5);
        GrayImage image{};
        ASSERT_EQ(decode(simple_codestream(s[0], s[1], options), &image), 0) << s[0] << "x" << s[1];
        wsq_free_image(&image);
    }
}

TEST(Decode, FailuresLeaveTheImageUntouched)
{
    const Bytes good = simple_codestream(32, 32);
    GrayImage image{reinterpret_cast<unsigned char *>(1), 9, 9, 9, 9, 9};
    const GrayImage before = image;
    auto expect_status = [&](const Bytes &b, int status, const char *what) {
        EXPECT_EQ(decode(b, &image), status) << what;
        EXPECT_EQ(std::memcmp(&image, &before, sizeof image), 0) << what;
    };
    expect_status({}, WSQ_E_SHORT_DATA, "empty");
    expect_status({0xFF}, WSQ_E_SHORT_DATA, "one byte");
    expect_status({0xFF, 0xA2}, WSQ_E_NOT_START, "frame first");
    // Truncated inside the frame header: -40 for a 16-bit field, -39 for a byte.
    size_t frame = 0;
    for (size_t i = 0; i + 1 < good.size(); ++i)
        if (good[i] == 0xFF && good[i + 1] == 0xA2)
            frame = i;
    expect_status(Bytes(good.begin(), good.begin() + static_cast<long>(frame + 3)), WSQ_E_SHORT_DATA, "in length");
    expect_status(Bytes(good.begin(), good.begin() + static_cast<long>(frame + 4)), WSQ_E_BYTE_AT_END, "before black");
    expect_status(Bytes(good.begin(), good.begin() + static_cast<long>(frame + 19)), WSQ_E_SEGMENT,
                  "ends after frame (the NIST comment scan runs out first)");
    expect_status(Bytes(good.begin(), good.end() - 2), WSQ_E_BYTE_AT_END, "no end marker");

    CodestreamWriter no_transform;
    no_transform.start().uniform_quant().frame(16, 16).huffman({byte_table(0)}).block(0).end();
    expect_status(no_transform.bytes(), WSQ_E_HIGHPASS, "no transform table");
    CodestreamWriter no_quant;
    no_quant.start().standard_transform().frame(16, 16).huffman({byte_table(0)}).block(0).end();
    expect_status(no_quant.bytes(), WSQ_E_MARKER_RANGE, "no quantization table");

    SimpleOptions no_ppi;
    no_ppi.comment = nist_comment({"LOSSY 1"});
    expect_status(simple_codestream(16, 16, no_ppi), WSQ_E_SEGMENT, "NIST comment without PPI");

    expect_status(simple_codestream(0, 16), WSQ_E_BAD_FRAME, "width 0");
    expect_status(simple_codestream(16, 0), WSQ_E_BAD_FRAME, "height 0");
    // 65535 x 65535 does not fit an int: refused before allocating.
    expect_status(simple_codestream(65535, 65535), WSQ_E_IMAGE_ALLOC, "too many pixels");

    CodestreamWriter odd;
    odd.start().transform(9, 8, std::vector<Coefficient>(5), std::vector<Coefficient>(4)).uniform_quant()
        .frame(16, 16).huffman({byte_table(0)}).block(0).end();
    expect_status(odd.bytes(), WSQ_E_BAD_TABLE, "filters of unequal parity");
}

TEST(CurrentImage, SecondDecodeReplacesTheFirst)
{
    wsq_release_current_image();
    int width = 0, height = 0, depth = 0, ppi = 0, lossy = 0;
    Bytes first = simple_codestream(20, 10);
    ASSERT_EQ(wsq_decode_buffer(&width, &height, &depth, &ppi, &lossy, first.data(), static_cast<int>(first.size())), 0);
    EXPECT_EQ(width, 20);
    EXPECT_EQ(height, 10);
    EXPECT_EQ(depth, 8);
    EXPECT_EQ(ppi, -1);
    EXPECT_EQ(lossy, 1);
    GrayImage *slot = wsq_current_image();
    ASSERT_NE(slot->pixels, nullptr);
    EXPECT_EQ(slot->width, 20);
    EXPECT_EQ(slot->height, 10);

    // Decoding again without releasing first frees the old pixels (the
    // leak check of the sanitizer build would report them otherwise).
    Bytes second = simple_codestream(7, 9);
    ASSERT_EQ(wsq_decode_buffer(&width, &height, &depth, &ppi, &lossy, second.data(), static_cast<int>(second.size())), 0);
    EXPECT_EQ(slot->width, 7);
    EXPECT_EQ(width, 7);

    // A failing decode writes nothing and leaves the slot as it was.
    unsigned char *kept = slot->pixels;
    width = -5;
    Bytes bad(second.begin(), second.begin() + 10);
    EXPECT_LT(wsq_decode_buffer(&width, &height, &depth, &ppi, &lossy, bad.data(), static_cast<int>(bad.size())), 0);
    EXPECT_EQ(width, -5);
    EXPECT_EQ(slot->pixels, kept);

    wsq_release_current_image();
    EXPECT_EQ(slot->pixels, nullptr);
    EXPECT_EQ(slot->width, 0);
    EXPECT_EQ(slot->height, 0);
    wsq_free_image(nullptr);
}

TEST(Files, MeasureAndLoad)
{
    unsigned char *buffer = reinterpret_cast<unsigned char *>(1);
    int length = -9;
    EXPECT_EQ(wsq_measure_file("/nonexistent/vellumo.wsq"), 0);
    EXPECT_EQ(wsq_load_file("/nonexistent/vellumo.wsq", &buffer, &length), WSQ_E_OPEN_OR_COUNTS);
    EXPECT_EQ(length, -9);
    EXPECT_EQ(wsq_load_file(fs::temp_directory_path().c_str(), &buffer, &length), WSQ_E_OPEN_OR_COUNTS)
        << "a directory is not a file";

    // A FIFO without a writer and a device are refused at once, not waited on.
    std::string fifo = temp_path("fifo.wsq");
    std::remove(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(wsq_measure_file(fifo.c_str()), 0);
    EXPECT_EQ(wsq_load_file(fifo.c_str(), &buffer, &length), WSQ_E_OPEN_OR_COUNTS);
    EXPECT_EQ(wsq_load_file("/dev/zero", &buffer, &length), WSQ_E_OPEN_OR_COUNTS);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    std::remove(fifo.c_str());

    std::string empty = temp_path("empty.wsq");
    std::fclose(std::fopen(empty.c_str(), "wb"));
    ASSERT_EQ(wsq_load_file(empty.c_str(), &buffer, &length), 0);
    EXPECT_EQ(length, 0);
    ASSERT_NE(buffer, nullptr);
    GrayImage image{};
    EXPECT_EQ(wsq_decode_image(buffer, length, &image), WSQ_E_SHORT_DATA);
    std::free(buffer);
    std::remove(empty.c_str());

    std::string small = temp_path("small.wsq");
    Bytes content = simple_codestream(9, 9);
    FILE *f = std::fopen(small.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    EXPECT_EQ(wsq_measure_file(small.c_str()), static_cast<int>(content.size()));
    ASSERT_EQ(wsq_load_file(small.c_str(), &buffer, &length), 0);
    EXPECT_EQ(Bytes(buffer, buffer + length), content);
    std::free(buffer);
    std::remove(small.c_str());

    // 2^31 bytes (sparse): refused, not cut to 32 bits.
    std::string huge = temp_path("huge.wsq");
    int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    bool sized = ::ftruncate(fd, 2147483648LL) == 0;
    ::close(fd);
    if (sized) {
        EXPECT_EQ(wsq_measure_file(huge.c_str()), WSQ_E_FILE_TOO_LARGE);
        length = -9;
        EXPECT_EQ(wsq_load_file(huge.c_str(), &buffer, &length), WSQ_E_FILE_TOO_LARGE);
        EXPECT_EQ(length, -9);
    }
    std::remove(huge.c_str());
}

TEST(StatusText, EveryCodeHasText)
{
    for (int code : {0, -2, -3, -4, -5, -6, -11, -12, -39, -40, -41, -51, -52, -88, -89, -90, -91, -92, -93,
                     -94, -95, -96, -97, -100, -112, -120, -121, -122, -123, -303, -9999}) {
        const char *text = wsq_status_text(code);
        ASSERT_NE(text, nullptr);
        EXPECT_GT(std::strlen(text), 0u);
    }
    EXPECT_STRNE(wsq_status_text(-40), wsq_status_text(-9999));
}
