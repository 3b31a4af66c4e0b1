#pragma once

#include "link/DetectionView.h"
#include "link/LongOperation.h"
#include "link/SerialLink.h"

#include <functional>
#include <optional>

namespace rq70 {

// The ports the search tries, in this order.
inline constexpr int FirstSearchedPort = 1;
inline constexpr int LastSearchedPort = 20;
// Presence checks on each port before it counts as without a device.
inline constexpr int PingsPerPort = 2;

struct SearchResult {
    enum Outcome { Found, NothingAnswered, Aborted, NoPortExists, Busy } outcome = NothingAnswered;
    int port = 0;
    // Found: the device's identification text; none when the port failed during the query.
    std::optional<QString> identification;
};

// Whether a boot loader answers on the port the link has open: the port is flushed, then pinged at
// most PingsPerPort times, the first time (on a port just opened) with the resynchronisation that
// brings back a device an interrupted run left inside a command. `afterMiss` runs after every
// unanswered ping; true from it ends the look there.
bool FindBootLoader(SerialLink& link, int replyTimeoutMs = SerialLink::ReplyTimeoutMs,
                    const std::function<bool()>& afterMiss = {});

// Looks for the boot loader on COM1 to COM20, as they were listed when the search began: each
// existing port is opened, flushed and pinged at most twice; the first port that answers is left open,
// selected in the port list and watched by the connection monitor. Abort is looked at after each unanswered
// ping. `replyTimeoutMs` is the wait for each reply; only tests shorten it.
SearchResult SearchForDevice(SerialLink& link, bool& abortRequested, LongOperation& running,
                             DetectionView& view, int replyTimeoutMs = SerialLink::ReplyTimeoutMs);

} // namespace rq70
