// Header and comment queries, NIST comments and the name/value list.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "codestream_writer.h"
#include "wsq.h"

using namespace wsqtest;

namespace {

/* Start, the given comments, a frame header, a block marker, more comments. */
Bytes with_comments(const std::vector<std::string> &before, const std::vector<std::string> &after = {})
{
    CodestreamWriter w;
    w.start();
    for (const auto &c : before)
        w.comment(c);
    w.standard_transform().frame(832, 768).huffman({byte_table(0)}).block(0);
    for (const auto &c : after)
        w.comment(c);
    w.end();
    return w.bytes();
}

int ppi_of(const std::string &nist_text)
{
    Bytes b = with_comments({nist_text});
    int ppi = -7;
    int status = wsq_ppi_from_comment(b.data(), static_cast<int>(b.size()), &ppi);
    return status ? status * 1000 : ppi; // distinguishes failures from values
}

} // namespace

TEST(HeaderQuery, ReportsWidthBeforeHeight)
{
    CodestreamWriter w;
    w.start().comment("x").frame(832, 768, {0, 0}, {0, 1}, 9, 4660);
    int width = 0, height = 0, encoder = 0, implementation = 0;
    ASSERT_EQ(wsq_query_header(w.bytes().data(), w.length(), &width, &height, &encoder, &implementation), 0);
    EXPECT_EQ(width, 832);
    EXPECT_EQ(height, 768);
    EXPECT_EQ(encoder, 9);
    EXPECT_EQ(implementation, 4660);
}

TEST(HeaderQuery, Failures)
{
    int width = 5, height = 5, encoder = 5, implementation = 5;
    Bytes b{0xFF, 0xA0};
    EXPECT_EQ(wsq_query_header(b.data(), 0, &width, &height, &encoder, &implementation), WSQ_E_NO_DATA);
    EXPECT_EQ(width + height + encoder + implementation, 0);
    width = height = encoder = implementation = 5;
    EXPECT_EQ(wsq_query_header(nullptr, 10, &width, &height, &encoder, &implementation), WSQ_E_NO_DATA);
    EXPECT_EQ(width, 0);

    // Other failures leave the outputs alone.
    width = 5;
    EXPECT_EQ(wsq_query_header(b.data(), 2, &width, &height, &encoder, &implementation), WSQ_E_SHORT_DATA);
    EXPECT_EQ(width, 5);
    CodestreamWriter w;
    w.start().marker(0xFFA7);
    EXPECT_EQ(wsq_query_header(w.bytes().data(), w.length(), &width, &height, &encoder, &implementation),
              WSQ_E_EXPECT_TABLE_FRAME);
    EXPECT_EQ(width, 5);
}

TEST(CommentQuery, LastCommentBeforeTheFirstBlock)
{
    Bytes b = with_comments({"first", "second"}, {"after the block"});
    char dest[64] = "untouched";
    int size = sizeof dest;
    ASSERT_EQ(wsq_query_comment(b.data(), static_cast<int>(b.size()), dest, &size), 0);
    EXPECT_STREQ(dest, "second");

    // Size query: text length + 1, nothing copied.
    size = 0;
    ASSERT_EQ(wsq_query_comment(b.data(), static_cast<int>(b.size()), nullptr, &size), 0);
    EXPECT_EQ(size, 7);

    // No comment: 0, neither output touched.
    Bytes none = with_comments({}, {"late"});
    size = 99;
    std::strcpy(dest, "kept");
    EXPECT_EQ(wsq_query_comment(none.data(), static_cast<int>(none.size()), dest, &size), 0);
    EXPECT_EQ(size, 99);
    EXPECT_STREQ(dest, "kept");
}

TEST(CommentQuery, DestinationSize)
{
    char dest[255];
    for (size_t n : {254u, 255u}) {
        Bytes b = with_comments({std::string(n, 'c')});
        std::memset(dest, 'z', sizeof dest);
        int size = sizeof dest;
        int status = wsq_query_comment(b.data(), static_cast<int>(b.size()), dest, &size);
        if (n == 254) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(std::strlen(dest), 254u);
        } else {
            EXPECT_EQ(status, WSQ_E_DEST_SMALL);
            EXPECT_EQ(dest[0], 'z') << "destination untouched";
        }
    }
    int size = 10;
    EXPECT_EQ(wsq_query_comment(nullptr, 5, dest, &size), WSQ_E_NO_DATA);
}

TEST(CommentQuery, ScanFailsWithoutBlockOrOnBadLengths)
{
    CodestreamWriter w;
    w.start().comment("c").frame(10, 10);
    char dest[16];
    int size = 16;
    EXPECT_LT(wsq_query_comment(w.bytes().data(), w.length(), dest, &size), 0);

    // A wrong frame-header length harms the scan but not the header query.
    Bytes b = with_comments({"c"});
    size_t frame = 0;
    for (size_t i = 0; i + 1 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == 0xA2)
            frame = i;
    b[frame + 3] = 16; // 17 -> 16
    int width, height, encoder, implementation;
    EXPECT_EQ(wsq_query_header(b.data(), static_cast<int>(b.size()), &width, &height, &encoder, &implementation), 0);
    EXPECT_LT(wsq_query_comment(b.data(), static_cast<int>(b.size()), dest, &size), 0);
    int ppi;
    EXPECT_LT(wsq_ppi_from_comment(b.data(), static_cast<int>(b.size()), &ppi), 0);
}

TEST(NistComment, Resolution)
{
    EXPECT_EQ(ppi_of(nist_comment({"PIX_WIDTH 832", "PPI 500", "LOSSY 1"})), 500);
    // Last line "PPI" without value or line feed: no value, -1.
    EXPECT_EQ(ppi_of("NIST_COM 2\nPPI"), -1);
    // "PPI" then a line feed: the name runs into the next line; no PPI pair.
    EXPECT_EQ(ppi_of("NIST_COM 3\nPPI\nLOSSY 1\n"), WSQ_E_SEGMENT * 1000);
    EXPECT_EQ(ppi_of(nist_comment({"LOSSY 1"})), WSQ_E_SEGMENT * 1000);
    // CR LF endings keep the CR in the value; still 500.
    EXPECT_EQ(ppi_of("NIST_COM 2\r\nPPI 500\r\n"), 500);
    EXPECT_EQ(ppi_of("NIST_COM 2\nPPI   +0750xyz\n"), 750);
    EXPECT_EQ(ppi_of("NIST_COM 2\nPPI 99999999999999999999\n"), 2147483647);

    // No NIST comment (only an ordinary one): -1.
    Bytes plain = with_comments({"just text"});
    int ppi = 0;
    EXPECT_EQ(wsq_ppi_from_comment(plain.data(), static_cast<int>(plain.size()), &ppi), 0);
    EXPECT_EQ(ppi, -1);

    // Only the first NIST comment counts.
    Bytes two = with_comments({nist_comment({"PPI 250"}), nist_comment({"PPI 500"})});
    EXPECT_EQ(wsq_ppi_from_comment(two.data(), static_cast<int>(two.size()), &ppi), 0);
    EXPECT_EQ(ppi, 250);
}

TEST(NistComment, TagTestStaysInsideDataAndSegment)
{
    // A comment segment announcing 8 text bytes at the very end of the data
    // (only part of the tag present): no match, then the scan fails cleanly.
    CodestreamWriter w;
    w.start().marker(0xFFA8).u16(10).u8('N').u8('I').u8('S');
    WsqNameValueList *list = reinterpret_cast<WsqNameValueList *>(1);
    EXPECT_LT(wsq_find_nist_comment(w.bytes().data(), w.length(), &list), 0);

    // A short comment whose bytes are followed by "T_COM" outside it.
    CodestreamWriter s;
    s.start().comment("NIS").raw({'T', '_', 'C', 'O', 'M'});
    list = nullptr;
    EXPECT_LT(wsq_find_nist_comment(s.bytes().data(), s.length(), &list), 0);
    EXPECT_EQ(list, nullptr);
}

TEST(NameValues, Parsing)
{
    WsqNameValueList *list = nullptr;
    ASSERT_EQ(wsq_parse_name_values("NIST_COM 9\n  PPI 500\n\n\tLOSSY\t1\nPPI 600\nEMPTY\n", &list), 0);
    ASSERT_NE(list, nullptr);
    // Indentation and blank lines skipped; the repeated name keeps one pair
    // with the later value; "EMPTY\n" at the end has no value.
    ASSERT_EQ(list->count, 4);
    EXPECT_STREQ(list->names[0], "NIST_COM");
    EXPECT_STREQ(list->values[0], "9");
    EXPECT_STREQ(list->names[1], "PPI");
    EXPECT_STREQ(list->values[1], "600");
    EXPECT_STREQ(list->names[2], "LOSSY");
    EXPECT_STREQ(list->values[2], "1");
    EXPECT_STREQ(list->names[3], "EMPTY\n");
    EXPECT_EQ(list->values[3], nullptr);
    char *value = nullptr;
    EXPECT_EQ(wsq_nv_get(list, "PPI", &value), 0);
    EXPECT_STREQ(value, "600");
    std::free(value);
    EXPECT_EQ(wsq_nv_get(list, "ppi", &value), WSQ_E_SEGMENT);
    wsq_nv_free(list);

    list = nullptr;
    EXPECT_EQ(wsq_parse_name_values(" leading space", &list), WSQ_E_SEGMENT);
    EXPECT_EQ(list, nullptr);
}

TEST(NameValues, LongNamesAndValuesAreTruncatedTo511)
{
    std::string text = std::string(600, 'N') + " " + std::string(700, 'v') + "\nPPI 500\n";
    WsqNameValueList *list = nullptr;
    ASSERT_EQ(wsq_parse_name_values(text.c_str(), &list), 0);
    ASSERT_EQ(list->count, 2);
    EXPECT_EQ(std::strlen(list->names[0]), 511u);
    EXPECT_EQ(std::strlen(list->values[0]), 511u);
    EXPECT_STREQ(list->names[1], "PPI");
    wsq_nv_free(list);
}

TEST(NameValues, GrowthSteps)
{
    std::string text;
    for (int i = 0; i < 101; ++i)
        text.append("N").append(std::to_string(i)).append(" ").append(std::to_string(i)).append("\n");
    WsqNameValueList *list = nullptr;
    ASSERT_EQ(wsq_parse_name_values(text.c_str(), &list), 0);
    EXPECT_EQ(list->count, 101);
    EXPECT_EQ(list->capacity, 110);
    EXPECT_STREQ(list->values[100], "100");
    for (int i = 101; i < 111; ++i)
        ASSERT_EQ(wsq_nv_set(std::string("M").append(std::to_string(i)).c_str(), nullptr, list), 0);
    EXPECT_EQ(list->capacity, 121);
    wsq_nv_free(list);

    // Growing an absent list creates it; a list of capacity 0 grows in place.
    WsqNameValueList *none = nullptr;
    ASSERT_EQ(wsq_nv_grow(&none, 5), 0);
    EXPECT_EQ(none->capacity, 5);
    wsq_nv_free(none);
    WsqNameValueList *zero = nullptr;
    ASSERT_EQ(wsq_nv_create(0, &zero), 0);
    ASSERT_EQ(wsq_nv_set("A", "1", zero), 0);
    EXPECT_EQ(zero->capacity, 10);
    EXPECT_STREQ(zero->values[0], "1");
    wsq_nv_free(zero);
}

TEST(Version, ConstantText)
{
    EXPECT_STREQ(wsq_version_string(), "wsq version 2.3.0.1 - January 8, 2023");
}
