// Linux: the flag lives in the driver's serial_struct (TIOCGSERIAL / TIOCSSERIAL).
#include "link/LowLatency.h"

#include <cerrno>

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace rq70 {

int LowLatencyFlag(int fd) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return -1;
    return (serial.flags & ASYNC_LOW_LATENCY) != 0 ? 1 : 0;
}

bool LowLatencyMode::Request(int fd, const QString& node) {
    changed_ = false;
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return false;
    const bool set = (serial.flags & ASYNC_LOW_LATENCY) != 0;
    if (note_.OwnValue(node, set ? "1" : "0") == "1")
        return true;
    note_.Keep(node, "0", "1");
    if (!set) {
        serial.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &serial) != 0) {
            note_.Drop();
            return false;
        }
    }
    changed_ = true;
    return true;
}

void LowLatencyMode::Restore(int fd) {
    if (!changed_)
        return;
    changed_ = false;
    serial_struct serial{};
    bool back = ::ioctl(fd, TIOCGSERIAL, &serial) == 0;
    if (back) {
        serial.flags &= ~ASYNC_LOW_LATENCY;
        back = ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
    }
    // A line that went away (an adapter pulled) took its settings with it: a device plugged in
    // again starts from its own.
    if (back || errno == EIO || errno == ENODEV || errno == ENXIO)
        note_.Drop();
}

} // namespace rq70
