/*
 * fuzz_check.h - shared bits of the fuzz harnesses: a check that aborts
 * (so libFuzzer and the corpus replay both report it as a crash) and the
 * entry point every harness defines.
 */
#ifndef VELLUMO_FUZZ_CHECK_H
#define VELLUMO_FUZZ_CHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

/* Images above this many pixels are left alone by the harnesses: a
 * 16-byte header can claim a gigapixel frame, and bounding that is the
 * caller's pixel limit, not the library's. */
constexpr long long kFuzzMaxPixels = 1LL << 18;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#endif /* VELLUMO_FUZZ_CHECK_H */
