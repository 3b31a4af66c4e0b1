// Linux: USB adapters as sysfs shows them, the holders of pseudo-terminal masters as /proc shows
// them.
#include "link/PortIdentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace rq70 {

namespace {

QString ReadAttribute(const QString& folder, const QString& name) {
    QFile file(folder + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.read(256)).trimmed();
}

// The tty's USB interface: a ttyUSB's device is the usb-serial port under the interface, a
// ttyACM's device is the interface itself. False for a tty that is no USB adapter.
bool FindUsbInterface(const QString& ttyName, const QString& sysfsRoot, QString& device, QDir& interface) {
    device = QFileInfo(sysfsRoot + QStringLiteral("/class/tty/") + ttyName + QStringLiteral("/device"))
                 .canonicalFilePath();
    if (device.isEmpty())
        return false;
    QDir folder(device);
    for (int level = 0; level < 2; ++level) {
        if (QFileInfo::exists(folder.filePath(QStringLiteral("bInterfaceNumber")))) {
            interface = folder;
            return true;
        }
        if (!folder.cdUp())
            break;
    }
    return false;
}

// The tty's USB interface and device; Kind::None for a tty that is no USB adapter.
DeviceIdentity UsbIdentity(const QString& ttyName, const QString& sysfsRoot) {
    QString device;
    QDir usb;
    if (!FindUsbInterface(ttyName, sysfsRoot, device, usb))
        return {};
    DeviceIdentity identity;
    identity.interfaceNumber = ReadAttribute(usb.path(), QStringLiteral("bInterfaceNumber"));
    // Adapters with several ports behind one interface number them.
    identity.portNumber = ReadAttribute(device, QStringLiteral("port_number"));
    if (identity.portNumber.isEmpty())
        identity.portNumber = QStringLiteral("0");
    if (!usb.cdUp())
        return {};
    const QString vendor = ReadAttribute(usb.path(), QStringLiteral("idVendor"));
    const QString product = ReadAttribute(usb.path(), QStringLiteral("idProduct"));
    if (vendor.isEmpty() || product.isEmpty())
        return {};
    identity.kind = DeviceIdentity::Kind::UsbAdapter;
    identity.usbId = vendor + QLatin1Char(':') + product;
    identity.serialNumber = ReadAttribute(usb.path(), QStringLiteral("serial"));
    // Without a serial number, the place on the bus ("1-1.2") names the adapter.
    if (identity.serialNumber.isEmpty())
        identity.place = usb.dirName();
    return identity;
}

// Of the processes `among` (every process when empty), those that hold the master of pty number
// `index` open.
QStringList PtyMasterHolders(const QString& index, const QString& procRoot, const QStringList& among = {}) {
    static const QRegularExpression number(QStringLiteral("^\\d+$"));
    const QString indexLine = QStringLiteral("tty-index:\t") + index + QLatin1Char('\n');
    QStringList holders;
    const QStringList processes =
        among.isEmpty() ? QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot) : among;
    for (const QString& pid : processes) {
        if (!number.match(pid).hasMatch())
            continue;
        const QString fds = procRoot + QLatin1Char('/') + pid + QStringLiteral("/fd");
        for (const QFileInfo& fd : QDir(fds).entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
            const QString target = fd.symLinkTarget();
            if (target != QLatin1String("/dev/ptmx") && target != QLatin1String("/dev/pts/ptmx"))
                continue;
            QFile info(procRoot + QLatin1Char('/') + pid + QStringLiteral("/fdinfo/") + fd.fileName());
            if (info.open(QIODevice::ReadOnly) && QString::fromLatin1(info.readAll()).contains(indexLine)) {
                holders << pid;
                break;
            }
        }
    }
    return holders;
}

// Whether `node` is the device `identity` names. A pty is asked of its own holders only: the
// monitor asks on every tick while its device is out, and reading every process's descriptors
// each time would cost the windows' thread tens of milliseconds on a busy desktop.
bool HasIdentity(const QString& node, const DeviceIdentity& identity, const QString& sysfsRoot,
                 const QString& procRoot) {
    if (identity.kind == DeviceIdentity::Kind::Pty) {
        const QFileInfo pty(node);
        return pty.path() == QLatin1String("/dev/pts") &&
               PtyMasterHolders(pty.fileName(), procRoot, identity.holders) == identity.holders;
    }
    return DeviceIdentityOf(node, sysfsRoot, procRoot) == identity;
}

} // namespace

DeviceIdentity DeviceIdentityOf(const QString& canonicalNode, const QString& sysfsRoot,
                                const QString& procRoot) {
    DeviceIdentity identity;
    if (canonicalNode.isEmpty())
        return identity;
    const QFileInfo node(canonicalNode);
    if (node.path() == QLatin1String("/dev/pts")) {
        identity.holders = PtyMasterHolders(node.fileName(), procRoot);
        // Its other end belongs to another user (or /proc hides it). Pty numbers are used again at
        // once, by terminals too, so its number names nothing that could be followed.
        identity.kind =
            identity.holders.isEmpty() ? DeviceIdentity::Kind::UnseenPty : DeviceIdentity::Kind::Pty;
        if (identity.holders.isEmpty())
            identity.node = canonicalNode;
        return identity;
    } else if (node.path() == QLatin1String("/dev")) {
        if (DeviceIdentity usb = UsbIdentity(node.fileName(), sysfsRoot); usb.IsUsbAdapter())
            return usb;
    }
    identity.kind = DeviceIdentity::Kind::Node;
    identity.node = canonicalNode;
    return identity;
}

QStringList NodesWithIdentity(const DeviceIdentity& identity, const QString& sysfsRoot) {
    QStringList nodes;
    if (!identity.IsUsbAdapter())
        return nodes;
    const QDir ttys(sysfsRoot + QStringLiteral("/class/tty"));
    for (const QString& name : ttys.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (UsbIdentity(name, sysfsRoot) == identity)
            nodes << QStringLiteral("/dev/") + name;
    }
    return nodes;
}

QString UsbPlaceOf(const QString& canonicalNode, const QString& sysfsRoot) {
    QString device;
    QDir interface;
    if (canonicalNode.isEmpty() ||
        !FindUsbInterface(QFileInfo(canonicalNode).fileName(), sysfsRoot, device, interface) ||
        !interface.cdUp())
        return {};
    return interface.dirName();
}

QString NodeOfDeviceNow(const DeviceIdentity& identity, const QString& place, const QStringList& candidates,
                        const QString& sysfsRoot, const QString& procRoot) {
    if (identity.kind == DeviceIdentity::Kind::None || identity.kind == DeviceIdentity::Kind::UnseenPty)
        return {};
    QStringList found;
    for (const QString& candidate : candidates + NodesWithIdentity(identity, sysfsRoot)) {
        if (candidate.isEmpty() || found.contains(candidate))
            continue;
        // A USB adapter is there while sysfs shows it; any other port while its node is.
        if (!identity.IsUsbAdapter() && !QFileInfo::exists(candidate))
            continue;
        if (!HasIdentity(candidate, identity, sysfsRoot, procRoot))
            continue;
        if (!place.isEmpty() && UsbPlaceOf(candidate, sysfsRoot) != place)
            continue;
        found << candidate;
    }
    return found.size() == 1 ? found.first() : QString();
}

} // namespace rq70
