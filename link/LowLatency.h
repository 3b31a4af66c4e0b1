#pragma once

namespace rq70 {

// The serial driver's low-latency setting of an open port. USB serial adapters hold received bytes
// for a latency timer (16 ms by default) before they pass them on; in a stop-and-wait protocol
// that delay falls on every reply. Asked for low latency, their drivers hand bytes on at once
// (1 ms). An ordinary user may set it on a port they have open; ports without such a setting (a
// pty, some built-in UARTs) are used as they are.
class LowLatencyMode {
public:
    // Sets the driver's low-latency flag on the open tty `fd`. False when the driver has no such
    // setting; nothing is changed then.
    bool Request(int fd);
    // Puts back the setting Request found, if it changed it.
    void Restore(int fd);

private:
    bool changed_ = false;
};

// Whether the driver's low-latency flag is set on `fd`: 1 or 0, or -1 when it has no such flag.
int LowLatencyFlag(int fd);

} // namespace rq70
