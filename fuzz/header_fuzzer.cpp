/*
 * header_fuzzer.cpp - the frame-header query (wsq_query_header).
 */
#include "codestream.h"
#include "fuzz_check.h"
#include "wsq.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0x7FFFFFFF)
        return 0;
    const int length = static_cast<int>(size);
    int width = -7, height = -7, encoder = -7, implementation = -7;
    const int status = wsq_query_header(data, length, &width, &height, &encoder, &implementation);
    FUZZ_CHECK(status <= 0);
    if (status == 0) {
        FUZZ_CHECK(width >= 0 && width <= 0xFFFF && height >= 0 && height <= 0xFFFF);
        FUZZ_CHECK(encoder >= 0 && encoder <= 0xFF);
        FUZZ_CHECK(implementation >= 0 && implementation <= 0xFFFF);
    } else if (status == WSQ_E_NO_DATA) {
        FUZZ_CHECK(length == 0);
        FUZZ_CHECK(width == 0 && height == 0 && encoder == 0 && implementation == 0);
    } else {
        FUZZ_CHECK(width == -7 && height == -7 && encoder == -7 && implementation == -7);
    }
    if (status != 0)
        return 0;

    /* The query reads exactly up to the end of the frame header: that
     * prefix gives the same answer, one byte less runs out of data. */
    WsqTables tables;
    wsq_tables_init(&tables);
    WsqFrameHeader header{};
    ByteCursor cursor = wsq_cursor(data, size);
    FUZZ_CHECK(wsq_read_up_to_frame(&cursor, &tables, &header) == 0);
    wsq_transform_table_release(&tables.transform);
    FUZZ_CHECK(cursor.pos > data && cursor.pos <= data + size);
    const int used = static_cast<int>(cursor.pos - data);
    int w2 = -7, h2 = -7, e2 = -7, i2 = -7;
    FUZZ_CHECK(wsq_query_header(data, used, &w2, &h2, &e2, &i2) == 0);
    FUZZ_CHECK(w2 == width && h2 == height && e2 == encoder && i2 == implementation);
    const int short_status = wsq_query_header(data, used - 1, &w2, &h2, &e2, &i2);
    FUZZ_CHECK(short_status == WSQ_E_SHORT_DATA || short_status == WSQ_E_BYTE_AT_END ||
               (used == 1 && short_status == WSQ_E_NO_DATA));
    return 0;
}
