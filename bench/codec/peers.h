// peers.h - the other codecs the benchmark decodes the same pictures with:
// baseline gray JPEG through TurboJPEG and a JPEG 2000 codestream through
// OpenJPEG. Each is compiled in only when its library was found at
// configure time; otherwise its Available() is false and the rest fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vellumo::bench {

// A peer encoding sized to match a WSQ file.
struct PeerFile {
    std::vector<uint8_t> bytes;
    int quality = 0;         // JPEG quality used (JPEG only)
    double ratio = 0;        // compression ratio asked for (JPEG 2000 only)
    double deviation = 0;    // (size - target) / target
};

// TurboJPEG ------------------------------------------------------------------

bool JpegAvailable();
const char *JpegVersion();

// Baseline gray JPEG at the quality (1..100, found by bisection) whose size is
// closest to target_bytes. False with *error set on failure.
bool JpegEncodeNear(const uint8_t *pixels, int width, int height, size_t target_bytes,
                    PeerFile *out, std::string *error);

// One decompressor handle, reused across decodes, writing into a caller's
// width x height gray buffer with the default (accurate) DCT.
class JpegDecoder {
public:
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder &) = delete;
    JpegDecoder &operator=(const JpegDecoder &) = delete;

    bool Decode(const std::vector<uint8_t> &file, uint8_t *out, int width, int height,
                std::string *error = nullptr);

private:
    void *handle_ = nullptr;
};

// OpenJPEG -------------------------------------------------------------------

bool J2kAvailable();
const char *J2kVersion();

// Irreversible (9/7) single-layer codestream, rate set to raw / target bytes
// and corrected a few times when the size lands more than 5% off.
bool J2kEncodeNear(const uint8_t *pixels, int width, int height, size_t target_bytes,
                   PeerFile *out, std::string *error);

// Decodes a codestream on one thread from memory and converts the result to
// a caller's width x height gray buffer. The decode allocates the library's
// own image, which is released before returning.
bool J2kDecode(const std::vector<uint8_t> &file, uint8_t *out, int width, int height,
               std::string *error = nullptr);

}  // namespace vellumo::bench
