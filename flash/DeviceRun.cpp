#include "flash/DeviceRun.h"

#include "flash/FlashUpdateView.h"

#include <QElapsedTimer>

namespace rq70::flash {

DeviceRun::DeviceRun(DeviceJob job, std::shared_future<bool> go) : job_(std::move(job)), go_(std::move(go)) {}

DeviceRun::~DeviceRun() = default;

void DeviceRun::Run() {
    DeviceOutcome outcome;
    outcome.device = job_.device;
    outcome.started = QDateTime::currentDateTimeUtc();
    QElapsedTimer clock;
    clock.start();

    state_ = std::make_unique<UpdaterModul>();
    state_->images = job_.images;
    state_->link.ApplyLineSettings();
    outcome.open = state_->link.Open(job_.port);
    emit Opened(job_.device, outcome.open, state_->link.AdapterNotice());

    // No device is touched until every port of the run is open: a script with a wrong port
    // changes nothing.
    if (outcome.open.ok() && go_.get()) {
        outcome.started = QDateTime::currentDateTimeUtc();
        clock.restart();
        FlashUpdateView view(job_.device, job_.images.HighestProgramWord,
                             [this](const DeviceEvent& event) { emit Event(event); });
        outcome.result = RunUpdate(*state_, view, 0, job_.replyTimeoutMs);
        outcome.ran = true;
    }
    outcome.ended = QDateTime::currentDateTimeUtc();
    outcome.durationMs = clock.elapsed();
    const QString devicePath = state_->link.DevicePath();
    state_->link.SetMonitorTimer(false);
    state_->link.Close();
    state_.reset();

    // On disk before the verdict is reported.
    if (outcome.ran && !job_.recordPath.isEmpty()) {
        RunContext context = job_.context;
        context.port = job_.port.Name();
        context.devicePath = devicePath;
        context.started = outcome.started;
        context.ended = outcome.ended;
        outcome.recordWarning = AppendUpdateRecord(job_.recordPath, RecordOfRun(context, outcome.result));
    }
    emit Finished(outcome);
}

void DeviceRun::RequestStop() {
    // The flag belongs to the device's thread; the run looks at it between units of work and
    // takes queued calls in its event-loop yields.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (state_)
                state_->AbortRequested = true;
        },
        Qt::QueuedConnection);
}

} // namespace rq70::flash
