#pragma once

#include <chrono>

namespace devsim {

// The timing of the serial line between updater and device. A pty moves bytes at once; a real
// line at 4800 baud 8N1 needs ten bit times per byte in each direction, and the updater's
// timeouts and its stop-and-wait exchanges are only tested honestly at that pace. Times are
// measured from any fixed origin; calls in each direction must come in time order.
class LinePacing {
public:
    using Duration = std::chrono::nanoseconds;

    // `baud` 0 leaves the line instant: only the reply delay remains.
    explicit LinePacing(int baud = 0, std::chrono::milliseconds replyDelay = {});

    Duration ByteTime() const { return byteTime_; }

    // When a host byte written into the port at `written` has arrived in full at the device: its
    // wire slot starts when the previous byte's ended, or when it was written if later.
    Duration HostByteArrives(Duration written);
    // When a reply byte the device produced at `produced` has arrived in full at the host. The
    // reply delay passes before the byte may take the wire.
    Duration ReplyByteArrives(Duration produced);

private:
    Duration byteTime_;
    Duration replyDelay_;
    Duration hostWireFree_{};
    Duration deviceWireFree_{};
};

} // namespace devsim
