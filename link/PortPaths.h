#pragma once

#include <QString>
#include <QStringList>

namespace rq70 {

// Where a path leads as far as can be known now, also while its device is not there: every link
// on the way that exists is followed, and so are the folders it passes through. Two names with
// the same answer lead to one device whenever it is there: DIR/COM1 and ALIAS/COM1 with ALIAS a
// link to DIR, or two links to one node, before or after the node exists.
QString WherePathLeads(const QString& path);

// True for the names the kernel gives USB serial ports (/dev/ttyUSBn, /dev/ttyACMn): it numbers
// them in the order the adapters are plugged in, so one name may lead to another cradle tomorrow.
bool IsMovingKernelName(const QString& path);

// The links udev keeps under `serialFolder` (/dev/serial) that lead to `node` today: by-path/
// names the USB socket an adapter is plugged into, by-id/ the adapter by its serial number.
struct StableLinks {
    QStringList byPath;
    QStringList byId;
};
StableLinks StableLinksTo(const QString& node, const QString& serialFolder = QStringLiteral("/dev/serial"));

} // namespace rq70
