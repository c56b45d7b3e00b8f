/*
 * decode_fuzzer.cpp - the full decode from memory: wsq_decode_image, then
 * the same bytes through wsq_decode_buffer and the current-image slot,
 * with more than one decode thread. Both must agree.
 */
#include <cstring>

#include "fuzz_check.h"
#include "wsq.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0x7FFFFFFF)
        return 0;
    const int length = static_cast<int>(size);

    /* Frames too large for a test run are the pixel limit's business. */
    int width = 0, height = 0, encoder = 0, implementation = 0;
    if (wsq_query_header(data, length, &width, &height, &encoder, &implementation) == 0 &&
        static_cast<long long>(width) * height > kFuzzMaxPixels)
        return 0;

    GrayImage image{nullptr, -7, -7, -7, -7, -7};
    const int status = wsq_decode_image(data, length, &image);
    FUZZ_CHECK(status <= 0);
    if (status < 0) {
        /* A failed decode leaves the record as it was. */
        FUZZ_CHECK(image.pixels == nullptr && image.width == -7 && image.height == -7);
    } else {
        FUZZ_CHECK(image.pixels != nullptr);
        FUZZ_CHECK(image.width == width && image.height == height);
        FUZZ_CHECK(image.depth == 8 && image.lossy == 1);
        /* Touch every pixel so that a short buffer shows under ASan. */
        unsigned sum = 0;
        for (long long i = 0; i < static_cast<long long>(width) * height; ++i)
            sum += image.pixels[i];
        (void)sum;
    }

    /* The slot path, with decode threads: the bytes must not change. */
    const int previous_threads = wsq_set_decode_threads(2);
    int w = -7, h = -7, depth = -7, ppi = -7, lossy = -7;
    const int slot_status = wsq_decode_buffer(&w, &h, &depth, &ppi, &lossy, data, length);
    wsq_set_decode_threads(previous_threads);
    FUZZ_CHECK(slot_status == status);
    GrayImage *current = wsq_current_image();
    if (slot_status == 0) {
        FUZZ_CHECK(w == image.width && h == image.height && depth == 8 && lossy == 1);
        FUZZ_CHECK(ppi == image.ppi);
        FUZZ_CHECK(current->pixels != nullptr && current->width == w && current->height == h);
        FUZZ_CHECK(std::memcmp(current->pixels, image.pixels,
                               static_cast<size_t>(w) * static_cast<size_t>(h)) == 0);
    } else {
        FUZZ_CHECK(w == -7 && h == -7 && depth == -7 && ppi == -7 && lossy == -7);
        FUZZ_CHECK(current->pixels == nullptr);
    }
    wsq_release_current_image();
    FUZZ_CHECK(current->pixels == nullptr && current->width == 0 && current->height == 0);

    wsq_free_image(&image);
    FUZZ_CHECK(image.pixels == nullptr);
    return 0;
}
