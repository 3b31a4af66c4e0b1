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

// Nonzero when COMn exists. Asked afresh on every call; never opens the port.
int ComPortExists(int n);

} // namespace rq70
