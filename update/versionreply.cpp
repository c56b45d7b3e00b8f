#include "versionreply.h"

#include <climits>

namespace vellumo::update {

QList<QByteArray> splitReplyFields(const QByteArray &reply)
{
    const qsizetype nul = reply.indexOf('\0');
    const QByteArray text = nul < 0 ? reply : reply.left(nul);
    QList<QByteArray> fields;
    for (const QByteArray &f : text.split('|'))
        if (!f.isEmpty())
            fields.append(f);
    return fields;
}

int fieldValue(const QByteArray &field)
{
    qsizetype i = 0;
    const qsizetype n = field.size();
    auto isSpace = [](char ch) {
        return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
    };
    while (i < n && isSpace(field[i]))
        ++i;
    bool negative = false;
    if (i < n && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < n && field[i] >= '0' && field[i] <= '9'; ++i) {
        value = value * 10 + (field[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1; // saturate; clamped below
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

VersionWords versionFromFields(int a, int b, int c, int d)
{
    auto low16 = [](int v) { return static_cast<std::uint32_t>(v) & 0xFFFFu; };
    return {low16(a) << 16 | low16(b), low16(c) << 16 | low16(d)};
}

bool isNewer(VersionWords candidate, VersionWords running)
{
    return candidate.ms > running.ms || (candidate.ms == running.ms && candidate.ls > running.ls);
}

} // namespace vellumo::update
