#pragma once

#include <QByteArray>
#include <QList>

// Cuts received bytes into reply lines. A line ends at LF (so CR LF and a lone LF both end
// one) and is handed on with its line end. Bytes without a line end wait for the rest, up
// to the limit (`Limit` unless set): a server that sends more than that without one is
// broken, and the buffer does not grow past it.
class LineFramer final {
public:
    static constexpr int Limit = 4096;

    void SetLimit(qsizetype limit) { limit_ = limit; }
    qsizetype CurrentLimit() const { return limit_; }

    // Appends `bytes` and returns the lines now complete. Returns false (and keeps nothing)
    // once the pending part has passed `Limit`; lines completed before that are in `lines`.
    bool Feed(const QByteArray& bytes, QList<QByteArray>& lines);
    void Reset() { pending_.clear(); }
    qsizetype Pending() const { return pending_.size(); }
    const QByteArray& PendingBytes() const { return pending_; }

private:
    QByteArray pending_;
    qsizetype limit_ = Limit;
};
