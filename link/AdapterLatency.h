#pragma once

#include <QString>

namespace rq70 {

// The latency timer, in milliseconds, of the USB serial adapter behind `devicePath` (followed
// through links), as the system shows it under `sysfsRoot`; -1 for a port that shows none.
int AdapterLatencyTimerMs(const QString& devicePath, const QString& sysfsRoot = QStringLiteral("/sys"));

// True when the port at `devicePath` (followed through links) is driven by a USB serial driver, as
// the system shows under `sysfsRoot`.
bool UsesUsbSerialDriver(const QString& devicePath, const QString& sysfsRoot = QStringLiteral("/sys"));

// What an update suffers from an adapter that holds every reply for `latencyMs`, and how to cure it
// for good; "" when the timer is short enough not to matter (2 ms or less) or unknown.
QString AdapterLatencyNotice(const QString& portName, int latencyMs);

} // namespace rq70
