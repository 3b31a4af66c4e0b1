// Linux: the receive FIFO trigger of a built-in UART, in sysfs.
#include "link/ReceiveTrigger.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace rq70 {

namespace {

// One-byte replies of a whole-device update (acknowledges, erase and EEPROM replies); a write's
// eight-byte echo fills the FIFO's trigger and is not held.
constexpr int WholeDeviceShortReplies = 5'600;
// A 16550 passes on fewer bytes than its trigger after 4 character times of silence, 10 bits each.
constexpr double HeldMsPerReply = 4 * 10 * 1000.0 / 4800;

enum class Written { Yes, NotPermitted, Refused };

// A write the user may not make can be cured by the udev rule; one the driver refuses (a UART
// that takes no other trigger) cannot, and is nothing to tell anyone about.
Written WriteValue(const QString& attribute, const QByteArray& value) {
    const int fd = ::open(QFile::encodeName(attribute).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES || errno == EPERM ? Written::NotPermitted : Written::Refused;
    const bool whole = ::write(fd, value.constData(), static_cast<std::size_t>(value.size())) == value.size();
    ::close(fd);
    return whole ? Written::Yes : Written::Refused;
}

} // namespace

QString TriggerSysfsRoot() {
    const QString chosen = qEnvironmentVariable("RQ70_SYSFS_ROOT");
    return chosen.isEmpty() ? QStringLiteral("/sys") : chosen;
}

QString ReceiveTrigger::Lower(const QString& canonicalNode, const QString& portName) {
    Restore();
    // Only a tty of the system's own has the attribute, named after its node: there is none for
    // a pty's number, nor for a node outside /dev.
    if (!canonicalNode.startsWith(QLatin1String("/dev/")))
        return {};
    const QString attribute = sysfsRoot_ + QStringLiteral("/class/tty/") +
                              QFileInfo(canonicalNode).fileName() + QStringLiteral("/rx_trig_bytes");
    QFile file(attribute);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray current = file.read(16).trimmed();
    file.close();
    const QByteArray own = note_.OwnValue(canonicalNode, current);
    bool number = false;
    const int trigger = own.toInt(&number);
    if (!number || trigger <= 1)
        return {};
    note_.Keep(canonicalNode, own, "1");
    if (current != "1") {
        switch (WriteValue(attribute, "1")) {
        case Written::Yes:
            break;
        case Written::NotPermitted:
            note_.Drop();
            return ReceiveTriggerNotice(portName, trigger);
        case Written::Refused:
            note_.Drop();
            return {};
        }
    }
    changed_ = attribute;
    oldValue_ = own;
    return {};
}

void ReceiveTrigger::Restore() {
    if (changed_.isEmpty())
        return;
    // A value that cannot be put back (a trigger a killed program had lowered, which this user
    // may not raise) stays noted for a program that may.
    if (WriteValue(changed_, oldValue_) == Written::Yes)
        note_.Drop();
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
        .arg(portName, QString::number(triggerBytes), QString::number(static_cast<int>(HeldMsPerReply + 0.5)),
             QString::number(seconds));
}

} // namespace rq70
