#pragma once

#include "flash/DeviceEvent.h"
#include "image/FirmwareImages.h"
#include "update/RunRecord.h"
#include "update/UpdaterModul.h"

#include <functional>

namespace rq70::flash {

// What one device's update needs besides its open port: the images, where its record goes and
// what the record says about the run.
struct DeviceJob {
    // The device's number in the run (the station's slot index), for its events.
    int device = 0;
    ChosenPort port;
    FirmwareImages images;
    // Where the update record goes; "" for nowhere.
    QString recordPath;
    // Set when an update whose record line cannot be written must not pass for a success.
    bool requireRecord = false;
    RunContext context;
    // The wait for each reply; only tests and the soak shorten it.
    int replyTimeoutMs = SerialLink::ReplyTimeoutMs;
};

using DeviceEventSink = std::function<void(const DeviceEvent&)>;

// Updates the device whose port `state`'s link holds open, exactly as the windows do, reporting
// phases and progress to `sink` (called in this thread), then writes its record line: on disk
// before the outcome is returned. The link stays open. Shared by `update` and the station.
DeviceOutcome UpdateOpenDevice(UpdaterModul& state, const DeviceJob& job, const DeviceEventSink& sink);

} // namespace rq70::flash
