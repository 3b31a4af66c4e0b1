#pragma once

#include "link/PortIdentity.h"

#include <QString>

namespace rq70 {

// The device a port names, once a search, a user or a script has chosen it, and the state of its
// line. Every later open of it (the update, the monitor's reopen, a station's next device) follows
// this device, not its COM number or old node: after an adapter is pulled, COM2 or even
// /dev/ttyUSB0 may name another adapter, and the chosen one may come back as /dev/ttyUSB1.
class ChosenPort {
public:
    ChosenPort() = default;
    // `name` is how messages call it ("COM3", or the path as given), `givenPath` what the name leads
    // to ("" for a COM number with nothing behind it), `comNumber` n for COMn (else 0). `node` is
    // the device node the path led to when the caller looked (a port list taken earlier); without
    // it, the node it leads to now. What names the device is read when it first opens.
    ChosenPort(const QString& name, const QString& givenPath, int comNumber = 0, const QString& node = {});

    QString Name() const { return name_; }
    QString GivenPath() const { return givenPath_; }
    int ComNumber() const { return comNumber_; }
    // The device node with every link followed: what gets opened, so that every path to one device
    // meets the same lock. "" when the port does not exist.
    QString Node() const { return node_; }
    // The path that leads to the device now, for messages while it is open: the path as given
    // while it still leads to the device's node (a stable /dev/serial/by-id link stays as it is),
    // else the node the device came back under (ttyUSB1 while the old ttyUSB0 is held).
    QString PathNow() const;
    // What names the device; Kind::None until the port has opened.
    DeviceIdentity Identity() const { return identity_; }
    // The USB serial number of the device's adapter, read with its identity when the port first
    // opened, so that it can be told after the adapter is gone; "" for none.
    QString UsbSerial() const { return identity_.serialNumber; }

    // The node that leads to this device now: its own node while that is still this device, else
    // the node its path leads to now, else, for a USB adapter, any node its identity shows up under.
    // "" while the device is gone, while only other devices answer to its names, or while two do.
    // A USB adapter is followed only at the place on the bus where it first opened: a twin with
    // the same serial number may be plugged in elsewhere at any time, and only the place tells
    // the two apart.
    QString FindNow() const;
    // The device came back under `node`.
    void MoveTo(const QString& node) { node_ = node; }

    // An open of the device succeeded: its line is up, and the device may still be inside a
    // command that an earlier run left unfinished (see DeviceResync.h). The first open reads what
    // names the device.
    void LineUp();
    // The line went away under the open port (adapter pulled, simulator gone): every later read
    // fails, even though the port still reports itself open. Kept after the port is closed, so the
    // monitor knows this port is its to open again; a port that never opened is not.
    void LineWentAway() { lineLost_ = true; }
    bool LineLost() const { return lineLost_; }
    bool NeedsResync() const { return needsResync_; }
    void MarkInSync() { needsResync_ = false; }
    // A reply did not come: the device may have missed bytes and be inside a command.
    void MarkOutOfStep() { needsResync_ = true; }

    // Where what names the device is read: sysfs and /proc, or trees that a test lays out the same
    // way in their place.
    void ReadSystemAt(const QString& sysfsRoot, const QString& procRoot) {
        sysfsRoot_ = sysfsRoot;
        procRoot_ = procRoot;
    }

private:
    QString name_;
    QString givenPath_;
    int comNumber_ = 0;
    QString node_;
    DeviceIdentity identity_;
    // A USB adapter's place on the bus ("1-1.2") when the port first opened.
    QString place_;
    QString sysfsRoot_ = QStringLiteral("/sys");
    QString procRoot_ = QStringLiteral("/proc");
    bool lineLost_ = false;
    bool needsResync_ = false;
};

} // namespace rq70
