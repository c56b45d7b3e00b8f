/*
 * hostile_support.cpp - layout walker, probe, sample sources.
 */
#include "hostile_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "codestream_writer.h"
#include "synthprint.h"
#include "wsq.h"
#include "wsq_encoder.h"

namespace fs = std::filesystem;

namespace hostile {

bool Layout::in_coded(size_t i) const
{
    return std::any_of(coded.begin(), coded.end(), [i](const Range &r) { return r.contains(i); });
}

Layout layout_of(const Bytes &b)
{
    Layout layout;
    auto u16 = [&b](size_t at) { return static_cast<unsigned>(b[at] << 8 | b[at + 1]); };
    if (b.size() < 2 || u16(0) != 0xFFA0) {
        ADD_FAILURE() << "no start marker";
        return {};
    }
    layout.segments.push_back({0, 2});
    size_t pos = 2;
    while (pos + 2 <= b.size()) {
        const unsigned marker = u16(pos);
        if (marker == 0xFFA1) {
            layout.segments.push_back({pos, pos + 2});
            return layout;
        }
        if (pos + 4 > b.size())
            break;
        const size_t length = u16(pos + 2);
        if (marker == 0xFFA3) {
            /* Block header: length, table id; then coded data up to the
             * next marker (0xFF followed by anything but a stuffed 0x00). */
            if (layout.first_block == 0)
                layout.first_block = pos + 2;
            layout.segments.push_back({pos, pos + 5});
            size_t data = pos + 5, end = data;
            while (end + 1 < b.size() && !(b[end] == 0xFF && b[end + 1] != 0x00))
                ++end;
            layout.coded.push_back({data, end});
            pos = end;
            continue;
        }
        const size_t next = pos + 2 + length;
        if (next > b.size())
            break;
        layout.segments.push_back({pos, next});
        if (marker == 0xFFA2)
            layout.frame_end = pos + 2 + 17;
        if (marker == 0xFFA8 && layout.nist_end == 0 && length >= 10 &&
            std::memcmp(&b[pos + 4], "NIST_COM", 8) == 0)
            layout.nist_end = next;
        pos = next;
    }
    ADD_FAILURE() << "codestream not well formed at byte " << pos;
    return {};
}

namespace {

template <typename F>
int timed(double &slowest, F &&call)
{
    const auto start = std::chrono::steady_clock::now();
    const int status = call();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    slowest = std::max(slowest, s);
    return status;
}

} // namespace

Probe probe(const uint8_t *data, size_t length, long long max_pixels)
{
    Probe p;
    const int n = static_cast<int>(length);

    int w = -7, h = -7, encoder = -7, implementation = -7;
    p.header = timed(p.seconds, [&] { return wsq_query_header(data, n, &w, &h, &encoder, &implementation); });
    EXPECT_LE(p.header, 0);
    if (p.header == 0) {
        p.width = w;
        p.height = h;
    }

    if (p.header != 0 || static_cast<long long>(w) * h <= max_pixels) {
        GrayImage image{nullptr, -7, -7, -7, -7, -7};
        p.decode = timed(p.seconds, [&] { return wsq_decode_image(data, n, &image); });
        EXPECT_LE(p.decode, 0);
        if (p.decode == 0) {
            /* A decode reads the same frame header as the query. */
            EXPECT_EQ(p.header, 0);
            EXPECT_TRUE(image.pixels != nullptr);
            EXPECT_EQ(image.width, w);
            EXPECT_EQ(image.height, h);
            EXPECT_EQ(image.depth, 8);
        } else {
            EXPECT_TRUE(image.pixels == nullptr && image.width == -7);
        }
        wsq_free_image(&image);
    }

    int size = -7;
    p.comment = timed(p.seconds, [&] { return wsq_query_comment(data, n, nullptr, &size); });
    EXPECT_LE(p.comment, 0);
    if (p.comment == 0 && size != -7) {
        std::vector<char> text(static_cast<size_t>(size));
        int dest_size = size;
        const int copy = timed(p.seconds, [&] { return wsq_query_comment(data, n, text.data(), &dest_size); });
        EXPECT_EQ(copy, 0);
        if (copy == 0)
            p.comment_text.assign(text.data());
    }

    WsqNameValueList *list = nullptr;
    p.nist = timed(p.seconds, [&] { return wsq_find_nist_comment(data, n, &list); });
    EXPECT_LE(p.nist, 0);
    if (list) {
        char *value = nullptr;
        if (wsq_nv_get(list, "PPI", &value) == 0)
            p.ppi = value ? std::atoi(value) : -1;
        std::free(value);
        wsq_nv_free(list);
    }
    EXPECT_LT(p.seconds, call_bound()) << "a call on " << length << " bytes took " << p.seconds << " s";
    return p;
}

double call_bound()
{
#ifdef VELLUMO_HOSTILE_SLOW_BUILD
    return 10.0;
#else
    return 2.0;
#endif
}

const Bytes &small_print()
{
    static const Bytes bytes = [] {
        const int width = 72, height = 60;
        const std::vector<uint8_t> pixels =
            vellumo::synth::MakeFingerprint(width, height, 7, vellumo::synth::Pattern::Whorl);
        WsqEncodeParams params;
        wsq_encode_default_params(&params);
        params.bitrate = 2.25f;
        params.ppi = 500;
        params.comment = "small hostile-test print";
        unsigned char *out = nullptr;
        int length = 0;
        if (wsq_encode(pixels.data(), width, height, &params, &out, &length, nullptr) != 0)
            return Bytes{};
        Bytes b(out, out + length);
        std::free(out);
        return b;
    }();
    return bytes;
}

namespace {

std::vector<Sample> wsq_files_in(const fs::path &dir)
{
    std::vector<Sample> samples;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(dir, error))
        if (entry.is_regular_file() && entry.path().extension() == ".wsq")
            samples.push_back({entry.path().filename().string(), wsqtest::read_file(entry.path().string())});
    std::sort(samples.begin(), samples.end(), [](const Sample &a, const Sample &b) { return a.name < b.name; });
    return samples;
}

} // namespace

std::vector<Sample> bundled_samples()
{
    return wsq_files_in(fs::path(VELLUMO_SOURCE_DIR) / "samples");
}

std::vector<Sample> shared_samples()
{
    const std::string dir = wsqtest::shared_data_dir();
    return dir.empty() ? std::vector<Sample>{} : wsq_files_in(dir);
}

uint64_t Random::next()
{
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
}

} // namespace hostile
