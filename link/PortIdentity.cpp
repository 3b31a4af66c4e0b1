// Linux: USB adapters as sysfs shows them, the holders of pseudo-terminal masters as /proc shows
// them.
#include "link/PortIdentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace rq70 {

namespace {

const QString UsbPrefix = QStringLiteral("usb ");
const QString UnseenPtyPrefix = QStringLiteral("pty with its other end unseen ");

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

// The tty's USB interface and device.
QString UsbIdentity(const QString& ttyName, const QString& sysfsRoot) {
    QString device;
    QDir usb;
    if (!FindUsbInterface(ttyName, sysfsRoot, device, usb))
        return {};
    const QString interface = ReadAttribute(usb.path(), QStringLiteral("bInterfaceNumber"));
    // Adapters with several ports behind one interface number them.
    const QString port = ReadAttribute(device, QStringLiteral("port_number"));
    if (!usb.cdUp())
        return {};
    const QString vendor = ReadAttribute(usb.path(), QStringLiteral("idVendor"));
    const QString product = ReadAttribute(usb.path(), QStringLiteral("idProduct"));
    if (vendor.isEmpty() || product.isEmpty())
        return {};
    const QString serial = ReadAttribute(usb.path(), QStringLiteral("serial"));
    // Without a serial number, the place on the bus ("1-1.2") names the adapter.
    const QString which =
        serial.isEmpty() ? QStringLiteral("at ") + usb.dirName() : QStringLiteral("serial ") + serial;
    return UsbPrefix +
           QStringLiteral("%1:%2 %3 interface %4 port %5")
               .arg(vendor, product, which, interface, port.isEmpty() ? QStringLiteral("0") : port);
}

const QString PtyPrefix = QStringLiteral("pty of process ");

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
bool HasIdentity(const QString& node, const QString& identity, const QString& sysfsRoot,
                 const QString& procRoot) {
    if (identity.startsWith(PtyPrefix)) {
        const QFileInfo pty(node);
        const QStringList holders = identity.mid(PtyPrefix.size()).split(QLatin1Char(','));
        return pty.path() == QLatin1String("/dev/pts") &&
               PtyMasterHolders(pty.fileName(), procRoot, holders) == holders;
    }
    return DeviceIdentityOf(node, sysfsRoot, procRoot) == identity;
}

} // namespace

QString DeviceIdentityOf(const QString& canonicalNode, const QString& sysfsRoot, const QString& procRoot) {
    if (canonicalNode.isEmpty())
        return {};
    const QFileInfo node(canonicalNode);
    if (node.path() == QLatin1String("/dev/pts")) {
        const QStringList holders = PtyMasterHolders(node.fileName(), procRoot);
        if (!holders.isEmpty())
            return PtyPrefix + holders.join(QLatin1Char(','));
        // Its other end belongs to another user (or /proc hides it). Pty numbers are used again at
        // once, by terminals too, so its number names nothing that could be followed.
        return UnseenPtyPrefix + canonicalNode;
    } else if (node.path() == QLatin1String("/dev")) {
        if (const QString usb = UsbIdentity(node.fileName(), sysfsRoot); !usb.isEmpty())
            return usb;
    }
    return QStringLiteral("node ") + canonicalNode;
}

bool IsUsbIdentity(const QString& identity) {
    return identity.startsWith(UsbPrefix);
}

QStringList NodesWithIdentity(const QString& identity, const QString& sysfsRoot) {
    QStringList nodes;
    if (!IsUsbIdentity(identity))
        return nodes;
    const QDir ttys(sysfsRoot + QStringLiteral("/class/tty"));
    for (const QString& name : ttys.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (UsbIdentity(name, sysfsRoot) == identity)
            nodes << QStringLiteral("/dev/") + name;
    }
    return nodes;
}

namespace {

// The USB device (not its interface) behind the device node; false for a port that is no USB
// adapter.
bool FindUsbDevice(const QString& canonicalNode, const QString& sysfsRoot, QDir& usb) {
    QString device;
    return !canonicalNode.isEmpty() &&
           FindUsbInterface(QFileInfo(canonicalNode).fileName(), sysfsRoot, device, usb) && usb.cdUp();
}

} // namespace

QString UsbPlaceOf(const QString& canonicalNode, const QString& sysfsRoot) {
    QDir usb;
    return FindUsbDevice(canonicalNode, sysfsRoot, usb) ? usb.dirName() : QString();
}

QString UsbSerialNumberOf(const QString& canonicalNode, const QString& sysfsRoot) {
    QDir usb;
    return FindUsbDevice(canonicalNode, sysfsRoot, usb) ? ReadAttribute(usb.path(), QStringLiteral("serial"))
                                                        : QString();
}

QString NodeOfDeviceNow(const QString& identity, const QString& place, const QStringList& candidates,
                        const QString& sysfsRoot, const QString& procRoot) {
    if (identity.isEmpty() || identity.startsWith(UnseenPtyPrefix))
        return {};
    QStringList found;
    for (const QString& candidate : candidates + NodesWithIdentity(identity, sysfsRoot)) {
        if (candidate.isEmpty() || found.contains(candidate))
            continue;
        // A USB adapter is there while sysfs shows it; any other port while its node is.
        if (!IsUsbIdentity(identity) && !QFileInfo::exists(candidate))
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
