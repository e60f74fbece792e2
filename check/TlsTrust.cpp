#include "TlsTrust.h"

#include "TlsMessages.h"

#include <QFileInfo>
#include <QSslSocket>

namespace {
// Far more servers than anyone checks; bounds what a changing list of servers leaves behind.
constexpr qsizetype MaxSessions = 256;
} // namespace

void TlsTrust::SetCaFile(const QString& path) {
    if (path == caFile_)
        return;
    caFile_ = path;
    built_ = false;
}

TlsTrust::FileState TlsTrust::Stat() const {
    FileState state;
    if (caFile_.isEmpty())
        return state;
    const QFileInfo info(caFile_); // fresh: QFileInfo caches what it read
    state.exists = info.exists() || info.isSymLink();
    state.isFile = info.isFile();
    state.size = info.size();
    state.modified = info.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch();
    state.changed = info.fileTime(QFileDevice::FileMetadataChangeTime).toMSecsSinceEpoch();
    return state;
}

void TlsTrust::Rebuild(const FileState& state) {
    built_ = true;
    state_ = state;
    sessions_.clear(); // verified against what the file said before
    base_ = QSslConfiguration::defaultConfiguration();
    base_.setProtocol(QSsl::TlsV1_2OrLater);
    base_.setPeerVerifyMode(QSslSocket::VerifyPeer);
    // Qt keeps a session for the socket's next handshake only with this off; which session
    // is offered to which server is decided here, per server.
    base_.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    const CaFileRead read = ReadCaFile(caFile_);
    caProblem_ = read.problem;
    // Added by path, the file's certificates join the system's store, which stays looked up
    // on demand; a list of certificates would replace it.
    if (!read.certificates.isEmpty())
        base_.addCaCertificates(caFile_);
}

QSslConfiguration TlsTrust::For(const QString& host, quint16 port) {
    const FileState state = Stat();
    if (!built_ || !(state == state_))
        Rebuild(state);
    QSslConfiguration configuration = base_;
    const auto kept = sessions_.constFind(Key(host, port));
    if (kept != sessions_.cend()) {
        if (kept->certificateExpiry > QDateTime::currentDateTimeUtc())
            configuration.setSessionTicket(kept->ticket);
        else
            sessions_.erase(kept);
    }
    return configuration;
}

void TlsTrust::Keep(const QString& host, quint16 port, const QSslSocket& socket) {
    const QByteArray ticket = socket.sslConfiguration().sessionTicket();
    if (ticket.isEmpty() || socket.peerCertificate().isNull())
        return;
    if (sessions_.size() >= MaxSessions && !sessions_.contains(Key(host, port)))
        sessions_.clear();
    sessions_.insert(Key(host, port), {ticket, socket.peerCertificate().expiryDate()});
}

void TlsTrust::Forget(const QString& host, quint16 port) {
    sessions_.remove(Key(host, port));
}

QString TlsTrust::Key(const QString& host, quint16 port) {
    return host.toLower() + QLatin1Char(' ') + QString::number(port);
}
