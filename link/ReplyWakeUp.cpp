// Linux: VMIN and VTIME of the tty's termios.
#include "link/ReplyWakeUp.h"

#include <algorithm>

#include <termios.h>

namespace rq70 {

namespace {

bool SetMinimum(int fd, int minimum, int time) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    settings.c_cc[VMIN] = static_cast<cc_t>(minimum);
    settings.c_cc[VTIME] = static_cast<cc_t>(time);
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

} // namespace

void ReplyWakeUp::Attach(int fd) {
    fd_ = -1;
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return;
    fd_ = fd;
    baseMin_ = settings.c_cc[VMIN];
    baseTime_ = settings.c_cc[VTIME];
    currentMin_ = baseMin_;
}

void ReplyWakeUp::Detach() {
    Reset();
    fd_ = -1;
}

bool ReplyWakeUp::WakeAt(int bytes) {
    if (fd_ < 0)
        return false;
    const int minimum = std::clamp(bytes, 1, 255);
    if (minimum == currentMin_)
        return true;
    if (!SetMinimum(fd_, minimum, 0))
        return false;
    currentMin_ = minimum;
    return true;
}

void ReplyWakeUp::Reset() {
    if (fd_ < 0 || currentMin_ == baseMin_)
        return;
    if (SetMinimum(fd_, baseMin_, baseTime_))
        currentMin_ = baseMin_;
}

} // namespace rq70
