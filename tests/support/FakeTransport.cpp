#include "FakeTransport.h"

void FakeTransport::Connect(const QString& host, quint16 port) {
    open = true;
    log << QStringLiteral("connect %1:%2").arg(host).arg(port);
}

void FakeTransport::Send(const QByteArray& bytes) {
    sent << bytes;
    log << QStringLiteral("send ") + QString::fromLatin1(bytes).trimmed();
}

void FakeTransport::Close() {
    if (open)
        log << QStringLiteral("close");
    open = false;
}

void FakeTransport::Reply(const QByteArray& line) {
    emit LineReceived(line.endsWith('\n') ? line : line + "\r\n");
    emit ArrivalEnded();
}

void FakeTransport::ReplyInOneArrival(const QList<QByteArray>& lines) {
    for (const QByteArray& line : lines)
        emit LineReceived(line);
    emit ArrivalEnded();
}
