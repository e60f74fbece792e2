#pragma once

// What a whole process costs over a window: CPU time and wake-ups (context switches) of all
// its threads, those that end within the window too, and of the children it waited for.
// `perf stat` counts them where the kernel lets it; else the process's own totals in /proc,
// which keep the CPU time of ended threads but not their context switches.
#include <QDir>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <memory>
#include <unistd.h>
#include <vector>

struct Usage {
    double cpuMs = 0;
    double wakeUps = 0;
    double statCpuMs = 0; // /proc/PID/stat over the same window, in clock ticks, as a check
};

// /proc/PID/stat utime+stime+cutime+cstime (ended threads included), in ms.
inline double StatCpuMs(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    // The command name may hold spaces: the fields start after its closing parenthesis.
    const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
    double ticks = 0;
    for (const int i : {11, 12, 13, 14})
        ticks += f.value(i).toDouble();
    return ticks * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

// A field of a /proc status-like file ("VmRSS:", "Private_Dirty:"), its first number.
inline long ProcField(const QString& path, const QByteArray& name) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& l : file.readAll().split('\n'))
        if (l.startsWith(name))
            return l.mid(name.size()).simplified().split(' ').value(0).toLong();
    return 0;
}

// Voluntary and involuntary context switches of the threads alive now.
inline double LiveSwitches(qint64 pid) {
    double total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString status = tasks.filePath(task + QStringLiteral("/status"));
        total += double(ProcField(status, "voluntary_ctxt_switches:") +
                        ProcField(status, "nonvoluntary_ctxt_switches:"));
    }
    return total;
}

struct Memory {
    double rssMb = 0;
    // Pages no other process maps. Clean ones (a library's code) count only while nothing
    // else on the machine maps that library; dirty ones are the process's own whatever runs.
    double ussMb = 0;
    double dirtyMb = 0;
};

inline Memory MemoryOf(qint64 pid) {
    const QString rollup = QStringLiteral("/proc/%1/smaps_rollup").arg(pid);
    const double dirty = ProcField(rollup, "Private_Dirty:") / 1024.0;
    return {ProcField(QStringLiteral("/proc/%1/status").arg(pid), "VmRSS:") / 1024.0,
            dirty + ProcField(rollup, "Private_Clean:") / 1024.0, dirty};
}

class WholeProcessCounter final {
public:
    // BENCH_COUNTER=proc takes /proc even where perf works, to compare the two.
    WholeProcessCounter() {
        if (qEnvironmentVariable("BENCH_COUNTER") == QLatin1String("proc"))
            return;
        QProcess probe;
        probe.start(QStringLiteral("perf"), {"stat", "-x", ",", "-e", Events, "--", "true"});
        perf_ = probe.waitForFinished(10000) && probe.exitCode() == 0 &&
                probe.readAllStandardError().contains("task-clock");
    }
    QString Name() const {
        return perf_ ? QStringLiteral("perf stat -e task-clock,context-switches -p PID "
                                      "(all threads, ended ones too)")
                     : QStringLiteral("/proc/PID/stat utime+stime+cutime+cstime (10 ms "
                                      "ticks); context switches of live threads only (no perf)");
    }

    // Counts each of `pids` over the same window of `seconds`.
    QList<Usage> Window(const QList<qint64>& pids, int seconds) const {
        QList<Usage> usage(pids.size());
        QList<double> switchesBefore;
        for (qsizetype i = 0; i < pids.size(); ++i) {
            usage[i].statCpuMs = -StatCpuMs(pids[i]);
            switchesBefore.append(LiveSwitches(pids[i]));
        }
        QTemporaryDir dir;
        std::vector<std::unique_ptr<QProcess>> perfs;
        if (perf_) {
            for (qsizetype i = 0; i < pids.size(); ++i) {
                perfs.push_back(std::make_unique<QProcess>());
                perfs.back()->start(QStringLiteral("perf"), {"stat", "-x", ",", "-e", Events, "-o",
                                                             dir.filePath(QString::number(i)), "-p",
                                                             QString::number(pids[i]), "--",
                                                             "sleep", QString::number(seconds)});
            }
            for (auto& p : perfs)
                p->waitForFinished((seconds + 30) * 1000);
        } else {
            QThread::sleep(seconds);
        }
        for (qsizetype i = 0; i < pids.size(); ++i) {
            Usage& u = usage[i];
            u.statCpuMs += StatCpuMs(pids[i]);
            if (!perf_) {
                u.cpuMs = u.statCpuMs;
                u.wakeUps = LiveSwitches(pids[i]) - switchesBefore[i];
                continue;
            }
            QFile out(dir.filePath(QString::number(i)));
            out.open(QIODevice::ReadOnly);
            // CSV lines: value,unit,event,...
            for (const QByteArray& l : out.readAll().split('\n')) {
                const QList<QByteArray> f = l.split(',');
                if (f.value(2).startsWith("task-clock"))
                    u.cpuMs = f.value(0).toDouble();
                else if (f.value(2).startsWith("context-switches"))
                    u.wakeUps = f.value(0).toDouble();
            }
        }
        return usage;
    }

private:
    static constexpr const char* Events = "task-clock,context-switches";
    bool perf_ = false;
};

// Mean and range of repeated figures.
struct Spread {
    double mean = 0, min = 0, max = 0;
    explicit Spread(const std::vector<double>& v) {
        if (v.empty())
            return;
        const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
        min = *lo;
        max = *hi;
        for (const double x : v)
            mean += x / double(v.size());
    }
    QString Text(int decimals = 1) const {
        return QStringLiteral("%1 (%2-%3)")
            .arg(mean, 0, 'f', decimals)
            .arg(min, 0, 'f', decimals)
            .arg(max, 0, 'f', decimals);
    }
};
