// Linux: the flag lives in the driver's serial_struct (TIOCGSERIAL / TIOCSSERIAL).
#include "link/LowLatency.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace rq70 {

int LowLatencyFlag(int fd) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return -1;
    return (serial.flags & ASYNC_LOW_LATENCY) != 0 ? 1 : 0;
}

bool LowLatencyMode::Request(int fd) {
    changed_ = false;
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return false;
    if ((serial.flags & ASYNC_LOW_LATENCY) != 0)
        return true;
    serial.flags |= ASYNC_LOW_LATENCY;
    changed_ = ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
    return changed_;
}

void LowLatencyMode::Restore(int fd) {
    if (!changed_)
        return;
    changed_ = false;
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return;
    serial.flags &= ~ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &serial);
}

} // namespace rq70
