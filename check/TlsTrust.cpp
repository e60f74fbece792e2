#include "TlsTrust.h"

#include "TlsMessages.h"

#include <QFileInfo>
#include <QSslSocket>

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
    base_ = QSslConfiguration::defaultConfiguration();
    base_.setProtocol(QSsl::TlsV1_2OrLater);
    base_.setPeerVerifyMode(QSslSocket::VerifyPeer);
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
    Q_UNUSED(host);
    Q_UNUSED(port);
    return base_;
}
