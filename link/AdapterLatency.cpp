// Linux: USB serial adapters show their latency timer in sysfs.
#include "link/AdapterLatency.h"

#include <QFile>
#include <QFileInfo>

namespace rq70 {

namespace {

// Replies a whole-device update waits for: acknowledges, erase replies, echoes and EEPROM replies.
constexpr int WholeDeviceReplies = 19'000;
constexpr int HarmlessLatencyMs = 2;

// The sysfs folder of a USB serial port, or "" for any other port.
QString UsbSerialFolder(const QString& devicePath, const QString& sysfsRoot) {
    const QString device = QFileInfo(devicePath).canonicalFilePath();
    if (device.isEmpty())
        return {};
    const QString folder =
        sysfsRoot + QStringLiteral("/bus/usb-serial/devices/") + QFileInfo(device).fileName();
    return QFileInfo(folder).isDir() ? folder : QString();
}

} // namespace

bool UsesUsbSerialDriver(const QString& devicePath, const QString& sysfsRoot) {
    return !UsbSerialFolder(devicePath, sysfsRoot).isEmpty();
}

int AdapterLatencyTimerMs(const QString& devicePath, const QString& sysfsRoot) {
    const QString folder = UsbSerialFolder(devicePath, sysfsRoot);
    if (folder.isEmpty())
        return -1;
    QFile timer(folder + QStringLiteral("/latency_timer"));
    if (!timer.open(QIODevice::ReadOnly))
        return -1;
    bool number = false;
    const int ms = timer.read(16).trimmed().toInt(&number);
    return number && ms >= 0 ? ms : -1;
}

QString AdapterLatencyNotice(const QString& portName, int latencyMs) {
    if (latencyMs <= HarmlessLatencyMs)
        return {};
    const int minutes = (WholeDeviceReplies * latencyMs + 30'000) / 60'000;
    return QStringLiteral("%1 is a USB serial adapter that holds every reply from the device for %2 ms "
                          "before passing it on, and it did not take the request to stop: a whole-device "
                          "update then takes up to about %3 minutes longer. To fix it for good, install "
                          "the rule 99-rq70-usb-serial.rules (packaging/ of the updater's sources) into "
                          "/etc/udev/rules.d/ and plug the adapter in again.")
        .arg(portName, QString::number(latencyMs), QString::number(minutes));
}

} // namespace rq70
