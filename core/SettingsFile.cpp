#include "SettingsFile.h"

#include "Cipher.h"
#include "CodePage.h"
#include "Dialogs.h"
#include "Numeric.h"
#include "Settings.h"
#include "Trace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <utility>
#include <vector>

namespace {
const QString CrLf = QStringLiteral("\r\n");
const QString LoadFailed = QStringLiteral("Load failed!");
constexpr QFileDevice::Permissions OwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
// Far more damaged copies than anyone keeps; only bounds the search for a free name.
constexpr int MaxDamagedCopies = 10000;

QString FirstRunMessage() {
    return QStringLiteral("This appears to be the first time you have used this program!") + CrLf +
           QStringLiteral("You can access the setup screen by right-clicking") + CrLf +
           QStringLiteral("on the icon in the system tray. Have fun!");
}

QString Shown(const QString& path) {
    return QDir::toNativeSeparators(path);
}

std::optional<qint16> ReadInt16(QStringView line) {
    const auto number = ParseNumber(line.toString());
    return number ? FloorToInt16(*number) : std::nullopt;
}

std::optional<qint32> ReadInt32(QStringView line) {
    const auto number = ParseNumber(line.toString());
    return number ? RoundToInt32(*number) : std::nullopt;
}

enum class ReadOutcome { Read, Missing, Failed };

// Reads at most `limit` bytes of `path`: enough to tell that a file is too long without
// reading all of a huge one. Only regular files are read (a FIFO or device could block or
// never end).
ReadOutcome ReadHead(const QString& path, qint64 limit, QByteArray& bytes, QString& error) {
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return ReadOutcome::Missing;
    if (!info.isFile()) {
        error = QStringLiteral("not a regular file");
        return ReadOutcome::Failed;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return ReadOutcome::Failed;
    }
    bytes = file.read(limit);
    if (file.error() != QFileDevice::NoError) {
        error = file.errorString();
        return ReadOutcome::Failed;
    }
    return ReadOutcome::Read;
}

// Writes `bytes` as the whole new content of `target`, owner-only. The bytes go to a temporary
// file in the same folder that replaces `target` only once it is complete, so a full disk, a
// read-only folder or a killed process leaves the previous file as it was. The error text, or
// nothing on success.
std::optional<QString> WriteWhole(const QString& target, const QByteArray& bytes) {
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    // The explicit flush matters: QSaveFile buffers small writes, and the commit of Qt 6.4
    // does not notice when the final flush fails (a full disk), so it would put an empty or
    // cut-off file in place of the old one.
    if (!file.setPermissions(OwnerOnly) || file.write(bytes) != bytes.size() || !file.flush()) {
        const QString error = file.errorString();
        file.cancelWriting();
        return error;
    }
    if (!file.commit())
        return file.errorString();
    return std::nullopt;
}

bool Taken(const QString& name) {
    const QFileInfo info(name);
    return info.exists() || info.isSymLink();
}

// Copies `source` byte for byte to the first free name among `source`.damaged,
// `source`.damaged.1, ... No existing file is ever replaced: the copy is created exclusively.
std::optional<QString> KeepCopy(const QString& source) {
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return in.errorString();
    for (int n = 0; n < MaxDamagedCopies; ++n) {
        QString name = source + QStringLiteral(".damaged");
        if (n > 0)
            name += QLatin1Char('.') + QString::number(n);
        if (Taken(name))
            continue;
        QFile out(name);
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly, OwnerOnly)) {
            if (Taken(name)) // appeared in between
                continue;
            return out.errorString();
        }
        while (!in.atEnd()) {
            const QByteArray chunk = in.read(64 * 1024);
            if (in.error() != QFileDevice::NoError || out.write(chunk) != chunk.size()) {
                const QString error =
                    in.error() != QFileDevice::NoError ? in.errorString() : out.errorString();
                out.remove();
                return error;
            }
        }
        if (!out.flush()) {
            const QString error = out.errorString();
            out.remove();
            return error;
        }
        out.close();
        return std::nullopt;
    }
    return QStringLiteral("no free name for the copy");
}

// The first user whose texts hold a CR LF, which would split its line and shift every later one.
int FirstUserWithLineBreak(const Settings& settings) {
    const int last = qMin<int>(settings.LastUser, settings.UpperBound());
    for (int i = 0; i <= last; ++i) {
        const UserRecord& u = settings.Users[i];
        for (const QString* text : {&u.Password, &u.ScreenName, &u.MailServer, &u.Username}) {
            if (text->contains(CrLf))
                return i;
        }
    }
    return -1;
}
} // namespace

QStringView LineCursor::PopLine() {
    if (pos_ >= text_.size())
        return {};
    const QStringView rest = text_.mid(pos_);
    const qsizetype end = rest.indexOf(CrLf);
    if (end < 0) {
        pos_ = text_.size();
        return rest;
    }
    pos_ += end + 2;
    return rest.left(end);
}

QString BuildSettingsText(const Settings& settings) {
    const int last = qBound(-1, int(settings.LastUser), settings.UpperBound());
    QString text;
    text.reserve(32 + (last + 1) * 64);
    const auto line = [&text](const QString& value) {
        text += value;
        text += CrLf;
    };
    line(QString::number(last));
    line(QString::number(settings.CheckInterval));
    line(QString::number(settings.ShowInterval));
    line(settings.ShowErrors ? QStringLiteral("True") : QStringLiteral("False"));
    for (int i = 0; i <= last; ++i) {
        const UserRecord& u = settings.Users[i];
        line(QString::number(u.NumMails));
        line(u.Password);
        line(u.ScreenName);
        line(u.MailServer);
        line(u.Username);
    }
    return text;
}

bool ParseSettingsText(QStringView text, Settings& settings) {
    LineCursor lines(text);
    const auto lastUser = ReadInt16(lines.PopLine());
    if (!lastUser || *lastUser < -1)
        return false;
    const auto checkInterval = ReadInt16(lines.PopLine());
    if (!checkInterval)
        return false;
    const auto showInterval = ReadInt16(lines.PopLine());
    if (!showInterval)
        return false;
    const QString flag = lines.PopLine().toString().toLower();
    if (flag != QLatin1String("true") && flag != QLatin1String("false"))
        return false;

    // Read into a list of their own first: a damage further on must leave the table untouched.
    std::vector<UserRecord> users;
    // Every user but the last takes at least three characters ("0", CR, LF).
    users.reserve(size_t(qMin<qsizetype>(*lastUser + 1, text.size() / 3 + 1)));
    for (int i = 0; i <= *lastUser; ++i) {
        const auto numMails = ReadInt32(lines.PopLine());
        if (!numMails)
            return false;
        UserRecord u;
        u.NumMails = *numMails;
        u.Password = lines.PopLine().toString();
        u.ScreenName = lines.PopLine().toString();
        u.MailServer = lines.PopLine().toString();
        u.Username = lines.PopLine().toString();
        u.HideSession = false;
        u.NewNumMails = -1;
        users.push_back(std::move(u));
    }

    settings.GrowFor(*lastUser);
    for (int i = 0; i <= *lastUser; ++i)
        settings.Users[i] = std::move(users[size_t(i)]);
    settings.LastUser = *lastUser;
    settings.CheckInterval = *checkInterval;
    settings.ShowInterval = *showInterval;
    settings.ShowErrors = flag == QLatin1String("true");
    settings.AssignIds();
    return true;
}

LoadResult LoadSettingsBytes(const QByteArray& fileBytes, Settings& settings) {
    if (fileBytes.isEmpty())
        return LoadResult::FirstRun;
    const auto plain = DecodeText(fileBytes); // nothing for 1 byte or too many
    if (!plain)
        return LoadResult::Damaged;
    return ParseSettingsText(FromCodePage(*plain), settings) ? LoadResult::Loaded
                                                             : LoadResult::Damaged;
}

SettingsFile::SettingsFile(Settings& settings, Dialogs& dialogs, Random& random, QString path)
    : settings_(settings), dialogs_(dialogs), random_(random), path_(std::move(path)) {}

bool SettingsFile::LoadFile() {
    QByteArray bytes;
    QString error;
    LoadResult result = LoadResult::Unreadable;
    // One byte more than a settings file may hold tells a file that is too long.
    switch (ReadHead(path_, MaxCipherLength + 1, bytes, error)) {
    case ReadOutcome::Missing:
        // Nothing is created: the first save does that.
        result = LoadResult::FirstRun;
        break;
    case ReadOutcome::Failed:
        Trace(QStringLiteral("Cannot read %1: %2").arg(Shown(path_), error));
        result = LoadResult::Unreadable;
        break;
    case ReadOutcome::Read:
        result = LoadSettingsBytes(bytes, settings_);
        break;
    }

    switch (result) {
    case LoadResult::Loaded:
        return true;
    case LoadResult::FirstRun:
        // The defaults are in force before the message shows: an exit while it is open (a
        // signal) saves them, not whatever was read so far.
        settings_.ResetToDefaults();
        dialogs_.Message(FirstRunMessage());
        return true;
    case LoadResult::Damaged: {
        // The next save replaces the file: keep what it held for whoever wants to look.
        const QStringList failures = KeepDamagedCopies();
        settings_.ResetToDefaults();
        dialogs_.Message(failures.isEmpty() ? LoadFailed : LoadFailed + CrLf + failures.join(CrLf));
        return false;
    }
    case LoadResult::Unreadable:
        // Nothing to copy: what cannot be read is still where it was.
        settings_.ResetToDefaults();
        dialogs_.Message(LoadFailed);
        return false;
    }
    return false;
}

QStringList SettingsFile::KeepDamagedCopies() const {
    QStringList failures;
    for (const QString& source : {path_, BackupPath()}) {
        if (source != path_ && !QFileInfo(source).isFile())
            continue; // no backup to keep
        if (const auto error = KeepCopy(source))
            failures
                << QStringLiteral("Could not keep a copy of %1: %2").arg(Shown(source), *error);
    }
    return failures;
}

void SettingsFile::Tell(const QString& text, Report report) const {
    if (report == Report::User)
        dialogs_.Message(text);
    else
        Trace(text);
}

bool SettingsFile::SaveFile(Report report) {
    const auto fail = [this, report](const QString& reason) {
        Tell(QStringLiteral("Could not save the settings to %1: %2").arg(Shown(path_), reason),
             report);
        return false;
    };

    if (const int bad = FirstUserWithLineBreak(settings_); bad >= 0) {
        QString name = settings_.Users[bad].ScreenName;
        name.replace(CrLf, QStringLiteral(" "));
        return fail(QStringLiteral("the texts of user \"%1\" hold a line break, which the "
                                   "settings file cannot store")
                        .arg(name));
    }
    const QByteArray plain = ToCodePage(BuildSettingsText(settings_));
    if (plain.size() > MaxPlainLength) {
        return fail(QStringLiteral("the settings take %1 bytes, more than the %2 that the "
                                   "settings file can hold")
                        .arg(plain.size())
                        .arg(MaxPlainLength));
    }
    const QByteArray cipher = EncodeText(plain, DrawKey(random_));

    // The configuration folder may not exist yet on a fresh account. If it cannot be made,
    // the write below says why.
    QDir().mkpath(QFileInfo(path_).absolutePath());
    if (const auto error = WriteWhole(path_, cipher))
        return fail(*error);
    BackupFile(cipher, report);
    return true;
}

bool SettingsFile::BackupFile(const QByteArray& bytes, Report report) {
    // The same bytes as the settings file just written, written the same careful way. The
    // settings themselves are saved by now, so a failure here is reported but does not fail
    // the save.
    if (const auto error = WriteWhole(BackupPath(), bytes)) {
        Tell(QStringLiteral("Could not save the backup copy %1: %2")
                 .arg(Shown(BackupPath()), *error),
             report);
        return false;
    }
    return true;
}
