// versionreply.h - reading the update service's reply: "a|b|c|d[|...]".
#pragma once

#include <QByteArray>
#include <QList>
#include <cstdint>

namespace vellumo::update {

// Splits the text at '|'. The text ends at the first NUL byte; empty fields
// vanish (runs of separators count as one, leading and trailing ones are
// ignored). The fields are returned exactly as received.
QList<QByteArray> splitReplyFields(const QByteArray &reply);

// Decimal value of a field the way the C library's atoi reads it: leading
// white space, an optional sign, then digits up to the first non-digit;
// 0 when there are none; clamped to the int range.
int fieldValue(const QByteArray &field);

// The newest version as two words from four fields, keeping only the low
// 16 bits of each part.
struct VersionWords {
    std::uint32_t ms = 0;
    std::uint32_t ls = 0;
};
VersionWords versionFromFields(int a, int b, int c, int d);

// Unsigned comparison, first word first.
bool isNewer(VersionWords candidate, VersionWords running);

} // namespace vellumo::update
