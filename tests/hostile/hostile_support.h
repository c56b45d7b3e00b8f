/*
 * hostile_support.h - helpers of the hostile-input tests: the layout of a
 * well-formed codestream (which bytes are segments, which are coded data),
 * a probe that runs every entry point of the library on one buffer, the
 * small print our encoder makes, and the bundled samples.
 */
#ifndef VELLUMO_TESTS_HOSTILE_SUPPORT_H
#define VELLUMO_TESTS_HOSTILE_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hostile {

using Bytes = std::vector<uint8_t>;

/* Half-open byte range [begin, end). */
struct Range {
    size_t begin = 0;
    size_t end = 0;
    bool contains(size_t i) const { return i >= begin && i < end; }
};

/* Where things are in a codestream our encoder (or any well-formed writer)
 * made, found by walking its segment lengths. */
struct Layout {
    std::vector<Range> segments; /* marker to end of segment, block headers included */
    std::vector<Range> coded;    /* entropy-coded data of each block */
    size_t frame_end = 0;        /* one past the frame header */
    size_t first_block = 0;      /* one past the first block marker */
    size_t nist_end = 0;         /* one past the first NIST comment, 0 without */
    bool in_coded(size_t i) const;
};

/* Fails the calling test (ADD_FAILURE) and returns an empty layout when
 * the bytes are not well formed. */
Layout layout_of(const Bytes &bytes);

/* Results of running every entry point on one buffer. */
struct Probe {
    int decode = 1;     /* wsq_decode_image; 1 when skipped (frame too large) */
    int header = 1;     /* wsq_query_header */
    int comment = 1;    /* wsq_query_comment (size query, then the copy) */
    int nist = 1;       /* wsq_find_nist_comment */
    int width = -1, height = -1;
    std::string comment_text;
    int ppi = -2;       /* from the NIST list; -2 none, -1 no value */
    double seconds = 0; /* the slowest single call */
};

/* Decodes only frames of at most this many pixels (as a caller with a
 * pixel limit would); the queries run regardless. */
constexpr long long kProbeMaxPixels = 1LL << 19;

/* Runs decode, header, comment and NIST queries on data[0, length); checks
 * that each returns 0 or a negative code and that a successful decode
 * agrees with the header query (reported with ADD_FAILURE). */
Probe probe(const uint8_t *data, size_t length, long long max_pixels = kProbeMaxPixels);
inline Probe probe(const Bytes &b, long long max_pixels = kProbeMaxPixels)
{
    return probe(b.data(), b.size(), max_pixels);
}

/* Seconds one call may take before it counts as a hang. */
double call_bound();

/* A 72 x 60 synthetic whorl at 2.25 bits per pixel, with ppi 500 and a
 * comment: about 1.2 KB, made by our encoder once per process. Its sizes
 * give odd lengths deep in the wavelet tree. */
const Bytes &small_print();

/* The bundled samples (the .wsq files in samples/), name and bytes. */
struct Sample {
    std::string name;
    Bytes bytes;
};
std::vector<Sample> bundled_samples();
/* The third-party files beside the checkout; empty when absent. */
std::vector<Sample> shared_samples();

/* xorshift64*: a small seeded generator, the same sequence everywhere. */
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed ? seed : 1) {}
    uint64_t next();
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
    uint8_t byte() { return static_cast<uint8_t>(next() >> 56); }

private:
    uint64_t state_;
};

} // namespace hostile

#endif /* VELLUMO_TESTS_HOSTILE_SUPPORT_H */
