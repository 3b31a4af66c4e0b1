#pragma once

#include <QString>
#include <QStringList>

namespace rq70 {

// What names a serial device for as long as it exists, whatever node or COM number it has now.
// A USB adapter keeps its USB serial number (with vendor:product, and the interface and port number
// on adapters with several ports) when it is plugged in again, even when it comes back as ttyUSB1
// because something still holds the old ttyUSB0; an adapter without a serial number is named by its
// place on the bus. A pseudo-terminal (a simulated device) is named by the programs at its other
// end, which open a new one when they play an adapter plugged back in. Any other port is its node.
// `canonicalNode` is the device node with every link followed; "" for none gives "".
QString DeviceIdentityOf(const QString& canonicalNode, const QString& sysfsRoot = QStringLiteral("/sys"),
                         const QString& procRoot = QStringLiteral("/proc"));

// True for the identity of a USB adapter: such a device may come back under another node.
bool IsUsbIdentity(const QString& identity);

// The device nodes (/dev/ttyUSB1, ...) whose USB adapter has `identity`, as the system shows them
// now under `sysfsRoot`.
QStringList NodesWithIdentity(const QString& identity, const QString& sysfsRoot = QStringLiteral("/sys"));

} // namespace rq70
