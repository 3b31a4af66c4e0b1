#pragma once

#include "link/SerialLink.h"

#include <QString>

namespace rq70 {

// Pause between the probe and the look at the reply: long enough for both bytes at 4800 baud.
inline constexpr int MonitorReplyPauseMs = 25;

// One tick of the connection monitor: flush, probe, a fixed pause without window events, one read.
// Returns "connected to RQ-70" when the device acknowledged, "not connected to RQ-70" otherwise.
QString MonitorTick(SerialLink& link);

} // namespace rq70
