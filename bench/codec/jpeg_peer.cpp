// jpeg_peer.cpp - the TurboJPEG peer (see peers.h).
#include "peers.h"

#ifdef VELLUMO_HAVE_TURBOJPEG

#include <turbojpeg.h>

#include <cmath>
#include <cstdlib>

namespace vellumo::bench {

namespace {

// One compression at `quality`; false on a library failure.
bool Compress(tjhandle handle, const uint8_t *pixels, int width, int height, int quality,
              std::vector<uint8_t> *out, std::string *error)
{
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    if (tjCompress2(handle, pixels, width, width, height, TJPF_GRAY, &buffer, &size, TJSAMP_GRAY,
                    quality, 0) != 0) {
        *error = std::string("tjCompress2: ") + tjGetErrorStr2(handle);
        tjFree(buffer);
        return false;
    }
    out->assign(buffer, buffer + size);
    tjFree(buffer);
    return true;
}

}  // namespace

bool JpegAvailable() { return true; }
const char *JpegVersion() { return VELLUMO_TURBOJPEG_VERSION; }

bool JpegEncodeNear(const uint8_t *pixels, int width, int height, size_t target_bytes,
                    PeerFile *out, std::string *error)
{
    tjhandle handle = tjInitCompress();
    if (handle == nullptr) {
        *error = "tjInitCompress failed";
        return false;
    }
    std::vector<std::vector<uint8_t>> by_quality(101);
    auto size_at = [&](int quality) -> long long {
        if (by_quality[quality].empty() &&
            !Compress(handle, pixels, width, height, quality, &by_quality[quality], error)) {
            return -1;
        }
        return static_cast<long long>(by_quality[quality].size());
    };
    // Size grows with quality: find the lowest quality reaching the target,
    // then keep whichever of it and the one below is closer.
    const long long target = static_cast<long long>(target_bytes);
    int low = 1, high = 100;
    bool ok = true;
    while (low < high && ok) {
        const int mid = (low + high) / 2;
        const long long size = size_at(mid);
        ok = size >= 0;
        if (size >= target) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    int best = low;
    if (ok && size_at(best) < 0) {
        ok = false;
    }
    if (ok && best > 1) {
        const long long below = size_at(best - 1);
        ok = below >= 0;
        if (ok && std::llabs(below - target) < std::llabs(size_at(best) - target)) {
            best = best - 1;
        }
    }
    tjDestroy(handle);
    if (!ok) {
        return false;
    }
    out->bytes = std::move(by_quality[best]);
    out->quality = best;
    out->deviation = (double(out->bytes.size()) - double(target)) / double(target);
    return true;
}

JpegDecoder::JpegDecoder() : handle_(tjInitDecompress()) {}

JpegDecoder::~JpegDecoder()
{
    if (handle_ != nullptr) {
        tjDestroy(static_cast<tjhandle>(handle_));
    }
}

bool JpegDecoder::Decode(const std::vector<uint8_t> &file, uint8_t *out, int width, int height,
                         std::string *error)
{
    if (handle_ == nullptr) {
        if (error != nullptr) {
            *error = "tjInitDecompress failed";
        }
        return false;
    }
    if (tjDecompress2(static_cast<tjhandle>(handle_), file.data(),
                      static_cast<unsigned long>(file.size()), out, width, width, height,
                      TJPF_GRAY, 0) != 0) {
        if (error != nullptr) {
            *error = std::string("tjDecompress2: ") + tjGetErrorStr2(static_cast<tjhandle>(handle_));
        }
        return false;
    }
    return true;
}

}  // namespace vellumo::bench

#else  // no TurboJPEG at configure time

namespace vellumo::bench {

bool JpegAvailable() { return false; }
const char *JpegVersion() { return "not built"; }

bool JpegEncodeNear(const uint8_t *, int, int, size_t, PeerFile *, std::string *error)
{
    *error = "TurboJPEG was not found when the benchmark was configured";
    return false;
}

JpegDecoder::JpegDecoder() = default;
JpegDecoder::~JpegDecoder() = default;

bool JpegDecoder::Decode(const std::vector<uint8_t> &, uint8_t *, int, int, std::string *error)
{
    if (error != nullptr) {
        *error = "TurboJPEG was not found when the benchmark was configured";
    }
    return false;
}

}  // namespace vellumo::bench

#endif
