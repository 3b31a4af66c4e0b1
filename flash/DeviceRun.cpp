#include "flash/DeviceRun.h"

namespace rq70::flash {

DeviceRun::DeviceRun(DeviceJob job, std::shared_future<bool> go) : job_(std::move(job)), go_(std::move(go)) {}

DeviceRun::~DeviceRun() = default;

void DeviceRun::Run() {
    state_ = std::make_unique<UpdaterModul>();
    state_->images = job_.images;
    state_->link.ApplyLineSettings();
    const OpenResult open = state_->link.Open(job_.port);
    emit Opened(job_.device, open, state_->link.AdapterNotice());

    // No device is touched until every port of the run is open: a script with a wrong port
    // changes nothing.
    DeviceOutcome outcome;
    if (open.ok() && go_.get()) {
        outcome = UpdateOpenDevice(*state_, job_, [this](const DeviceEvent& event) { emit Event(event); });
        outcome.open = open;
    } else {
        outcome.device = job_.device;
        outcome.open = open;
        outcome.started = outcome.ended = QDateTime::currentDateTimeUtc();
    }
    state_->link.Close();
    state_.reset();
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
