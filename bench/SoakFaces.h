#pragma once

#include "SoakCase.h"

#include <QString>

// The two faces of the updater, each driven in this process as its user drives it, against the
// simulated device on COM1 of the port folder that RQ70_PORT_DIR names. Both write the update
// record to $RQ70_UPDATE_RECORD.
namespace soak {

// The windows, offscreen: the main window started on `programFolder` (the update file beside the
// program), COM1 picked in the port list, OK pressed, message boxes answered, the verdict read from
// the result window, and the result window closed, which ends the program (not this process).
// `lastWord` is the highest program word the update file fills.
Observation UpdateThroughWindows(const QString& programFolder, int lastWord, int replyTimeoutMs);

// rq70-flash's engine: one device's run in a thread of its own, as `rq70-flash update` starts it.
Observation UpdateThroughFlash(const rq70::FirmwareImages& images, int replyTimeoutMs);

} // namespace soak
