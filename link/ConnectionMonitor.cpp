#include "link/ConnectionMonitor.h"

#include "link/BootLoaderBytes.h"

#include <QThread>

namespace rq70 {

QString MonitorTick(SerialLink& link) {
    link.FlushInput();
    link.SendByte(ProbeCommand);
    // A late answer is not waited for: the next tick's flush throws it away.
    QThread::msleep(MonitorReplyPauseMs);
    link.TakeArrivedBytes();
    const bool answered = link.ReadByte().Is(AckByte);
    return QString::fromLatin1(answered ? "connected to " : "not connected to ") + QStringLiteral("RQ-70");
}

} // namespace rq70
