#pragma once

#include "link/ChosenPort.h"

#include <QList>
#include <QString>

namespace rq70 {

// "COM" + n: the name the technician sees, whatever the operating system calls the device.
QString ComPortName(int n);

// The device path behind COMn, or "" when there is none. With RQ70_PORT_DIR set, COMn is the
// entry "COMn" of that folder (a link to a tty or pty) and nothing else exists; without it, COM1,
// COM2, ... are the serial ports the system reports, ttyS by number first, then ttyUSB, ttyACM and
// the rest, so the numbering stays the same from one start to the next.
QString ComPortDevicePath(int n);

// Where COMn is looked for: with RQ70_PORT_DIR set, the entry "COMn" of that folder, whether or
// not it is there now; without it, the device path behind COMn now ("" for none).
QString ComPortEntry(int n);

// The port number in a text such as "COM3" (any case, blanks around it), or 0 when it names no
// port.
int PortNumberOf(const QString& text);

// Nonzero when COMn exists. Asked afresh on every call; never opens the port.
int ComPortExists(int n);

// A port as a script names it: "COMn" (any case), or the path of a serial device, such as
// /dev/ttyUSB0 or the stable /dev/serial/by-id/... link a production station wants. Its name is
// "COM3" or the path as given; a COM number with nothing behind it leads to no device.
ChosenPort ResolvePortArgument(const QString& given);

// COM`first` to COM`last` as they are now, each existing one with the device node it leads to,
// taken in one look: listing ports may open them to probe them, so a port held open while the list
// is asked again can drop out of it and move every later number.
QList<ChosenPort> ListComPorts(int first, int last);

// What the system knows of the serial device at `devicePath` (followed through links): for USB
// adapters maker, product, serial number and vendor:product ids; all empty for other ports.
struct PortFacts {
    QString manufacturer;
    QString product;
    QString serialNumber;
    QString usbId; // "0403:6001", or ""
};
PortFacts DescribePort(const QString& devicePath);

} // namespace rq70
