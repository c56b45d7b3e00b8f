/*
 * comment_fuzzer.cpp - the comment query (wsq_query_comment): first as a
 * size query without a destination, then into a destination of exactly
 * the reported size, then into one byte less.
 */
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "wsq.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0x7FFFFFFF)
        return 0;
    const int length = static_cast<int>(size);

    int needed = -7;
    const int status = wsq_query_comment(data, length, nullptr, &needed);
    FUZZ_CHECK(status <= 0);
    if (status < 0) {
        FUZZ_CHECK(needed == -7);
        FUZZ_CHECK(status != WSQ_E_NO_DATA || length == 0);
        return 0;
    }

    if (needed == -7) {
        /* No comment: the destination and the size stay untouched. */
        char dest[4] = {'x', 'x', 'x', 'x'};
        int dest_size = 4;
        FUZZ_CHECK(wsq_query_comment(data, length, dest, &dest_size) == 0);
        FUZZ_CHECK(dest_size == 4 && std::memcmp(dest, "xxxx", 4) == 0);
        return 0;
    }

    /* A comment segment holds at most 65533 bytes of text. */
    FUZZ_CHECK(needed >= 1 && needed <= 65534);
    std::vector<char> dest(static_cast<size_t>(needed) + 16, 'x');
    int dest_size = needed;
    FUZZ_CHECK(wsq_query_comment(data, length, dest.data(), &dest_size) == 0);
    FUZZ_CHECK(dest_size == needed);
    FUZZ_CHECK(std::strlen(dest.data()) == static_cast<size_t>(needed) - 1);
    for (size_t i = static_cast<size_t>(needed); i < dest.size(); ++i)
        FUZZ_CHECK(dest[i] == 'x');

    /* One byte short: refused, nothing written. */
    std::vector<char> small(static_cast<size_t>(needed), 'y');
    int small_size = needed - 1;
    FUZZ_CHECK(wsq_query_comment(data, length, small.data(), &small_size) == WSQ_E_DEST_SMALL);
    FUZZ_CHECK(small_size == needed - 1);
    for (char c : small)
        FUZZ_CHECK(c == 'y');
    return 0;
}
