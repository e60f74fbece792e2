#include "ExitSignals.h"

#include <QObject>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The write end of the pipe from the signal handler to the event loop; only written to
// from the handler, which may do nothing but async-signal-safe calls.
int signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}
} // namespace

void InstallExitSignals(QObject* context, std::function<void()> onSignal) {
    if (signalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(
        notifier, &QSocketNotifier::activated, context, [onSignal = std::move(onSignal)] {
            char buffer[16];
            [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], buffer, sizeof buffer);
            onSignal();
        });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}
#else
void InstallExitSignals(QObject*, std::function<void()>) {}
#endif
