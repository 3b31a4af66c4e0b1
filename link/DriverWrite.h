#pragma once

#include <cstddef>

namespace rq70 {

// What handing bytes straight to the serial driver gave.
struct DriverWrite {
    // The bytes the driver took, from the front; fewer than asked when it had no room for more.
    std::size_t taken = 0;
    // The line refused them outright (a pulled adapter): nothing more will go out on it.
    bool lineGone = false;
};

// Hands `size` bytes at `data` to the driver of the open, non-blocking tty `fd` without waiting.
// A stop-and-wait exchange never fills the driver's buffer, so this takes all of them.
DriverWrite WriteToDriver(int fd, const char* data, std::size_t size);

} // namespace rq70
