#include "link/ConnectionMonitor.h"

#include "link/BootLoaderBytes.h"
#include "link/DeviceResync.h"

#include <QThread>

namespace rq70 {

QString MonitorTick(SerialLink& link) {
    // An adapter pulled and plugged back in leaves the port dead until it is opened again.
    if (link.LineLost())
        link.Reopen();
    // A late reply to these goes out with the next tick's flush: at worst one tick reads it and
    // says "not connected".
    if (link.NeedsResync())
        SendResyncBytes(link);
    link.FlushInput();
    link.SendByte(ProbeCommand);
    // A late answer is not waited for: the next tick's flush throws it away.
    QThread::msleep(MonitorReplyPauseMs);
    link.TakeArrivedBytes();
    const bool answered = link.ReadByte().Is(AckByte);
    // Without an answer the probe may have been taken as a parameter of a command whose own
    // bytes a broken contact swallowed: the next tick sends the fill bytes first.
    if (answered)
        link.MarkInSync();
    else
        link.MarkOutOfStep();
    return QString::fromLatin1(answered ? "connected to " : "not connected to ") + QStringLiteral("RQ-70");
}

} // namespace rq70
