/*
 * nist_fuzzer.cpp - the NIST comment: wsq_find_nist_comment and lookups of
 * every name it found, wsq_ppi_from_comment, and wsq_parse_name_values on
 * the input taken as one NUL-terminated text.
 */
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "wsq.h"

namespace {

/* The invariants of a parsed list, and a lookup of every name. */
void check_list(const WsqNameValueList *list)
{
    FUZZ_CHECK(list->count >= 0 && list->count <= list->capacity);
    for (int i = 0; i < list->count; ++i) {
        const char *name = list->names[i];
        FUZZ_CHECK(name != nullptr);
        const size_t n = std::strlen(name);
        FUZZ_CHECK(n >= 1 && n <= 511);
        FUZZ_CHECK(std::strchr(name, ' ') == nullptr && std::strchr(name, '\t') == nullptr);
        if (list->values[i]) {
            const size_t v = std::strlen(list->values[i]);
            FUZZ_CHECK(v >= 1 && v <= 511);
            FUZZ_CHECK(std::strchr(list->values[i], '\n') == nullptr);
        }
        /* Names are unique: the first match is this pair. */
        for (int j = 0; j < i; ++j)
            FUZZ_CHECK(std::strcmp(list->names[j], name) != 0);
        char *value = reinterpret_cast<char *>(1);
        FUZZ_CHECK(wsq_nv_get(list, name, &value) == 0);
        if (list->values[i]) {
            FUZZ_CHECK(value != nullptr && value != list->values[i]);
            FUZZ_CHECK(std::strcmp(value, list->values[i]) == 0);
        } else {
            FUZZ_CHECK(value == nullptr);
        }
        std::free(value);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0x7FFFFFFF)
        return 0;
    const int length = static_cast<int>(size);

    WsqNameValueList *list = reinterpret_cast<WsqNameValueList *>(1);
    const int status = wsq_find_nist_comment(data, length, &list);
    FUZZ_CHECK(status <= 0);
    if (status < 0)
        FUZZ_CHECK(list == nullptr);
    FUZZ_CHECK(wsq_find_nist_comment(data, length, nullptr) == status);

    int ppi = -7;
    const int ppi_status = wsq_ppi_from_comment(data, length, &ppi);
    if (status < 0) {
        FUZZ_CHECK(ppi_status == status && ppi == -7);
    } else if (!list) {
        FUZZ_CHECK(ppi_status == 0 && ppi == -1);
    }
    if (list) {
        check_list(list);
        char *value = nullptr;
        const int get = wsq_nv_get(list, "PPI", &value);
        FUZZ_CHECK(get == 0 ? ppi_status == 0 : ppi_status == get);
        if (get == 0 && !value)
            FUZZ_CHECK(ppi == -1);
        std::free(value);
        wsq_nv_free(list);
    }

    /* The same bytes as comment text (up to the first NUL). */
    const std::string text(reinterpret_cast<const char *>(data), size);
    WsqNameValueList *parsed = nullptr;
    const int parse_status = wsq_parse_name_values(text.c_str(), &parsed);
    FUZZ_CHECK(parse_status <= 0);
    if (parse_status == 0) {
        FUZZ_CHECK(parsed != nullptr);
        check_list(parsed);
        wsq_nv_free(parsed);
    } else {
        FUZZ_CHECK(parsed == nullptr);
        FUZZ_CHECK(text[0] == ' ' || text[0] == '\t');
    }
    return 0;
}
