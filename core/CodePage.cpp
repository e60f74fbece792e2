#include "CodePage.h"

#include <array>

namespace {
// 0x80..0x9F of Windows-1252; 0 marks the five unassigned codes, which map to the C1
// controls of the same value, as Latin-1 does.
constexpr std::array<char16_t, 32> High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char16_t ToUnicode(unsigned char byte) {
    if (byte >= 0x80 && byte <= 0x9F && High[byte - 0x80] != 0)
        return High[byte - 0x80];
    return char16_t(byte);
}

// The byte for `c`, or -1 when the code page has none.
int ToByte(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return c;
    for (int i = 0; i < int(High.size()); ++i) {
        const char16_t mapped = High[i] != 0 ? High[i] : char16_t(0x80 + i);
        if (mapped == c)
            return 0x80 + i;
    }
    return -1;
}
} // namespace

QByteArray ToCodePage(const QString& text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (QChar c : text) {
        const int b = ToByte(c.unicode());
        bytes.append(b < 0 ? '?' : char(b));
    }
    return bytes;
}

QString FromCodePage(const QByteArray& bytes) {
    QString text;
    text.reserve(bytes.size());
    for (char b : bytes)
        text.append(QChar(ToUnicode(static_cast<unsigned char>(b))));
    return text;
}

bool FitsCodePage(const QString& text) {
    for (QChar c : text) {
        if (ToByte(c.unicode()) < 0)
            return false;
    }
    return true;
}
