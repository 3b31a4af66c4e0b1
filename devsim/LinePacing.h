#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

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

// A byte on its way, and when it is due at the other end.
struct TimedByte {
    LinePacing::Duration at;
    std::uint8_t byte;
};

// The reply bytes that have crossed the line and wait to be handed to the host, optionally held
// the way a USB serial adapter holds them. Such an adapter does not pass each byte on as it comes:
// it collects them and sends what it holds in one go once its latency timer, started by the first
// byte held, runs out, or as soon as a full packet is waiting. Every exchange of a stop-and-wait
// protocol then costs the host up to the latency, which is what the updater meets in the field.
class AdapterHold {
public:
    using Duration = LinePacing::Duration;

    // The reply bytes one packet of the adapter carries.
    static constexpr int PacketBytes = 62;

    // `latency` 0: no adapter; every byte is due as it arrives.
    explicit AdapterHold(std::chrono::milliseconds latency = {});

    // Takes in a reply byte that has crossed the line at `arrived`; calls come in time order.
    void Take(Duration arrived, std::uint8_t byte);

    bool Empty() const { return waiting_.empty(); }
    // The oldest byte not yet handed on, and when it is due at the host. The time can still move
    // earlier: a byte that fills a packet takes the bytes held before it along.
    const TimedByte& Front() const { return waiting_.front(); }
    void PopFront() { waiting_.pop_front(); }

private:
    Duration latency_;
    std::deque<TimedByte> waiting_;
    // The bytes held since the timer started, and when it runs out.
    int held_ = 0;
    Duration holdEnds_{};
};

} // namespace devsim
