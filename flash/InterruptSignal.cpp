#include "flash/InterruptSignal.h"

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace rq70::flash {

namespace {

// The write end of the pipe the handler wakes the main thread through: writing to a pipe is one
// of the few things a signal handler may do.
int wakeUp = -1;

extern "C" void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeUp, &byte, 1);
}

} // namespace

InterruptSignal::InterruptSignal() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    wakeUp = ends[1];
    notifier_ = std::make_unique<QSocketNotifier>(ends[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this, readEnd = ends[0]] {
        char bytes[16];
        while (::read(readEnd, bytes, sizeof bytes) > 0) {
        }
        emit Interrupted();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
}

InterruptSignal::~InterruptSignal() {
    if (!notifier_)
        return;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
    ::close(static_cast<int>(notifier_->socket()));
    ::close(wakeUp);
    wakeUp = -1;
}

} // namespace rq70::flash
