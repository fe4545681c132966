#include "app/systemsignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// Only what is safe in a signal handler: the signal's number down a pipe.
void forwardSignal(int signal)
{
    const char byte = char(signal);
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

} // namespace

SystemSignals::SystemSignals(QObject *parent) : QObject(parent)
{
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char received[16];
        bool quit = false;
        bool reopen = false;
        for (ssize_t got; (got = ::read(signalPipe[0], received, sizeof received)) > 0;)
            for (ssize_t i = 0; i < got; ++i)
                (received[i] == SIGHUP ? reopen : quit) = true;
        if (reopen)
            emit reopenLogRequested();
        if (quit)
            emit quitRequested();
    });
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    // A log file at the size limit (ulimit -f, LimitFSIZE=) must fail its
    // write with EFBIG, reported like a full disk, not end the program.
    ::signal(SIGXFSZ, SIG_IGN);
}
