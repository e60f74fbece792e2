#include "support/doubles/FakeTransport.h"

void FakeTransport::Connect(const QString& host, quint16 port) {
    open = true;
    encrypted = false;
    log << QStringLiteral("connect %1:%2").arg(host).arg(port);
}

void FakeTransport::ConnectSecure(const QString& host, quint16 port, Security security) {
    open = true;
    encrypted = false;
    log << QStringLiteral("connect %1 %2:%3")
               .arg(security == Security::Tls ? "pop3s" : "pop3+starttls", host)
               .arg(port);
}

void FakeTransport::StartTls() {
    log << QStringLiteral("starttls");
}

void FakeTransport::Send(const QByteArray& bytes) {
    sent << bytes;
    log << QStringLiteral("send ") + QString::fromLatin1(bytes).trimmed();
}

void FakeTransport::Close() {
    if (open)
        log << QStringLiteral("close");
    open = false;
    encrypted = false;
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
