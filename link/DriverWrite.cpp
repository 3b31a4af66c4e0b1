// Linux: write(2) on the tty.
#include "link/DriverWrite.h"

#include <cerrno>

#include <unistd.h>

namespace rq70 {

DriverWrite WriteToDriver(int fd, const char* data, std::size_t size) {
    DriverWrite result;
    while (result.taken < size) {
        const ssize_t written = ::write(fd, data + result.taken, size - result.taken);
        if (written > 0) {
            result.taken += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        // No room now: the caller queues the rest.
        if (written == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            return result;
        result.lineGone = true;
        return result;
    }
    return result;
}

} // namespace rq70
