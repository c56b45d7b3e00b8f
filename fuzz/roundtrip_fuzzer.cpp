/*
 * roundtrip_fuzzer.cpp - encode an arbitrary small image, decode it again.
 *
 * Input layout:
 *   byte 0  width - 1   (mod 96, so 1..96)
 *   byte 1  height - 1  (mod 96)
 *   byte 2  bit rate: 0.05 * (1 + byte mod 160), so 0.05..8.0 bits per pixel
 *   byte 3  bit 0: ppi 500 instead of unknown; bit 1: add a comment made of
 *           the first pixel bytes (up to 40); bits 2-7: encoder number
 *   rest    pixels, row-major; repeated when shorter than the image, mid
 *           gray when empty
 * The encoder may refuse (a documented code); when it accepts, the decode
 * must succeed with the same size and resolution, and (for the smaller
 * images) the same pixels must give the same codestream again.
 */
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "wsq.h"
#include "wsq_encoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const int width = 1 + data[0] % 96;
    const int height = 1 + data[1] % 96;
    const float bitrate = 0.05f * static_cast<float>(1 + data[2] % 160);
    const uint8_t flags = data[3];
    const uint8_t *rest = data + 4;
    const size_t rest_size = size - 4;

    std::vector<unsigned char> pixels(static_cast<size_t>(width) * static_cast<size_t>(height), 128);
    if (rest_size > 0)
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = rest[i % rest_size];

    std::string comment;
    if (flags & 2)
        comment.assign(reinterpret_cast<const char *>(rest), rest_size < 40 ? rest_size : 40);

    WsqEncodeParams params;
    wsq_encode_default_params(&params);
    params.bitrate = bitrate;
    params.ppi = (flags & 1) ? 500 : -1;
    params.comment = (flags & 2) ? comment.c_str() : nullptr;
    params.encoder = flags >> 2;

    unsigned char *stream = nullptr;
    int stream_length = -7;
    float achieved = -1.0f;
    const int status = wsq_encode(pixels.data(), width, height, &params, &stream, &stream_length, &achieved);
    if (status != 0) {
        /* Refusals are documented codes and write nothing. */
        FUZZ_CHECK(status == WSQ_E_ENCODE_PARAMS || status == WSQ_E_ENCODE_SIZE ||
                   status == WSQ_E_READ_OR_NOMEM);
        FUZZ_CHECK(stream == nullptr && stream_length == -7);
        return 0;
    }
    FUZZ_CHECK(stream != nullptr && stream_length > 0);
    FUZZ_CHECK(achieved > 0.0f);

    GrayImage image{nullptr, 0, 0, 0, 0, 0};
    const int decoded = wsq_decode_image(stream, stream_length, &image);
    if (decoded != 0)
        std::fprintf(stderr, "%dx%d at %.2f bpp (flags %02x): decode gives %d\n", width, height,
                     static_cast<double>(bitrate), flags, decoded);
    FUZZ_CHECK(decoded == 0);
    FUZZ_CHECK(image.width == width && image.height == height);
    FUZZ_CHECK(image.ppi == params.ppi);

    int w = 0, h = 0, enc = -1, impl = -1;
    FUZZ_CHECK(wsq_query_header(stream, stream_length, &w, &h, &enc, &impl) == 0);
    FUZZ_CHECK(w == width && h == height && enc == params.encoder && impl == 0);

    /* The caller's comment is written after the NIST comment, so the
     * comment query (the last comment before the first block) finds it. */
    const size_t comment_length = std::strlen(comment.c_str());
    if (params.comment && comment_length > 0) {
        std::vector<char> text(comment_length + 1, 'x');
        int text_size = static_cast<int>(text.size());
        FUZZ_CHECK(wsq_query_comment(stream, stream_length, text.data(), &text_size) == 0);
        FUZZ_CHECK(std::strcmp(text.data(), comment.c_str()) == 0);
    }

    /* Deterministic: the same input gives the same bytes (checked on the
     * smaller images, where a second encode costs little). */
    if (width * height <= 48 * 48) {
        unsigned char *again = nullptr;
        int again_length = 0;
        FUZZ_CHECK(wsq_encode(pixels.data(), width, height, &params, &again, &again_length, nullptr) == 0);
        FUZZ_CHECK(again_length == stream_length &&
                   std::memcmp(again, stream, static_cast<size_t>(stream_length)) == 0);
        std::free(again);
    }
    std::free(stream);
    wsq_free_image(&image);
    return 0;
}
