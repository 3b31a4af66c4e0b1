#pragma once

#include "link/SerialLink.h"

#include <QString>

namespace rq70 {

// Pause between the probe and the look at the reply: long enough for both bytes at 4800 baud.
inline constexpr int MonitorReplyPauseMs = 25;

// One tick of the connection monitor: flush, probe, a fixed pause without window events, one read.
// A port whose line went away is opened again first, so the monitor sees the device come back.
// Returns "connected to RQ-70" when the device acknowledged, "not connected to RQ-70" otherwise.
QString MonitorTick(SerialLink& link);

} // namespace rq70
