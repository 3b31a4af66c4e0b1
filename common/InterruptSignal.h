#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <csignal>
#include <memory>

namespace rq70 {

// Turns Ctrl-C (SIGINT), SIGTERM and SIGHUP (the terminal went away) into a Qt signal on the main
// thread, one for every signal that arrives, so that a program ends its work where it chooses, with
// its ports closed and their settings put back, instead of dying with a block half sent. A signal
// the program was started with ignored (nohup, a service manager) stays ignored. One instance at a
// time; its end gives every signal back what it did before.
class InterruptSignal : public QObject {
    Q_OBJECT

public:
    InterruptSignal();
    ~InterruptSignal() override;
    InterruptSignal(const InterruptSignal&) = delete;
    InterruptSignal& operator=(const InterruptSignal&) = delete;

signals:
    // `signalNumber` is SIGINT, SIGTERM or SIGHUP.
    void Interrupted(int signalNumber);

private:
    std::unique_ptr<QSocketNotifier> notifier_;
    // What each of the signals did before, in the order of CaughtSignals.
    struct sigaction before_[3] = {};
    bool caught_[3] = {};
};

// A hang-up asks for no more than the first Ctrl-C: whoever started the program is gone, not
// asking it to break off a device half written.
inline bool IsHangUp(int signalNumber) {
    return signalNumber == SIGHUP;
}

// "SIGINT", "SIGTERM" or "SIGHUP", as scripts name them.
QString SignalName(int signalNumber);

} // namespace rq70
