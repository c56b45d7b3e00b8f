/*
 * header_info.cpp - header and comment queries, the "NIST_COM" comment
 * (the ANSI/NIST convention of name/value lines), the name/value list and
 * the library version string.
 */
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "codestream.h"
#include "wsq.h"

namespace {

char *duplicate(const char *text)
{
    size_t n = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(n));
    if (copy)
        std::memcpy(copy, text, n);
    return copy;
}

/* Decimal integer as atoi reads it, clamped instead of overflowing. */
int read_decimal(const char *text)
{
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    long long value = 0;
    while (*text >= '0' && *text <= '9') {
        if (value <= static_cast<long long>(INT_MAX) + 1)
            value = value * 10 + (*text - '0');
        ++text;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

} // namespace

extern "C" {

const char *wsq_version_string(void)
{
    return "wsq version 2.3.0.1 - January 8, 2023";
}

int wsq_query_header(const unsigned char *data, int length, int *width, int *height, int *encoder,
                     int *implementation)
{
    if (!data || length <= 0) {
        *width = *height = *encoder = *implementation = 0;
        return WSQ_E_NO_DATA;
    }
    WsqTables tables;
    wsq_tables_init(&tables);
    WsqFrameHeader header{};
    ByteCursor cursor = wsq_cursor(data, static_cast<size_t>(length));
    int status = wsq_read_up_to_frame(&cursor, &tables, &header);
    wsq_transform_table_release(&tables.transform);
    if (status)
        return status;
    *width = header.width;
    *height = header.height;
    *encoder = header.encoder;
    *implementation = header.implementation;
    return 0;
}

int wsq_query_comment(const unsigned char *data, int length, char *dest, int *size)
{
    if (!data || length <= 0)
        return WSQ_E_NO_DATA;
    ByteCursor cursor = wsq_cursor(data, static_cast<size_t>(length));
    uint16_t marker;
    int status = wsq_read_marker(&cursor, expect_start, &marker);
    if (status)
        return status;
    char *kept = nullptr;
    for (;;) {
        if ((status = wsq_read_marker(&cursor, expect_any, &marker)) != 0)
            break;
        if (marker == WSQ_MARKER_BLOCK)
            break;
        if (marker == WSQ_MARKER_COMMENT) {
            char *text = nullptr;
            if ((status = wsq_read_comment_text(&cursor, &text)) != 0)
                break;
            std::free(kept);
            kept = text;
        } else if ((status = wsq_skip_segment(&cursor)) != 0) {
            break;
        }
    }
    if (status == 0 && kept) {
        size_t needed = std::strlen(kept) + 1;
        if (needed > static_cast<size_t>(INT_MAX)) {
            status = WSQ_E_DEST_SMALL;
        } else if (dest) {
            if (*size < static_cast<int>(needed))
                status = WSQ_E_DEST_SMALL;
            else
                std::memcpy(dest, kept, needed);
        } else {
            *size = static_cast<int>(needed);
        }
    }
    std::free(kept);
    return status;
}

int wsq_find_nist_comment(const unsigned char *data, int length, WsqNameValueList **list)
{
    static const char tag[] = "NIST_COM";
    const size_t tag_length = sizeof tag - 1;
    if (list)
        *list = nullptr;
    if (!data || length <= 0)
        return WSQ_E_NO_DATA;
    ByteCursor cursor = wsq_cursor(data, static_cast<size_t>(length));
    uint16_t marker;
    int status = wsq_read_marker(&cursor, expect_start, &marker);
    if (status)
        return status;
    for (;;) {
        if ((status = wsq_read_marker(&cursor, expect_any, &marker)) != 0)
            return status;
        if (marker == WSQ_MARKER_BLOCK)
            return 0;
        if (marker == WSQ_MARKER_COMMENT) {
            /* The tag must lie within both the data and the segment. */
            size_t left = static_cast<size_t>(cursor.end - cursor.pos);
            bool tagged = false;
            if (left >= 2 + tag_length) {
                size_t segment = (static_cast<size_t>(cursor.pos[0]) << 8) | cursor.pos[1];
                tagged = segment >= 2 + tag_length &&
                         std::memcmp(cursor.pos + 2, tag, tag_length) == 0;
            }
            if (tagged) {
                char *text = nullptr;
                if ((status = wsq_read_comment_text(&cursor, &text)) != 0)
                    return status;
                WsqNameValueList *parsed = nullptr;
                status = wsq_parse_name_values(text, &parsed);
                std::free(text);
                if (status)
                    return status;
                if (list)
                    *list = parsed;
                else
                    wsq_nv_free(parsed);
                return 0;
            }
        }
        if ((status = wsq_skip_segment(&cursor)) != 0)
            return status;
    }
}

int wsq_ppi_from_comment(const unsigned char *data, int length, int *ppi)
{
    WsqNameValueList *list = nullptr;
    int status = wsq_find_nist_comment(data, length, &list);
    if (status)
        return status;
    if (!list) {
        *ppi = -1;
        return 0;
    }
    char *value = nullptr;
    status = wsq_nv_get(list, "PPI", &value);
    wsq_nv_free(list);
    if (status)
        return status; /* -2 without a PPI pair, -3 when the copy failed */
    *ppi = value ? read_decimal(value) : -1;
    std::free(value);
    return 0;
}

int wsq_parse_name_values(const char *text, WsqNameValueList **list)
{
    /* Names and values keep at most 511 characters; longer ones are
     * truncated (the rest of the token is still consumed). */
    enum { LIMIT = 511 };
    char name[LIMIT + 1];
    char value[LIMIT + 1];
    WsqNameValueList *result = nullptr;
    int status = wsq_nv_create(100, &result);
    if (status)
        return status;

    const char *p = text;
    while (*p != '\0') {
        size_t n = 0;
        while (*p != '\0' && *p != ' ' && *p != '\t') {
            if (n < LIMIT)
                name[n++] = *p;
            ++p;
        }
        name[n] = '\0';
        while (*p == ' ' || *p == '\t')
            ++p;
        size_t v = 0;
        while (*p != '\0' && *p != '\n') {
            if (v < LIMIT)
                value[v++] = *p;
            ++p;
        }
        value[v] = '\0';
        while (*p == ' ' || *p == '\t' || *p == '\n')
            ++p;
        if (n == 0) {
            wsq_nv_free(result);
            return WSQ_E_SEGMENT;
        }
        if ((status = wsq_nv_set(name, v ? value : nullptr, result)) != 0) {
            wsq_nv_free(result);
            return status;
        }
    }
    *list = result;
    return 0;
}

int wsq_nv_create(int capacity, WsqNameValueList **list)
{
    if (capacity < 0)
        return WSQ_E_SEGMENT;
    auto *l = static_cast<WsqNameValueList *>(std::calloc(1, sizeof(WsqNameValueList)));
    if (!l)
        return WSQ_E_SEGMENT;
    size_t slots = capacity > 0 ? static_cast<size_t>(capacity) : 1;
    l->names = static_cast<char **>(std::calloc(slots, sizeof(char *)));
    if (!l->names) {
        std::free(l);
        return WSQ_E_NOMEM_3;
    }
    l->values = static_cast<char **>(std::calloc(slots, sizeof(char *)));
    if (!l->values) {
        std::free(l->names);
        std::free(l);
        return WSQ_E_OPEN_OR_COUNTS;
    }
    l->capacity = capacity;
    l->count = 0;
    *list = l;
    return 0;
}

int wsq_nv_grow(WsqNameValueList **list, int new_capacity)
{
    if (!*list)
        return wsq_nv_create(new_capacity, list);
    /* An existing list (also one of capacity 0) is resized in place, so
     * that pointers to the record stay valid. */
    WsqNameValueList *l = *list;
    if (new_capacity <= l->capacity)
        return 0; /* never shrinks below the pairs it holds */
    size_t slots = static_cast<size_t>(new_capacity);
    char **names = static_cast<char **>(std::realloc(l->names, slots * sizeof(char *)));
    if (!names)
        return WSQ_E_SEGMENT;
    l->names = names;
    char **values = static_cast<char **>(std::realloc(l->values, slots * sizeof(char *)));
    if (!values)
        return WSQ_E_NOMEM_3;
    l->values = values;
    for (int i = l->capacity; i < new_capacity; ++i) {
        l->names[i] = nullptr;
        l->values[i] = nullptr;
    }
    l->capacity = new_capacity;
    return 0;
}

int wsq_nv_set(const char *name, const char *value, WsqNameValueList *list)
{
    for (int i = 0; i < list->count; ++i) {
        if (std::strcmp(list->names[i], name) != 0)
            continue;
        std::free(list->values[i]);
        list->values[i] = nullptr;
        if (value && !(list->values[i] = duplicate(value)))
            return WSQ_E_SEGMENT;
        return 0;
    }
    if (list->count >= list->capacity) {
        int step = list->capacity / 10 > 10 ? list->capacity / 10 : 10;
        if (list->capacity > INT_MAX - step)
            return WSQ_E_SEGMENT;
        WsqNameValueList *l = list;
        int status = wsq_nv_grow(&l, list->capacity + step);
        if (status)
            return status;
    }
    char *name_copy = duplicate(name);
    if (!name_copy)
        return WSQ_E_NOMEM_3;
    char *value_copy = nullptr;
    if (value && !(value_copy = duplicate(value))) {
        std::free(name_copy);
        return WSQ_E_OPEN_OR_COUNTS;
    }
    list->names[list->count] = name_copy;
    list->values[list->count] = value_copy;
    ++list->count;
    return 0;
}

int wsq_nv_get(const WsqNameValueList *list, const char *name, char **value)
{
    for (int i = 0; i < list->count; ++i) {
        if (std::strcmp(list->names[i], name) != 0)
            continue;
        if (!list->values[i]) {
            *value = nullptr;
            return 0;
        }
        if (!(*value = duplicate(list->values[i])))
            return WSQ_E_NOMEM_3;
        return 0;
    }
    return WSQ_E_SEGMENT;
}

void wsq_nv_free(WsqNameValueList *list)
{
    if (!list)
        return;
    for (int i = 0; i < list->count; ++i) {
        std::free(list->names[i]);
        std::free(list->values[i]);
    }
    std::free(list->names);
    std::free(list->values);
    std::free(list);
}

} // extern "C"
