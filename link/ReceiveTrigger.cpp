// Linux: the receive FIFO trigger of a built-in UART, in sysfs.
#include "link/ReceiveTrigger.h"

#include <QFile>
#include <QFileInfo>

namespace rq70 {

namespace {

// One-byte replies of a whole-device update (acknowledges, erase and EEPROM replies); a write's
// eight-byte echo fills the FIFO's trigger and is not held.
constexpr int WholeDeviceShortReplies = 5'600;
// A 16550 passes on fewer bytes than its trigger after 4 character times of silence, 10 bits each.
constexpr double HeldMsPerReply = 4 * 10 * 1000.0 / 4800;

bool WriteValue(const QString& attribute, const QByteArray& value) {
    QFile file(attribute);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    return file.write(value) == value.size();
}

} // namespace

QString ReceiveTrigger::Lower(const QString& canonicalNode, const QString& portName) {
    Restore();
    const QFileInfo node(canonicalNode);
    // Only a tty of the system's own: ptys and other nodes have no such attribute.
    if (canonicalNode.isEmpty() || node.path() != QLatin1String("/dev"))
        return {};
    const QString attribute =
        sysfsRoot_ + QStringLiteral("/class/tty/") + node.fileName() + QStringLiteral("/rx_trig_bytes");
    QFile file(attribute);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray value = file.read(16).trimmed();
    file.close();
    bool number = false;
    const int trigger = value.toInt(&number);
    if (!number || trigger <= 1)
        return {};
    if (!WriteValue(attribute, "1"))
        return ReceiveTriggerNotice(portName, trigger);
    changed_ = attribute;
    oldValue_ = value;
    return {};
}

void ReceiveTrigger::Restore() {
    if (changed_.isEmpty())
        return;
    WriteValue(changed_, oldValue_);
    changed_.clear();
}

QString ReceiveTriggerNotice(const QString& portName, int triggerBytes) {
    const int seconds = static_cast<int>(WholeDeviceShortReplies * HeldMsPerReply / 1000 + 0.5);
    return QStringLiteral(
               "%1 is a built-in serial port whose receive buffer passes a reply on only once it holds "
               "%2 bytes, or after a pause of about %3 ms, and the updater may not set it to 1 byte: "
               "a whole-device update then takes about %4 seconds longer. To fix it for good, "
               "install the rule 99-rq70-uart-fifo.rules (packaging/ of the updater's sources) "
               "into /etc/udev/rules.d/, then run 'sudo udevadm trigger --action=add --subsystem-match=tty' "
               "or "
               "start the computer again.")
        .arg(portName)
        .arg(triggerBytes)
        .arg(static_cast<int>(HeldMsPerReply + 0.5))
        .arg(seconds);
}

} // namespace rq70
