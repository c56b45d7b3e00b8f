// j2k_peer.cpp - the OpenJPEG peer (see peers.h): codestreams encoded and
// decoded through memory streams.
#include "peers.h"

#ifdef VELLUMO_HAVE_OPENJPEG

#include <openjpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

namespace vellumo::bench {

namespace {

// A memory buffer behind an opj_stream_t: reads from a fixed codestream, or
// writes into a growing one.
struct MemoryStream {
    std::vector<uint8_t> *bytes = nullptr;
    size_t position = 0;
};

OPJ_SIZE_T Read(void *dest, OPJ_SIZE_T count, void *user)
{
    auto *m = static_cast<MemoryStream *>(user);
    if (m->position >= m->bytes->size()) {
        return static_cast<OPJ_SIZE_T>(-1);
    }
    const size_t n = std::min<size_t>(count, m->bytes->size() - m->position);
    std::memcpy(dest, m->bytes->data() + m->position, n);
    m->position += n;
    return n;
}

OPJ_SIZE_T Write(void *source, OPJ_SIZE_T count, void *user)
{
    auto *m = static_cast<MemoryStream *>(user);
    if (m->position + count > m->bytes->size()) {
        m->bytes->resize(m->position + count);
    }
    std::memcpy(m->bytes->data() + m->position, source, count);
    m->position += count;
    return count;
}

OPJ_OFF_T SkipIn(OPJ_OFF_T count, void *user)
{
    auto *m = static_cast<MemoryStream *>(user);
    const OPJ_OFF_T left = static_cast<OPJ_OFF_T>(m->bytes->size() - m->position);
    if (count < 0) {
        return -1;
    }
    const OPJ_OFF_T n = std::min(count, left);
    m->position += static_cast<size_t>(n);
    return n;
}

OPJ_OFF_T SkipOut(OPJ_OFF_T count, void *user)
{
    auto *m = static_cast<MemoryStream *>(user);
    if (count < 0 || static_cast<size_t>(count) > SIZE_MAX - m->position) {
        return -1;
    }
    m->position += static_cast<size_t>(count);
    if (m->position > m->bytes->size()) {
        m->bytes->resize(m->position);
    }
    return count;
}

OPJ_BOOL SeekIn(OPJ_OFF_T offset, void *user)
{
    auto *m = static_cast<MemoryStream *>(user);
    if (offset < 0 || static_cast<size_t>(offset) > m->bytes->size()) {
        return OPJ_FALSE;
    }
    m->position = static_cast<size_t>(offset);
    return OPJ_TRUE;
}

OPJ_BOOL SeekOut(OPJ_OFF_T offset, void *user)
{
    auto *m = static_cast<MemoryStream *>(user);
    if (offset < 0) {
        return OPJ_FALSE;
    }
    m->position = static_cast<size_t>(offset);
    if (m->position > m->bytes->size()) {
        m->bytes->resize(m->position);
    }
    return OPJ_TRUE;
}

opj_stream_t *MakeStream(MemoryStream *m, bool input)
{
    opj_stream_t *stream = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, input ? OPJ_TRUE : OPJ_FALSE);
    if (stream == nullptr) {
        return nullptr;
    }
    opj_stream_set_user_data(stream, m, nullptr);
    if (input) {
        opj_stream_set_user_data_length(stream, m->bytes->size());
        opj_stream_set_read_function(stream, Read);
        opj_stream_set_skip_function(stream, SkipIn);
        opj_stream_set_seek_function(stream, SeekIn);
    } else {
        opj_stream_set_write_function(stream, Write);
        opj_stream_set_skip_function(stream, SkipOut);
        opj_stream_set_seek_function(stream, SeekOut);
    }
    return stream;
}

void Quiet(const char *, void *) {}

// Keeps the library's first error message.
void KeepError(const char *message, void *user)
{
    auto *error = static_cast<std::string *>(user);
    if (error != nullptr && error->empty()) {
        *error = message;
        while (!error->empty() && error->back() == '\n') {
            error->pop_back();
        }
    }
}

void Handlers(opj_codec_t *codec, std::string *error)
{
    opj_set_info_handler(codec, Quiet, nullptr);
    opj_set_warning_handler(codec, Quiet, nullptr);
    opj_set_error_handler(codec, KeepError, error);
}

bool EncodeAt(const uint8_t *pixels, int width, int height, double ratio,
              std::vector<uint8_t> *out, std::string *error)
{
    opj_cparameters_t params;
    opj_set_default_encoder_parameters(&params);
    params.tcp_numlayers = 1;
    params.tcp_rates[0] = static_cast<float>(ratio);
    params.cp_disto_alloc = 1;
    params.irreversible = 1;

    opj_image_cmptparm_t component;
    std::memset(&component, 0, sizeof component);
    component.dx = 1;
    component.dy = 1;
    component.w = static_cast<OPJ_UINT32>(width);
    component.h = static_cast<OPJ_UINT32>(height);
    component.prec = 8;
    component.sgnd = 0;
    opj_image_t *image = opj_image_create(1, &component, OPJ_CLRSPC_GRAY);
    if (image == nullptr) {
        *error = "opj_image_create failed";
        return false;
    }
    image->x0 = 0;
    image->y0 = 0;
    image->x1 = static_cast<OPJ_UINT32>(width);
    image->y1 = static_cast<OPJ_UINT32>(height);
    const size_t count = size_t(width) * size_t(height);
    for (size_t i = 0; i < count; ++i) {
        image->comps[0].data[i] = pixels[i];
    }

    out->clear();
    MemoryStream memory{out, 0};
    opj_codec_t *codec = opj_create_compress(OPJ_CODEC_J2K);
    opj_stream_t *stream = codec != nullptr ? MakeStream(&memory, false) : nullptr;
    bool ok = codec != nullptr && stream != nullptr;
    if (ok) {
        Handlers(codec, error);
        // Encoding is set-up, not measured: use every core for it.
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        ok = opj_setup_encoder(codec, &params, image) &&
             opj_codec_set_threads(codec, static_cast<int>(cores)) &&
             opj_start_compress(codec, image, stream) && opj_encode(codec, stream) &&
             opj_end_compress(codec, stream);
    }
    if (stream != nullptr) {
        opj_stream_destroy(stream);
    }
    if (codec != nullptr) {
        opj_destroy_codec(codec);
    }
    opj_image_destroy(image);
    if (!ok && error->empty()) {
        *error = "OpenJPEG encoding failed";
    }
    return ok;
}

}  // namespace

bool J2kAvailable() { return true; }
const char *J2kVersion() { return opj_version(); }

bool J2kEncodeNear(const uint8_t *pixels, int width, int height, size_t target_bytes,
                   PeerFile *out, std::string *error)
{
    const double target = double(target_bytes);
    const double raw = double(width) * double(height);
    double ratio = raw / target;
    bool have = false;
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::vector<uint8_t> bytes;
        if (!EncodeAt(pixels, width, height, ratio, &bytes, error)) {
            return false;
        }
        const double deviation = (double(bytes.size()) - target) / target;
        if (!have || std::fabs(deviation) < std::fabs(out->deviation)) {
            out->bytes = std::move(bytes);
            out->ratio = ratio;
            out->deviation = deviation;
            have = true;
        }
        if (std::fabs(out->deviation) <= 0.05) {
            break;
        }
        // Scale the ratio by how far this size missed.
        ratio *= 1.0 + deviation;
    }
    return true;
}

bool J2kDecode(const std::vector<uint8_t> &file, uint8_t *out, int width, int height,
               std::string *error)
{
    std::string message;
    MemoryStream memory{const_cast<std::vector<uint8_t> *>(&file), 0};
    opj_codec_t *codec = opj_create_decompress(OPJ_CODEC_J2K);
    opj_stream_t *stream = codec != nullptr ? MakeStream(&memory, true) : nullptr;
    opj_image_t *image = nullptr;
    bool ok = codec != nullptr && stream != nullptr;
    if (ok) {
        Handlers(codec, &message);
        opj_dparameters_t params;
        opj_set_default_decoder_parameters(&params);
        // One thread of work: the library hands it to one worker while the
        // calling thread waits (hence the low CPU column; timings are wall).
        ok = opj_setup_decoder(codec, &params) && opj_codec_set_threads(codec, 1) &&
             opj_read_header(stream, codec, &image) && opj_decode(codec, stream, image) &&
             opj_end_decompress(codec, stream);
    }
    if (ok && (image->numcomps != 1 || image->comps[0].w != OPJ_UINT32(width) ||
               image->comps[0].h != OPJ_UINT32(height) || image->comps[0].data == nullptr)) {
        message = "decoded image has the wrong shape";
        ok = false;
    }
    if (ok) {
        const OPJ_INT32 *data = image->comps[0].data;
        const size_t count = size_t(width) * size_t(height);
        for (size_t i = 0; i < count; ++i) {
            out[i] = static_cast<uint8_t>(std::clamp<OPJ_INT32>(data[i], 0, 255));
        }
    }
    if (image != nullptr) {
        opj_image_destroy(image);
    }
    if (stream != nullptr) {
        opj_stream_destroy(stream);
    }
    if (codec != nullptr) {
        opj_destroy_codec(codec);
    }
    if (!ok && error != nullptr) {
        *error = message.empty() ? "OpenJPEG decoding failed" : message;
    }
    return ok;
}

}  // namespace vellumo::bench

#else  // no OpenJPEG at configure time

namespace vellumo::bench {

bool J2kAvailable() { return false; }
const char *J2kVersion() { return "not built"; }

bool J2kEncodeNear(const uint8_t *, int, int, size_t, PeerFile *, std::string *error)
{
    *error = "OpenJPEG was not found when the benchmark was configured";
    return false;
}

bool J2kDecode(const std::vector<uint8_t> &, uint8_t *, int, int, std::string *error)
{
    if (error != nullptr) {
        *error = "OpenJPEG was not found when the benchmark was configured";
    }
    return false;
}

}  // namespace vellumo::bench

#endif
