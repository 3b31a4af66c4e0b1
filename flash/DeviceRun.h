#pragma once

#include "flash/UnitUpdate.h"

#include <QObject>

#include <future>
#include <memory>

namespace rq70::flash {

// One device's update, run in a thread of its own with its own serial link and abort flag: the
// update procedure is the same synchronous code the windows run, and nothing of one device's run
// is shared with another's.
class DeviceRun : public QObject {
    Q_OBJECT

public:
    // `go` says, once every port of the run has been opened, whether the updates start.
    DeviceRun(DeviceJob job, std::shared_future<bool> go);
    ~DeviceRun() override;

    // In the device's thread: opens the port, reports it, waits for `go`, updates the device,
    // writes the update record and reports the outcome.
    void Run();
    // From any thread: stops the update after the row, block or EEPROM byte under way, as the
    // Abort button does.
    void RequestStop();

signals:
    // `notice`: what the user should hear about a port that opened (a slow USB adapter), or "".
    void Opened(int device, const rq70::OpenResult& open, const QString& notice);
    void Event(const rq70::flash::DeviceEvent& event);
    void Finished(const rq70::flash::DeviceOutcome& outcome);

private:
    DeviceJob job_;
    std::shared_future<bool> go_;
    // Made in the device's thread, so its port and timer belong to that thread.
    std::unique_ptr<UpdaterModul> state_;
};

} // namespace rq70::flash

Q_DECLARE_METATYPE(rq70::OpenResult)
