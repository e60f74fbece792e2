#include "support/peers/Dovecot.h"

#include "support/peers/ChildProcess.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace {
// The system accounts the server runs under: the mailboxes belong to `mail` (the server will
// not serve them as root), its own processes to `dovecot` and `dovenull`.
constexpr auto MailUser = "mail";
constexpr auto InternalUser = "dovecot";
constexpr auto LoginUser = "dovenull";

QString DovecotProgram() {
    return QStandardPaths::findExecutable(
        QStringLiteral("dovecot"),
        {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin"), QStringLiteral("/sbin")});
}

bool HasService(const char* login) {
    for (const char* dir :
         {"/usr/lib/dovecot", "/usr/libexec/dovecot", "/usr/local/libexec/dovecot"})
        if (QFileInfo::exists(QString::fromLatin1(dir) + QLatin1Char('/') + QLatin1String(login)))
            return true;
    return false;
}
bool HasPop3Service() {
    return HasService("pop3-login");
}

quint16 FreeLoopbackPort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QString Tail(const QString& text, int lines = 15) {
    QStringList all = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return all.mid(qMax(0, int(all.size()) - lines)).join(QLatin1Char('\n'));
}

#ifdef Q_OS_UNIX
bool Own(const QString& path, const char* account, mode_t mode) {
    const passwd* pw = getpwnam(account);
    const QByteArray native = QFile::encodeName(path);
    return pw && chown(native.constData(), pw->pw_uid, pw->pw_gid) == 0 &&
           chmod(native.constData(), mode) == 0;
}

// The server's unprivileged processes must reach the temporary folder: it is made 0700, and a
// parent may lack the search bit for others too.
bool MakeTraversable(const QString& path) {
    if (chmod(QFile::encodeName(path).constData(), 0755) != 0)
        return false;
    QDir dir(path);
    while (dir.cdUp()) {
        const QByteArray native = QFile::encodeName(dir.absolutePath());
        struct stat st {};
        if (stat(native.constData(), &st) != 0)
            return false;
        if ((st.st_mode & S_IXOTH) == 0 &&
            chmod(native.constData(), (st.st_mode & 07777) | S_IXOTH) != 0)
            return false;
        if (dir.isRoot())
            break;
    }
    return true;
}
#endif
} // namespace

Dovecot::Dovecot() : dir_(QDir::tempPath() + QStringLiteral("/tarnwick-dovecot-XXXXXX")) {}

Dovecot::~Dovecot() {
    Stop();
}

QString Dovecot::Unavailable() {
#ifndef Q_OS_UNIX
    return QStringLiteral("The Dovecot tests need a Unix system.");
#else
    if (geteuid() != 0)
        return QStringLiteral("The Dovecot tests need root: the test server's mailboxes belong "
                              "to the system user 'mail'.");
    if (DovecotProgram().isEmpty() || !HasPop3Service())
        return QStringLiteral("Dovecot's POP3 server is not installed (Debian package "
                              "dovecot-pop3d).");
    if (!HasService("imap-login"))
        return QStringLiteral("Dovecot's IMAP server is not installed (Debian package "
                              "dovecot-imapd).");
    for (const char* account : {MailUser, InternalUser, LoginUser})
        if (!getpwnam(account))
            return QStringLiteral("The system user '%1' that Dovecot needs does not exist.")
                .arg(QLatin1String(account));
    return QString();
#endif
}

QString Dovecot::MaildirOf(const QString& user) const {
    return dir_.filePath(QStringLiteral("mail/") + user);
}

bool Dovecot::WriteConfig(QString* error) const {
    const QString root = dir_.path();
    // Everything in the folder, nothing from the system's configuration. The auth penalty
    // (growing delays after failed logins from one address) would slow every later test
    // down: without its listener the auth process goes without.
    const QString conf =
        QStringLiteral(R"(base_dir = %1/run
state_dir = %1/state
log_path = %1/dovecot.log
listen = %6
protocols = pop3
%7
disable_plaintext_auth = no
auth_mechanisms = plain
auth_failure_delay = 0
default_internal_user = %3
default_login_user = %4
mail_uid = %5
mail_gid = %5
first_valid_uid = 1
mail_location = maildir:%1/mail/%u
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u %1/users
}
userdb {
  driver = static
  args = uid=%5 gid=%5 home=%1/mail/%u
}
service pop3-login {
  inet_listener pop3 {
    address = %6
    port = %2
  }
  inet_listener pop3s {
    address = %6
    %8
  }
}
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
)")
            .arg(root)
            .arg(port_)
            .arg(QLatin1String(InternalUser), QLatin1String(LoginUser), QLatin1String(MailUser))
            .arg(address_)
            .arg(tlsCertificate_.isEmpty()
                     ? QStringLiteral("ssl = no")
                     : QStringLiteral("ssl = required\nssl_cert = <%1\nssl_key = <%2")
                           .arg(tlsCertificate_, tlsKey_))
            .arg(tlsPort_ == 0 ? QStringLiteral("port = 0")
                               : QStringLiteral("port = %1\n    ssl = yes").arg(tlsPort_));
    QString imap;
    if (imap_)
        // IDLE tells of changes within a second, whatever the file system's notifications.
        imap = QStringLiteral(R"(mailbox_idle_check_interval = 1 secs
service imap-login {
  inet_listener imap {
    address = %1
    port = %2
  }
  inet_listener imaps {
    address = %1
    port = %3
    ssl = yes
  }
}
)")
                   .arg(address_)
                   .arg(imapPort_)
                   .arg(imapsPort_);
    QString full = conf;
    if (!introspectionUrl_.isEmpty()) {
        // The token passdb answers only the bearer mechanisms; passwords go on as before.
        full.replace(QStringLiteral("auth_mechanisms = plain\n"),
                     QStringLiteral("auth_mechanisms = plain oauthbearer xoauth2\n"));
        full.replace(QStringLiteral("passdb {\n  driver = passwd-file"),
                     QStringLiteral("passdb {\n  driver = oauth2\n  mechanisms = xoauth2 "
                                    "oauthbearer\n  args = %1/oauth2.conf.ext\n}\n"
                                    "passdb {\n  driver = passwd-file")
                         .arg(root));
        QSaveFile oauth(dir_.filePath(QStringLiteral("oauth2.conf.ext")));
        if (!oauth.open(QIODevice::WriteOnly) ||
            oauth.write(QStringLiteral("introspection_mode = post\nintrospection_url = %1\n"
                                       "username_attribute = username\n"
                                       "active_attribute = active\nactive_value = true\n"
                                       "force_introspection = yes\n")
                            .arg(introspectionUrl_)
                            .toUtf8()) < 0 ||
            !oauth.commit() ||
            !Own(dir_.filePath(QStringLiteral("oauth2.conf.ext")), InternalUser, 0600)) {
            *error =
                QStringLiteral("Cannot write the OAuth 2.0 configuration: ") + oauth.errorString();
            return false;
        }
    }
    QSaveFile file(dir_.filePath(QStringLiteral("dovecot.conf")));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write((imap_ ? QString(full).replace(QStringLiteral("protocols = pop3\n"),
                                                  QStringLiteral("protocols = pop3 imap\n")) +
                                imap
                          : full)
                       .toUtf8()) < 0 ||
        !file.commit()) {
        *error = QStringLiteral("Cannot write the Dovecot configuration: ") + file.errorString();
        return false;
    }
    return true;
}

bool Dovecot::WriteUsers() {
#ifdef Q_OS_UNIX
    QByteArray content;
    for (auto it = users_.cbegin(); it != users_.cend(); ++it)
        content += it.key().toUtf8() + ":{PLAIN}" + it.value().toUtf8() + "::::::\n";
    const QString path = dir_.filePath(QStringLiteral("users"));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) < 0 || !file.commit())
        return false;
    if (!Own(path, InternalUser, 0600))
        return false;
    // The server notices a changed passwd-file by its modification time in whole seconds (or
    // its size): every version gets a time of its own.
    usersStamp_ = qMax(QDateTime::currentSecsSinceEpoch(), usersStamp_ + 1);
    const timeval times[2] = {{time_t(usersStamp_), 0}, {time_t(usersStamp_), 0}};
    return utimes(QFile::encodeName(path).constData(), times) == 0;
#else
    return false;
#endif
}

void Dovecot::WaitForReload() {
    // It looks at the file at most once a second.
    if (master_)
        QTest::qWait(1100);
}

bool Dovecot::MakeMaildir(const QString& user) {
#ifdef Q_OS_UNIX
    const QString maildir = MaildirOf(user);
    for (const char* sub : {"new", "cur", "tmp"})
        if (!QDir().mkpath(maildir + QLatin1Char('/') + QLatin1String(sub)) ||
            !Own(maildir + QLatin1Char('/') + QLatin1String(sub), MailUser, 0700))
            return false;
    return Own(maildir, MailUser, 0700);
#else
    Q_UNUSED(user);
    return false;
#endif
}

bool Dovecot::AddUser(const QString& name, const QString& password) {
    users_.insert(name, password);
    if (!MakeMaildir(name) || !WriteUsers())
        return false;
    WaitForReload();
    return true;
}

bool Dovecot::SetPassword(const QString& name, const QString& password) {
    if (!users_.contains(name))
        return false;
    users_.insert(name, password);
    if (!WriteUsers())
        return false;
    WaitForReload();
    return true;
}

bool Dovecot::DeliverMail(const QString& user, int count) {
    for (int i = 0; i < count; ++i) {
        const QByteArray n = QByteArray::number(delivered_ + 1);
        const QByteArray message = "From: sender@tarnwick.test\nTo: " + user.toUtf8() +
                                   "@tarnwick.test\nSubject: Test message " + n +
                                   "\nMessage-ID: <" + n +
                                   ".tarnwick@test>\n\nThis is test message " + n + ".\n";
        if (!DeliverMessage(user, message))
            return false;
    }
    return true;
}

bool Dovecot::DeliverMessage(const QString& user, const QByteArray& message) {
#ifdef Q_OS_UNIX
    const QString maildir = MaildirOf(user);
    const int n = ++delivered_;
    const QString name = QStringLiteral("%1.M%2P%3Q%4.tarnwick")
                             .arg(QDateTime::currentSecsSinceEpoch())
                             .arg(QDateTime::currentMSecsSinceEpoch() % 1000)
                             .arg(QCoreApplication::applicationPid())
                             .arg(n);
    // Written in tmp/ and moved into new/ whole, so the server never sees half a message.
    const QString temp = maildir + QStringLiteral("/tmp/") + name;
    QFile file(temp);
    if (!file.open(QIODevice::WriteOnly) || file.write(message) != message.size())
        return false;
    file.close();
    return Own(temp, MailUser, 0600) &&
           QFile::rename(temp, maildir + QStringLiteral("/new/") + name);
#else
    Q_UNUSED(user);
    Q_UNUSED(message);
    return false;
#endif
}

bool Dovecot::RenewUids(const QString& user) {
#ifdef Q_OS_UNIX
    // The UID list starts "3 V<uidvalidity> N<next uid> ...": a new one with another validity
    // and no index makes the server number the messages afresh.
    const QDir maildir(MaildirOf(user));
    const QString list = maildir.filePath(QStringLiteral("dovecot-uidlist"));
    QFile current(list);
    const QByteArray head =
        current.open(QIODevice::ReadOnly) ? current.readLine().trimmed() : QByteArray();
    current.close();
    const QByteArray old = head.split(' ').value(1).mid(1);
    for (const QString& name : maildir.entryList({QStringLiteral("dovecot.index*")}, QDir::Files))
        if (!QFile::remove(maildir.filePath(name)))
            return false;
    QFile file(list);
    const QByteArray fresh = "3 V" + QByteArray::number(old.toULongLong() + 1000) + " N1\n";
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(fresh) != fresh.size())
        return false;
    file.close();
    return Own(list, MailUser, 0600);
#else
    Q_UNUSED(user);
    return false;
#endif
}

bool Dovecot::MarkSeen(const QString& user, int count) {
    // Seen is the flag S after ":2," in the name of a message in cur/ (the maildir rule).
    const QString maildir = MaildirOf(user);
    for (const char* sub : {"new", "cur"}) {
        const QDir dir(maildir + QLatin1Char('/') + QLatin1String(sub));
        for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
            if (count == 0)
                return true;
            const QString base = name.section(QLatin1Char(':'), 0, 0);
            const QString flags = name.section(QStringLiteral(":2,"), 1);
            if (flags.contains(QLatin1Char('S')))
                continue;
            if (!QFile::rename(dir.filePath(name), maildir + QStringLiteral("/cur/") + base +
                                                       QStringLiteral(":2,") + flags +
                                                       QLatin1Char('S')))
                return false;
            --count;
        }
    }
    return count == 0;
}

bool Dovecot::RemoveMail(const QString& user, int count) {
    // The server moves what it has seen from new/ to cur/.
    QStringList files;
    for (const char* sub : {"new", "cur"}) {
        const QDir dir(MaildirOf(user) + QLatin1Char('/') + QLatin1String(sub));
        for (const QString& name : dir.entryList(QDir::Files, QDir::Name))
            files << dir.filePath(name);
    }
    if (files.size() < count)
        return false;
    for (int i = 0; i < count; ++i)
        if (!QFile::remove(files.at(i)))
            return false;
    return true;
}

int Dovecot::MailCount(const QString& user) const {
    int count = 0;
    for (const char* sub : {"new", "cur"})
        count += int(QDir(MaildirOf(user) + QLatin1Char('/') + QLatin1String(sub))
                         .entryList(QDir::Files)
                         .size());
    return count;
}

int Dovecot::UnseenCount(const QString& user) const {
    int count = 0;
    for (const char* sub : {"new", "cur"})
        for (const QString& name :
             QDir(MaildirOf(user) + QLatin1Char('/') + QLatin1String(sub)).entryList(QDir::Files))
            count += name.section(QStringLiteral(":2,"), 1).contains(QLatin1Char('S')) ? 0 : 1;
    return count;
}

QString Dovecot::Log() const {
    QFile file(dir_.filePath(QStringLiteral("dovecot.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool Dovecot::Start(QString* error) {
    const QString unavailable = Unavailable();
    if (!unavailable.isEmpty()) {
        *error = unavailable;
        return false;
    }
    if (master_) {
        *error = QStringLiteral("The Dovecot test server is already running.");
        return false;
    }
#ifdef Q_OS_UNIX
    if (!dir_.isValid() || !MakeTraversable(dir_.path()) ||
        !QDir().mkpath(dir_.filePath(QStringLiteral("mail"))) || !WriteUsers()) {
        *error = QStringLiteral("Cannot prepare the Dovecot test folder %1").arg(dir_.path());
        return false;
    }
#endif
    // The port is free when chosen but may be taken before the server binds it: try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = fixedPort_ != 0 ? fixedPort_ : FreeLoopbackPort();
        // Ports of their own: one just handed out may come round again.
        QList<quint16> taken{port_};
        const auto another = [&taken] {
            quint16 port = 0;
            for (int i = 0; i < 10 && (port == 0 || taken.contains(port)); ++i)
                port = FreeLoopbackPort();
            taken << port;
            return port;
        };
        tlsPort_ = tlsCertificate_.isEmpty() ? 0 : another();
        imapPort_ = imap_ ? another() : 0;
        imapsPort_ = imap_ && !tlsCertificate_.isEmpty() ? another() : 0;
        bool portTaken = false;
        if (port_ != 0 && WriteConfig(error) && Launch(error, &portTaken))
            return true;
        Stop();
        if (!portTaken || fixedPort_ != 0)
            return false;
    }
    return false;
}

bool Dovecot::Restart(QString* error) {
    Stop();
    bool portTaken = false;
    return Launch(error, &portTaken);
}

bool Dovecot::Launch(QString* error, bool* portTaken) {
    master_ = std::make_unique<QProcess>();
    master_->setProcessChannelMode(QProcess::MergedChannels);
    // In the foreground (-F) and in a group of its own, which Stop() ends as a whole.
    StartInOwnGroup(*master_, DovecotProgram(),
                    {QStringLiteral("-F"), QStringLiteral("-c"),
                     dir_.filePath(QStringLiteral("dovecot.conf"))});
    if (!master_->waitForStarted(10000)) {
        *error = QStringLiteral("Cannot start Dovecot: ") + master_->errorString();
        return false;
    }
    // Ready when it greets on its port.
    const QDeadlineTimer deadline(PeerStartMs);
    while (!deadline.hasExpired()) {
        if (master_->state() == QProcess::NotRunning) {
            const QString output = QString::fromUtf8(master_->readAll()) + Log();
            *portTaken = output.contains(QLatin1String("Address already in use"));
            *error = QStringLiteral("Dovecot ended at start-up:\n") + Tail(output);
            return false;
        }
        QTcpSocket probe;
        probe.connectToHost(QHostAddress(address_), port_);
        if (probe.waitForConnected(500) && probe.waitForReadyRead(2000) &&
            probe.readAll().startsWith("+OK"))
            return true;
        probe.abort();
        QThread::msleep(50);
    }
    *error = QStringLiteral("Dovecot did not greet on port %1 within %2 s:\n%3")
                 .arg(port_)
                 .arg(PeerStartMs / 1000)
                 .arg(Tail(QString::fromUtf8(master_->readAll()) + Log()));
    return false;
}

void Dovecot::Stop() {
    if (!master_)
        return;
    // The master takes its children down with it; the group's kill gets any it left.
    StopGroup(*master_, 10000);
    master_.reset();
}
