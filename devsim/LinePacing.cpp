#include "LinePacing.h"

#include <algorithm>

namespace devsim {

namespace {

// One start bit, eight data bits, one stop bit.
constexpr long long BitsPerByte = 10;

} // namespace

LinePacing::LinePacing(int baud, std::chrono::milliseconds replyDelay)
    : byteTime_(baud > 0 ? Duration(BitsPerByte * 1'000'000'000LL / baud) : Duration::zero()),
      replyDelay_(replyDelay) {}

LinePacing::Duration LinePacing::HostByteArrives(Duration written) {
    hostWireFree_ = std::max(written, hostWireFree_) + byteTime_;
    return hostWireFree_;
}

LinePacing::Duration LinePacing::ReplyByteArrives(Duration produced) {
    deviceWireFree_ = std::max(produced + replyDelay_, deviceWireFree_) + byteTime_;
    return deviceWireFree_;
}

AdapterHold::AdapterHold(std::chrono::milliseconds latency) : latency_(latency) {}

void AdapterHold::Take(Duration arrived, std::uint8_t byte) {
    if (latency_ == Duration::zero()) {
        waiting_.push_back({arrived, byte});
        return;
    }
    // A byte that arrives just as the timer runs out is too late for that batch.
    if (held_ == 0 || arrived >= holdEnds_) {
        held_ = 0;
        holdEnds_ = arrived + latency_;
    }
    ++held_;
    if (held_ < PacketBytes) {
        waiting_.push_back({holdEnds_, byte});
        return;
    }
    // A full packet goes at once, and the bytes held before this one with it. They are the last
    // ones waiting: none was due before now, so the host end cannot have taken any yet.
    const std::size_t heldBefore = std::min(static_cast<std::size_t>(held_ - 1), waiting_.size());
    for (std::size_t i = waiting_.size() - heldBefore; i < waiting_.size(); ++i)
        waiting_[i].at = arrived;
    waiting_.push_back({arrived, byte});
    held_ = 0;
}

} // namespace devsim
