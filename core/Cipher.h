#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <optional>

class Random;

// The settings file's reversible cipher. It works on the bytes of the code page (the caller
// converts with ToCodePage / FromCodePage). The cipher text is the key byte followed by one
// byte per plain byte; each cipher byte depends on its plain byte, the plain byte before it and
// the key. It has no secret: it only keeps the passwords from being read at a glance.

// Lengths are 16-bit signed in the file format.
constexpr int MaxPlainLength = 32765;
constexpr int MaxCipherLength = MaxPlainLength + 1;

// The key for one encoding: floor(r * 256) of the next value r of `random`, kept within 0..255
// whatever the generator returns.
quint8 DrawKey(Random& random);

// The cipher text of `plain` with key `key`: plain.size() + 1 bytes. An empty `plain` or one
// longer than MaxPlainLength has no cipher text: the result is then empty, which no valid
// cipher text is.
QByteArray EncodeText(const QByteArray& plain, quint8 key);

// The plain text of `cipher`. Nothing for a cipher text shorter than 2 bytes or longer than
// MaxCipherLength (no encoding produces one); every other byte string deciphers.
std::optional<QByteArray> DecodeText(const QByteArray& cipher);
