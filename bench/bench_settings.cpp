// Load and save of the settings. A file holds at most 32766 bytes, far too few for 10,000
// users, so two things are measured: the text of 10,000 users through the pure build and parse
// functions (what loading and saving cost per user, without the limit), and the real
// LoadFile / SaveFile of the largest file that fits, on disk in a temporary folder.
#include "core/Cipher.h"
#include "core/Clock.h"
#include "core/CodePage.h"
#include "core/MessageSink.h"
#include "core/Random.h"
#include "core/Settings.h"
#include "core/SettingsFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {
constexpr int Runs = 21;

class SilentDialogs final : public MessageSink {
public:
    void Message(const QString& text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
};

// Median wall time of `work` in microseconds.
double Median(const std::function<void()>& work) {
    std::vector<double> times;
    for (int i = 0; i < Runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(double(timer.nsecsElapsed()) / 1000.0);
    }
    std::nth_element(times.begin(), times.begin() + Runs / 2, times.end());
    return times[Runs / 2];
}

UserRecord User(int i) {
    UserRecord u;
    u.ScreenName = QStringLiteral("Mailbox %1").arg(i);
    u.Username = QStringLiteral("user%1").arg(i, 5, 10, QLatin1Char('0'));
    u.MailServer = QStringLiteral("pop%1.mail.test").arg(i % 10);
    u.Password = QStringLiteral("pw-%1-secret").arg(i * 7919);
    u.NumMails = i * 3;
    return u;
}

void Fill(Settings& s, int count) {
    s.ResetToDefaults();
    s.GrowFor(count - 1);
    for (int i = 0; i < count; ++i)
        s.Users[i] = User(i);
    s.LastUser = qint16(count - 1);
}

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "bench_settings: %s failed\n", what);
        std::exit(1);
    }
}
} // namespace

int main() {
    std::printf("settings file, median of %d runs\n", Runs);

    // 10,000 users: the text alone.
    Settings big;
    Fill(big, 10000);
    const QString text = BuildSettingsText(big);
    Settings parsed;
    Check(ParseSettingsText(text, parsed) && parsed.LastUser == 9999, "parse of 10,000 users");
    const double build = Median([&] { BuildSettingsText(big); });
    const double parse = Median([&] {
        Settings s;
        ParseSettingsText(text, s);
    });
    const double toBytes = Median([&] { ToCodePage(text); });
    const QByteArray bytes = ToCodePage(text);
    const double fromBytes = Median([&] { FromCodePage(bytes); });
    std::printf("10,000 users, text of %lld bytes (not a valid file: over the %d-byte limit)\n",
                qlonglong(bytes.size()), MaxCipherLength);
    std::printf("  build text   %10.1f us\n", build);
    std::printf("  parse text   %10.1f us\n", parse);
    std::printf("  to bytes     %10.1f us\n", toBytes);
    std::printf("  from bytes   %10.1f us\n", fromBytes);

    // The largest file that fits, through the real files.
    int fit = 0;
    {
        Settings probe;
        Fill(probe, 1);
        while (ToCodePage(BuildSettingsText(probe)).size() <= MaxPlainLength) {
            fit = probe.LastUser + 1;
            probe.GrowFor(fit);
            probe.Users[fit] = User(fit);
            ++probe.LastUser;
        }
    }
    QTemporaryDir dir;
    Check(dir.isValid(), "temporary folder");
    Settings live;
    Fill(live, fit);
    SilentDialogs dialogs;
    SystemRandom random;
    SettingsFile file(live, dialogs, random, dir.filePath(QStringLiteral("Tarnwick.ini")));
    Check(file.SaveFile(), "save");
    const double save = Median([&] { file.SaveFile(); });
    const double load = Median([&] {
        live.ResetToDefaults();
        file.LoadFile(SystemClock());
    });
    Check(live.LastUser == fit - 1, "load of the largest file");
    const QByteArray plain = ToCodePage(BuildSettingsText(live));
    const double encode = Median([&] { EncodeText(plain, 77); });
    const QByteArray cipher = EncodeText(plain, 77);
    const double decode = Median([&] { DecodeText(cipher); });
    std::printf("largest file that fits: %d users, %lld bytes\n", fit, qlonglong(cipher.size()));
    std::printf("  SaveFile     %10.1f us (file and .bak, each through a temporary file)\n", save);
    std::printf("  LoadFile     %10.1f us\n", load);
    std::printf("  EncodeText   %10.1f us\n", encode);
    std::printf("  DecodeText   %10.1f us\n", decode);

    // Written in place, as in a read-only configuration folder.
    const double inPlace = Median([&] { OverwriteInPlace(file.Path(), cipher); });
    std::printf("  OverwriteInPlace %6.1f us (the settings file alone)\n", inPlace);

    // Start-up with a 200 MiB file at the settings path: kept aside without copying its bytes.
    {
        QTemporaryDir hugeDir;
        Check(hugeDir.isValid(), "temporary folder");
        const QString path = hugeDir.filePath(QStringLiteral("Tarnwick.ini"));
        QFile out(path);
        Check(out.open(QIODevice::WriteOnly), "200 MiB file");
        const QByteArray block(1 << 20, 'z');
        for (int i = 0; i < 200; ++i)
            Check(out.write(block) == block.size(), "200 MiB file");
        out.close();
        Settings settings;
        SettingsFile damaged(settings, dialogs, random, path);
        QElapsedTimer timer;
        timer.start();
        damaged.LoadFile(SystemClock());
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        qint64 total = 0;
        for (const QFileInfo& info : QDir(hugeDir.path()).entryInfoList(QDir::Files))
            total += info.size();
        std::printf("200 MiB file at the settings path: LoadFile %.2f ms, folder holds %lld "
                    "bytes afterwards\n",
                    ms, qlonglong(total));
    }
    return 0;
}
