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

} // namespace devsim
