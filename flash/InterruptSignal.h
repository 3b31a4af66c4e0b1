#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace rq70::flash {

// Turns Ctrl-C (SIGINT), SIGTERM and SIGHUP (the terminal went away) into a Qt signal on the main thread, so
// that a run can stop its updates between units of work instead of dying with a block half sent.
class InterruptSignal : public QObject {
    Q_OBJECT

public:
    InterruptSignal();
    ~InterruptSignal() override;

signals:
    void Interrupted();

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace rq70::flash
