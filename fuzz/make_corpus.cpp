/*
 * make_corpus.cpp - writes the fuzz seed corpus under a folder:
 *   codestream/  small WSQ files from our encoder (synthetic prints, noise,
 *                flat and tiny images, comments, and copies with transform
 *                tables of other filter lengths), for the decode, header,
 *                comment and NIST harnesses;
 *   segments/    the same files behind a mode byte for the segments harness
 *                (0: in codestream order; 1: reader selectors first);
 *   nist/        comment texts in the name/value convention;
 *   roundtrip/   inputs for the round-trip harness (size, bit rate and
 *                flag bytes, then pixels).
 * Deterministic: the same build writes the same bytes.
 *
 *   make-fuzz-corpus OUTDIR
 */
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "synthprint.h"
#include "wsq_encoder.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using vellumo::synth::Pattern;

namespace {

bool write_file(const fs::path &path, const Bytes &bytes)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

Bytes noise(int width, int height, uint32_t seed)
{
    Bytes pixels(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (auto &p : pixels) {
        seed = seed * 1664525u + 1013904223u;
        p = static_cast<uint8_t>(seed >> 24);
    }
    return pixels;
}

Bytes encode(const Bytes &pixels, int width, int height, float bitrate, int ppi, const char *comment)
{
    WsqEncodeParams params;
    wsq_encode_default_params(&params);
    params.bitrate = bitrate;
    params.ppi = ppi;
    params.comment = comment;
    unsigned char *out = nullptr;
    int length = 0;
    if (wsq_encode(pixels.data(), width, height, &params, &out, &length, nullptr) != 0)
        return {};
    Bytes bytes(out, out + length);
    std::free(out);
    return bytes;
}

struct Seed {
    const char *name;
    int width, height;
    int kind; /* 0 loop, 1 whorl, 2 arch, 3 noise, 4 flat */
    float bitrate;
    int ppi;
    const char *comment;
};

constexpr Seed kSeeds[] = {
    {"loop-64x64", 64, 64, 0, 0.75f, 500, nullptr},
    {"whorl-96x80", 96, 80, 1, 1.5f, 500, "Vellumo synthetic fingerprint"},
    {"arch-33x17", 33, 17, 2, 2.25f, -1, nullptr},
    {"noise-24x24", 24, 24, 3, 6.0f, 1000, "noise"},
    {"flat-16x16", 16, 16, 4, 0.75f, 500, nullptr},
    {"loop-1x1", 1, 1, 0, 8.0f, 500, nullptr},
    {"loop-7x1", 7, 1, 0, 4.0f, -1, nullptr},
    {"loop-1x9", 1, 9, 0, 4.0f, 500, "x"},
    {"whorl-40x57", 40, 57, 1, 0.3f, 500, "line one\nline two"},
};

Bytes pixels_of(const Seed &s)
{
    switch (s.kind) {
    case 0: return vellumo::synth::MakeFingerprint(s.width, s.height, 11, Pattern::Loop);
    case 1: return vellumo::synth::MakeFingerprint(s.width, s.height, 12, Pattern::Whorl);
    case 2: return vellumo::synth::MakeFingerprint(s.width, s.height, 13, Pattern::Arch);
    case 3: return noise(s.width, s.height, 14);
    default: return Bytes(static_cast<size_t>(s.width) * static_cast<size_t>(s.height), 200);
    }
}

const char *const kTexts[] = {
    "NIST_COM 9\nPIX_WIDTH 500\nPIX_HEIGHT 500\nPIX_DEPTH 8\nPPI 500\nLOSSY 1\nCOLORSPACE GRAY\n",
    "NIST_COM 4\r\nPPI 255\r\n  \tINDENTED value with spaces\r\n\n\nPPI 1000\n",
    "NIST_COM 3\nPPI\nNEXT 1\nEMPTY\n",
    "NIST_COM 2\nPPI -0042abc",
    "NIST_COM\tTAB\nA 1\nA 2\nB\tx\nA 3\n",
};

/* The codestream with its transform table replaced by one of hsz and lsz
 * taps (seeded coefficients): filters of other lengths than the encoder's
 * 9/7 pair reach the synthesis through these. */
Bytes with_filters(const Bytes &wsq, int hsz, int lsz, uint32_t seed)
{
    for (size_t pos = 2; pos + 4 <= wsq.size();) {
        const unsigned marker = static_cast<unsigned>(wsq[pos] << 8 | wsq[pos + 1]);
        const size_t length = static_cast<size_t>(wsq[pos + 2] << 8 | wsq[pos + 3]);
        if (marker != 0xFFA4) {
            pos += 2 + length;
            continue;
        }
        Bytes table{0xFF, 0xA4, 0, 0, static_cast<uint8_t>(hsz), static_cast<uint8_t>(lsz)};
        const int records = (hsz + 1) / 2 + (lsz + 1) / 2;
        for (int i = 0; i < records; ++i) {
            seed = seed * 1664525u + 1013904223u;
            table.push_back(static_cast<uint8_t>(seed >> 31));            /* sign */
            table.push_back(static_cast<uint8_t>(2 + (seed >> 8) % 3));   /* scale */
            const uint32_t value = (seed >> 12) % 120;
            table.insert(table.end(), {0, 0, 0, static_cast<uint8_t>(value)});
        }
        const size_t table_length = table.size() - 2;
        table[2] = static_cast<uint8_t>(table_length >> 8);
        table[3] = static_cast<uint8_t>(table_length);
        Bytes out(wsq.begin(), wsq.begin() + static_cast<std::ptrdiff_t>(pos));
        out.insert(out.end(), table.begin(), table.end());
        out.insert(out.end(), wsq.begin() + static_cast<std::ptrdiff_t>(pos + 2 + length), wsq.end());
        return out;
    }
    return {};
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-fuzz-corpus OUTDIR\n");
        return 2;
    }
    const fs::path root = argv[1];
    for (const char *sub : {"codestream", "segments", "nist", "roundtrip"})
        fs::create_directories(root / sub);
    int failures = 0;
    auto put = [&](const fs::path &path, const Bytes &bytes) {
        if (bytes.empty() || !write_file(path, bytes)) {
            std::fprintf(stderr, "%s: cannot make or write\n", path.c_str());
            ++failures;
        }
    };

    size_t total = 0;
    for (const Seed &s : kSeeds) {
        const Bytes wsq = encode(pixels_of(s), s.width, s.height, s.bitrate, s.ppi, s.comment);
        put(root / "codestream" / (std::string(s.name) + ".wsq"), wsq);
        Bytes ordered{0x00};
        ordered.insert(ordered.end(), wsq.begin(), wsq.end());
        put(root / "segments" / (std::string("order-") + s.name), ordered);
        total += 2 * wsq.size();
    }
    {
        const Seed &s = kSeeds[0];
        const Bytes wsq = encode(pixels_of(s), s.width, s.height, s.bitrate, s.ppi, s.comment);
        const int filters[][2] = {{1, 1}, {2, 2}, {4, 6}, {17, 33}, {255, 255}};
        for (const auto &f : filters) {
            const Bytes changed = with_filters(wsq, f[0], f[1], 21);
            put(root / "codestream" /
                    ("filters-" + std::to_string(f[0]) + "-" + std::to_string(f[1]) + "-loop-64x64.wsq"),
                changed);
            total += changed.size();
        }
    }
    /* Selector mode: a quarter of selectors (every reader in turn) before
     * the codestream bytes. */
    {
        const Seed &s = kSeeds[0];
        const Bytes wsq = encode(pixels_of(s), s.width, s.height, s.bitrate, s.ppi, s.comment);
        Bytes picked{0x01};
        const size_t selectors = wsq.size() / 3;
        for (size_t i = 0; i < selectors; ++i)
            picked.push_back(static_cast<uint8_t>(i * 13 + 1));
        picked.insert(picked.end(), wsq.begin(), wsq.end());
        put(root / "segments" / "pick-loop-64x64", picked);
        total += picked.size();
    }

    int n = 0;
    for (const char *text : kTexts) {
        put(root / "nist" / ("text-" + std::to_string(++n)), Bytes(text, text + std::string(text).size()));
    }
    /* A name and a value longer than the parser keeps. */
    {
        std::string text = "NIST_COM 1\n" + std::string(600, 'N') + " " + std::string(700, 'v') + "\nPPI 500\n";
        put(root / "nist" / "text-long", Bytes(text.begin(), text.end()));
    }

    /* Round trip: width-1, height-1, bit rate byte, flags, pixels. */
    struct Trip {
        const char *name;
        int width, height;
        uint8_t rate, flags;
        int kind;
    };
    constexpr Trip kTrips[] = {
        {"print-48x40", 48, 40, 14, 0x03, 0},
        {"print-96x96", 96, 96, 29, 0x01, 1},
        {"noise-20x30", 20, 30, 159, 0x09, 3},
        {"flat-5x5", 5, 5, 0, 0x00, 4},
        {"arch-1x96", 1, 96, 44, 0x02, 2},
    };
    for (const Trip &t : kTrips) {
        const Seed s{t.name, t.width, t.height, t.kind, 0.0f, -1, nullptr};
        Bytes input{static_cast<uint8_t>(t.width - 1), static_cast<uint8_t>(t.height - 1), t.rate, t.flags};
        const Bytes pixels = pixels_of(s);
        input.insert(input.end(), pixels.begin(), pixels.end());
        put(root / "roundtrip" / t.name, input);
        total += input.size();
    }
    std::printf("%s: about %zu bytes of seeds\n", root.c_str(), total);
    return failures ? 1 : 0;
}
