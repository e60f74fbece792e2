// libFuzzer target: arbitrary bytes as a message header from a server. Besides crashes, hangs
// and sanitizer reports it checks what an alert relies on: sender and subject are bounded and
// hold no raw control character.
#include "check/HeaderText.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken invariant: %s\n", what);
        std::abort();
    }
}

bool Shown(const QString& text) {
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t') || (u >= 0x7F && u <= 0x9F))
            return false;
    }
    return text.size() <= HeaderFieldLimit;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const MessageSummary summary = SummaryFromHeader(QStringLiteral("1"), bytes);
    Require(Shown(summary.from), "sender bounded and shown");
    Require(Shown(summary.subject), "subject bounded and shown");
    Require(Shown(DecodeHeaderValue(bytes)), "decoded value bounded and shown");
    return 0;
}
