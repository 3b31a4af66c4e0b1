#pragma once

#include "link/SettingNote.h"

#include <QString>

namespace rq70 {

// The serial driver's low-latency setting of an open port. USB serial adapters hold received bytes
// for a latency timer (16 ms by default) before they pass them on; in a stop-and-wait protocol
// that delay falls on every reply. Asked for low latency, their drivers hand bytes on at once
// (1 ms). An ordinary user may set it on a port they have open; ports without such a setting (a
// pty, some built-in UARTs) are used as they are. The flag's own value is noted while it is set
// (see SettingNote.h), so that it comes back even after a program that set it was killed.
class LowLatencyMode {
public:
    explicit LowLatencyMode(const QString& noteFolder = SettingNoteFolder())
        : note_(QStringLiteral("low_latency"), noteFolder) {}

    // Sets the driver's low-latency flag on the open tty `fd`, the device `node`. False when the
    // driver has no such setting; nothing is changed then. A flag that a killed program left set
    // counts as its noted own value.
    bool Request(int fd, const QString& node);
    // Puts back the setting Request found, if it changed it.
    void Restore(int fd);

private:
    bool changed_ = false;
    SettingNote note_;
};

// Whether the driver's low-latency flag is set on `fd`: 1 or 0, or -1 when it has no such flag.
int LowLatencyFlag(int fd);

} // namespace rq70
