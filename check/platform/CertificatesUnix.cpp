#include "check/TlsTrust.h"

#include <QDir>
#include <QFileInfo>
#include <openssl/x509.h>

void AddSystemCertificates(X509_STORE* store) {
    // The folder of hashed links that the system keeps (or the one the environment names):
    // OpenSSL reads a certificate from it only when a chain needs it.
    const QByteArray folder = qgetenv(X509_get_default_cert_dir_env());
    const QByteArray dir = folder.isEmpty() ? QByteArray(X509_get_default_cert_dir()) : folder;
    X509_STORE_load_path(store, dir.constData());
    const bool hashed = !QDir(QString::fromLocal8Bit(dir))
                             .entryList({QStringLiteral("*.0")}, QDir::Files)
                             .isEmpty();
    // A bundle file is read whole: the one the environment names, or the system's where it
    // has no folder of links. The system's bundle beside its folder holds the same.
    const QString bundle =
        QFileInfo(QString::fromLocal8Bit(X509_get_default_cert_file())).canonicalFilePath();
    QString file = QString::fromLocal8Bit(qgetenv(X509_get_default_cert_file_env()));
    if (file.isEmpty() && !hashed)
        file = bundle;
    if (hashed && !file.isEmpty() && QFileInfo(file).canonicalFilePath() == bundle)
        file.clear();
    if (!file.isEmpty() && QFileInfo::exists(file))
        X509_STORE_load_file(store, QFile::encodeName(file).constData());
}
