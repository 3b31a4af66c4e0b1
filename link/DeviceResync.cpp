#include "link/DeviceResync.h"

#include "link/BootLoaderBytes.h"
#include "link/DeviceQuery.h"

#include <QDeadlineTimer>

#include <algorithm>

namespace rq70 {

namespace {

// How long the line must stay quiet after the acknowledge: at 4800 baud the rest of the fill bytes,
// the probe and its answer cross in about 25 ms, and a USB adapter may hold them 16 ms more.
constexpr int SettleMs = 50;

QByteArray FillBytes() {
    return QByteArray(LongestParameters, static_cast<char>(ResyncFillByte));
}

// A command that the fill bytes finished may answer with an acknowledge of its own, so the one
// just read may not have been the probe's: whatever follows it closely is dropped.
void DropLateReplies(SerialLink& link, int timeoutMs) {
    for (int read = 0; read <= LongestReply; ++read) {
        if (!link.WaitForInput(1, std::min(SettleMs, timeoutMs)) || link.BufferedCount() <= 0)
            return;
        link.ReadByte();
    }
}

} // namespace

void SendResyncBytes(SerialLink& link) {
    link.SendBytes(FillBytes());
}

bool ResynchroniseDevice(SerialLink& link, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
    // One write: bytes split over several would leave the device gaps in which the contact may
    // come back between the fill bytes and the probe.
    link.SendBytes(FillBytes() + static_cast<char>(ProbeCommand));
    // The finished command's reply comes first, then the probe's acknowledge. Until that comes,
    // the line stays out of step: a contact that came back in the middle of the fill bytes may
    // have left the device inside the command they were to finish.
    for (int read = 0; read <= LongestReply; ++read) {
        if (!link.WaitForInput(1, static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0))))
            return false;
        const ByteRead reply = link.ReadByte();
        if (reply.Is(AckByte)) {
            DropLateReplies(link, timeoutMs);
            link.MarkInSync();
            return true;
        }
        if (reply.kind != ByteRead::Byte)
            return false;
    }
    return false;
}

bool PingDevice(SerialLink& link, int timeoutMs) {
    return link.NeedsResync() ? ResynchroniseDevice(link, timeoutMs) : CheckPresence(link, timeoutMs);
}

} // namespace rq70
