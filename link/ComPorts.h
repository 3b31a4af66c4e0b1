#pragma once

#include <QString>

namespace rq70 {

// "COM" + n: the name the technician sees, whatever the operating system calls the device.
QString ComPortName(int n);

// The device path behind COMn, or "" when there is none. With RQ70_PORT_DIR set, COMn is the
// entry "COMn" of that folder (a link to a tty or pty) and nothing else exists; without it, COM1,
// COM2, ... are the serial ports the system reports, ttyS by number first, then ttyUSB, ttyACM and
// the rest, so the numbering stays the same from one start to the next.
QString ComPortDevicePath(int n);

// The port number in a text such as "COM3" (any case, blanks around it), or 0 when it names no
// port.
int PortNumberOf(const QString& text);

// Nonzero when COMn exists. Asked afresh on every call; never opens the port.
int ComPortExists(int n);

// A port as a script names it: "COMn" (any case), or the path of a serial device, such as
// /dev/ttyUSB0 or the stable /dev/serial/by-id/... link a production station wants.
struct PortArgument {
    QString name;       // as messages show it: "COM3", or the path as given
    QString devicePath; // what gets opened; "" when COMn does not exist
    int comNumber = 0;  // n for "COMn", else 0
};
PortArgument ResolvePortArgument(const QString& given);

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
