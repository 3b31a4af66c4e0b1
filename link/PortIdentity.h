#pragma once

#include <QString>
#include <QStringList>

namespace rq70 {

// What names a serial device for as long as it exists, whatever node or COM number it has now.
// A USB adapter keeps its USB serial number (with vendor:product, and the interface and port number
// on adapters with several ports) when it is plugged in again, even when it comes back as ttyUSB1
// because something still holds the old ttyUSB0; an adapter without a serial number is named by its
// place on the bus. A pseudo-terminal (a simulated device) is named by the programs at its other
// end, which open a new one when they play an adapter plugged back in (a pty whose other end this
// user cannot see is named by nothing that may be followed). Any other port is its node.
struct DeviceIdentity {
    enum class Kind {
        // No device was named.
        None,
        // `usbId`, `serialNumber` (or, where the adapter has none, its `place` on the bus),
        // `interfaceNumber` and `portNumber`.
        UsbAdapter,
        // The processes that hold its other end: `holders`.
        Pty,
        // A pty whose other end this user cannot see: `node`, a number used again at once.
        UnseenPty,
        // Any other port: its `node`.
        Node,
    } kind = Kind::None;
    // "0403:6001"
    QString usbId;
    QString serialNumber;
    QString place;
    QString interfaceNumber;
    QString portNumber;
    QStringList holders;
    QString node;

    // Such a device may come back under another node.
    bool IsUsbAdapter() const { return kind == Kind::UsbAdapter; }
    friend bool operator==(const DeviceIdentity&, const DeviceIdentity&) = default;
};

// `canonicalNode` is the device node with every link followed; "" gives Kind::None.
DeviceIdentity DeviceIdentityOf(const QString& canonicalNode,
                                const QString& sysfsRoot = QStringLiteral("/sys"),
                                const QString& procRoot = QStringLiteral("/proc"));

// The device nodes (/dev/ttyUSB1, ...) whose USB adapter has `identity`, as the system shows them
// now under `sysfsRoot`.
QStringList NodesWithIdentity(const DeviceIdentity& identity,
                              const QString& sysfsRoot = QStringLiteral("/sys"));

// The place on the bus ("1-1.2") of the USB adapter behind the device node, or "" for a port that
// is no USB adapter.
QString UsbPlaceOf(const QString& canonicalNode, const QString& sysfsRoot = QStringLiteral("/sys"));

// The node a chosen device is under now, of `candidates` (its old node, where its path leads now)
// and every node whose USB adapter has `identity`: the one with that identity and, where `place` is
// given, at that place on the bus. "" when none is, and also when two nodes are (two adapters
// that share a serial number): a device is followed, never guessed.
QString NodeOfDeviceNow(const DeviceIdentity& identity, const QString& place, const QStringList& candidates,
                        const QString& sysfsRoot = QStringLiteral("/sys"),
                        const QString& procRoot = QStringLiteral("/proc"));

} // namespace rq70
