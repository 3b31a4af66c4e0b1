#include "common/InterruptSignal.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace rq70 {

namespace {

constexpr int CaughtSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The write end of the pipe the handler wakes the main thread through: writing to a pipe is one
// of the few things a signal handler may do. The byte written is the signal's number.
int wakeUp = -1;

extern "C" void OnSignal(int number) {
    // The code the signal interrupted may be about to look at errno.
    const int savedErrno = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t written = ::write(wakeUp, &byte, 1);
    errno = savedErrno;
}

} // namespace

InterruptSignal::InterruptSignal() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    wakeUp = ends[1];
    notifier_ = std::make_unique<QSocketNotifier>(ends[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this, readEnd = ends[0]] {
        char numbers[16];
        ssize_t count = 0;
        while ((count = ::read(readEnd, numbers, sizeof numbers)) > 0) {
            for (ssize_t i = 0; i < count; ++i)
                emit Interrupted(static_cast<unsigned char>(numbers[i]));
        }
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i) {
        // An ignored signal was the caller's choice (nohup ignores SIGHUP, a background job of a
        // script SIGINT): it is not ours to take back.
        if (::sigaction(CaughtSignals[i], nullptr, &before_[i]) != 0 || before_[i].sa_handler == SIG_IGN)
            continue;
        caught_[i] = ::sigaction(CaughtSignals[i], &action, nullptr) == 0;
    }
}

InterruptSignal::~InterruptSignal() {
    if (!notifier_)
        return;
    for (int i = 0; i < 3; ++i) {
        if (caught_[i])
            ::sigaction(CaughtSignals[i], &before_[i], nullptr);
    }
    const int readEnd = static_cast<int>(notifier_->socket());
    notifier_.reset();
    ::close(readEnd);
    ::close(wakeUp);
    wakeUp = -1;
}

QString SignalName(int signalNumber) {
    switch (signalNumber) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(signalNumber);
    }
}

} // namespace rq70
