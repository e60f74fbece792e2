#include "Cipher.h"

#include "Random.h"

#include <cmath>

quint8 DrawKey(Random& random) {
    const float scaled = std::floor(random.Next() * 256.0f);
    if (!(scaled > 0.0f)) // also NaN
        return 0;
    if (scaled >= 255.0f)
        return 255;
    return quint8(scaled);
}

QByteArray EncodeText(const QByteArray& plain, quint8 key) {
    if (plain.isEmpty() || plain.size() > MaxPlainLength)
        return {};
    QByteArray cipher(plain.size() + 1, Qt::Uninitialized);
    cipher[0] = char(key);
    unsigned previous = 0; // the first byte has no predecessor
    for (qsizetype i = 0; i < plain.size(); ++i) {
        const unsigned p = static_cast<unsigned char>(plain[i]);
        cipher[i + 1] = char((p + previous + key) % 256);
        previous = p;
    }
    return cipher;
}

std::optional<QByteArray> DecodeText(const QByteArray& cipher) {
    if (cipher.size() < 2 || cipher.size() > MaxCipherLength)
        return std::nullopt;
    const unsigned key = static_cast<unsigned char>(cipher[0]);
    QByteArray plain(cipher.size() - 1, Qt::Uninitialized);
    unsigned previous = 0;
    for (qsizetype i = 1; i < cipher.size(); ++i) {
        const unsigned c = static_cast<unsigned char>(cipher[i]);
        // c + 512 keeps the operand positive: previous and key are at most 255 each.
        const unsigned p = (c + 512 - previous - key) % 256;
        plain[i - 1] = char(p);
        previous = p;
    }
    return plain;
}
