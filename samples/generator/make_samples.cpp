// make-samples - writes the bundled sample fingerprints: for each, the
// synthetic source as PGM and the WSQ file our encoder makes from it.
//
//   make-samples OUTDIR
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "synthprint.h"
#include "wsq_encoder.h"

namespace {

struct Sample {
    const char *name;
    int width, height;
    uint32_t seed;
    vellumo::synth::Pattern pattern;
    int ppi;
    float bitrate;
};

constexpr Sample kSamples[] = {
    {"loop-500x500", 500, 500, 1, vellumo::synth::Pattern::Loop, 500, 0.75f},
    {"whorl-545x622", 545, 622, 2, vellumo::synth::Pattern::Whorl, 500, 0.75f},
    {"arch-800x750", 800, 750, 3, vellumo::synth::Pattern::Arch, 1000, 2.25f},
};

bool write_file(const std::string &path, const void *data, size_t size, const std::string &header = {})
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size() &&
              std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-samples OUTDIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    int failures = 0;
    for (const Sample &s : kSamples) {
        const std::vector<uint8_t> pixels = vellumo::synth::MakeFingerprint(s.width, s.height, s.seed, s.pattern);
        const std::string pgm = dir + "/" + s.name + ".pgm", wsq = dir + "/" + s.name + ".wsq";
        const std::string header = "P5\n" + std::to_string(s.width) + " " + std::to_string(s.height) + "\n255\n";
        if (!write_file(pgm, pixels.data(), pixels.size(), header)) {
            std::fprintf(stderr, "%s: cannot write\n", pgm.c_str());
            ++failures;
            continue;
        }
        WsqEncodeParams params;
        wsq_encode_default_params(&params);
        params.bitrate = s.bitrate;
        params.ppi = s.ppi;
        params.comment = "Vellumo synthetic fingerprint";
        unsigned char *out = nullptr;
        int length = 0;
        float achieved = 0.0f;
        const int status = wsq_encode(pixels.data(), s.width, s.height, &params, &out, &length, &achieved);
        if (status != 0 || !write_file(wsq, out, static_cast<size_t>(length))) {
            std::fprintf(stderr, "%s: cannot encode or write (status %d)\n", wsq.c_str(), status);
            ++failures;
        } else {
            std::printf("%s: %d bytes, %.4f bits per pixel\n", wsq.c_str(), length, achieved);
        }
        std::free(out);
    }
    return failures ? 1 : 0;
}
