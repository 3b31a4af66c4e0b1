// What the link reads and writes in sysfs, on small sysfs trees built in a temporary folder the
// way the kernel lays them out: what names a USB adapter when it comes back under another node, and
// the receive trigger of a built-in UART.

#include "link/ChosenPort.h"
#include "link/PortIdentity.h"
#include "link/ReceiveTrigger.h"

#include "SysfsTree.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace rq70;

namespace {

using Kind = DeviceIdentity::Kind;

// For messages of failed checks.
QByteArray Text(const DeviceIdentity& identity) {
    return QStringList{QString::number(int(identity.kind)),
                       identity.usbId,
                       identity.serialNumber,
                       identity.place,
                       identity.interfaceNumber,
                       identity.portNumber,
                       identity.holders.join(','),
                       identity.node}
        .join(' ')
        .toLocal8Bit();
}

} // namespace

class SysfsTest : public QObject {
    Q_OBJECT

private slots:
    void anAdapterIsNamedByItsSerialNumberWhateverNodeItHas() {
        SysfsTree sys;
        sys.AddUsbDevice("1-1", "0403", "6001", "A10K3B2C");
        sys.AddTty("ttyUSB0", "1-1", 0);
        const DeviceIdentity adapter = DeviceIdentityOf("/dev/ttyUSB0", sys.root.path());
        QVERIFY2(adapter.IsUsbAdapter() && adapter.usbId == "0403:6001" &&
                     adapter.serialNumber == "A10K3B2C" && adapter.place.isEmpty(),
                 Text(adapter));

        // Pulled while something still holds ttyUSB0, and plugged back in: it comes back as
        // ttyUSB1, on another port of the hub, and is still the same adapter.
        sys.Remove("ttyUSB0");
        QCOMPARE(NodesWithIdentity(adapter, sys.root.path()), QStringList());
        sys.AddUsbDevice("1-2", "0403", "6001", "A10K3B2C");
        sys.AddTty("ttyUSB1", "1-2", 0);
        QCOMPARE(DeviceIdentityOf("/dev/ttyUSB1", sys.root.path()), adapter);

        // Another adapter of the same make takes the old node: another device.
        sys.AddUsbDevice("1-3", "0403", "6001", "FT99ZZ01");
        sys.AddTty("ttyUSB0", "1-3", 0);
        QVERIFY(DeviceIdentityOf("/dev/ttyUSB0", sys.root.path()) != adapter);
        QCOMPARE(NodesWithIdentity(adapter, sys.root.path()), QStringList{"/dev/ttyUSB1"});
    }

    void portsOfOneAdapterAndAdaptersWithoutSerialNumberAreToldApart() {
        SysfsTree sys;
        // Two interfaces of one adapter, two ports behind one interface of another, and a modem
        // interface: every port is a device of its own.
        sys.AddUsbDevice("1-1", "0403", "6010", "FT2232X");
        sys.AddTty("ttyUSB0", "1-1", 0);
        sys.AddTty("ttyUSB1", "1-1", 1);
        sys.AddUsbDevice("1-4", "0557", "2008", "");
        sys.AddTty("ttyUSB2", "1-4", 0, 0);
        sys.AddTty("ttyUSB3", "1-4", 0, 1);
        sys.AddUsbDevice("1-5", "2341", "0043", "");
        sys.AddTty("ttyACM0", "1-5", 0);
        QList<DeviceIdentity> identities;
        for (const char* node :
             {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3", "/dev/ttyACM0"}) {
            const DeviceIdentity identity = DeviceIdentityOf(node, sys.root.path());
            QVERIFY2(identity.IsUsbAdapter() && !identities.contains(identity), Text(identity));
            identities << identity;
        }
        // Without a serial number an adapter is named by its place on the bus.
        QVERIFY2(identities[4].usbId == "2341:0043" && identities[4].place == "1-5", Text(identities[4]));
        QCOMPARE(NodesWithIdentity(identities[3], sys.root.path()), QStringList{"/dev/ttyUSB3"});

        // A built-in UART is its node; a node sysfs does not know too.
        sys.Write("devices/platform/serial8250/tty/ttyS0/type", "4");
        sys.Link("ttyS0", "devices/platform/serial8250/tty/ttyS0");
        const DeviceIdentity uart = DeviceIdentityOf("/dev/ttyS0", sys.root.path());
        QVERIFY2(uart.kind == Kind::Node && uart.node == "/dev/ttyS0", Text(uart));
        QCOMPARE(DeviceIdentityOf("/dev/ttyUSB9", sys.root.path()).kind, Kind::Node);
        QCOMPARE(DeviceIdentityOf("", sys.root.path()).kind, Kind::None);
    }

    void aDeviceIsFollowedOnlyWhereNothingElseAnswersToItsNames() {
        // Two adapters with one serial number, as cheap chips often ship.
        SysfsTree sys;
        const QString root = sys.root.path();
        sys.AddUsbDevice("1-1", "10c4", "ea60", "0001");
        sys.AddUsbDevice("1-2", "10c4", "ea60", "0001");
        sys.AddTty("ttyUSB0", "1-1", 0);
        sys.AddTty("ttyUSB1", "1-2", 0);
        const DeviceIdentity identity = DeviceIdentityOf("/dev/ttyUSB0", root);
        QVERIFY(DeviceIdentityOf("/dev/ttyUSB1", root) == identity);
        QCOMPARE(UsbPlaceOf("/dev/ttyUSB0", root), QString("1-1"));
        // By the serial number alone two nodes answer, and neither is taken.
        QCOMPARE(NodeOfDeviceNow(identity, {}, {"/dev/ttyUSB0"}, root), QString());
        QCOMPARE(NodeOfDeviceNow(identity, "1-1", {"/dev/ttyUSB0"}, root), QString("/dev/ttyUSB0"));
        // Pulled, and the other one takes its node: not followed there.
        sys.Remove("ttyUSB0");
        sys.Remove("ttyUSB1");
        sys.AddTty("ttyUSB0", "1-2", 0);
        QCOMPARE(NodeOfDeviceNow(identity, "1-1", {"/dev/ttyUSB0"}, root), QString());
        // Back at its own place under a new node: followed there.
        sys.AddTty("ttyUSB2", "1-1", 0);
        QCOMPARE(NodeOfDeviceNow(identity, "1-1", {"/dev/ttyUSB0"}, root), QString("/dev/ttyUSB2"));

        // A pty is followed while its other end is in sight, never by its number alone: numbers
        // are used again at once, by terminals too.
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const QString pty = QString::fromLocal8Bit(::ptsname(master));
        const DeviceIdentity seen = DeviceIdentityOf(pty, root);
        QVERIFY2(seen.kind == Kind::Pty && seen.holders == QStringList{QString::number(::getpid())},
                 Text(seen));
        QCOMPARE(NodeOfDeviceNow(seen, {}, {pty}, root), pty);
        QTemporaryDir noProcesses;
        const DeviceIdentity unseen = DeviceIdentityOf(pty, root, noProcesses.path());
        QCOMPARE(unseen.kind, Kind::UnseenPty);
        QVERIFY(unseen != seen);
        QCOMPARE(NodeOfDeviceNow(unseen, {}, {pty}, root, noProcesses.path()), QString());
        ::close(master);
    }

    void aChosenAdapterIsFollowedOnlyAtItsPlaceOnTheBus() {
        // The only adapter with its serial number when it is chosen: nothing in sight yet tells
        // that a twin may come.
        SysfsTree sys;
        QTemporaryDir noProcesses;
        sys.AddUsbDevice("1-1", "10c4", "ea60", "0001");
        sys.AddTty("ttyUSB0", "1-1", 0);
        ChosenPort chosen("COM2", "/dev/ttyUSB0", 2, "/dev/ttyUSB0");
        chosen.ReadSystemAt(sys.root.path(), noProcesses.path());
        chosen.LineUp();
        QCOMPARE(chosen.UsbSerial(), QString("0001"));
        QCOMPARE(chosen.FindNow(), QString("/dev/ttyUSB0"));

        // A twin is plugged in later at another socket: the chosen one is still where it was.
        sys.AddUsbDevice("1-2", "10c4", "ea60", "0001");
        sys.AddTty("ttyUSB1", "1-2", 0);
        QCOMPARE(chosen.FindNow(), QString("/dev/ttyUSB0"));
        // The chosen one is pulled: its twin is the only node with its serial number, and is
        // still not taken for it.
        sys.Remove("ttyUSB0");
        QCOMPARE(chosen.FindNow(), QString());
        // Back in its own socket, under a new node while the old one is held: found there.
        sys.AddTty("ttyUSB2", "1-1", 0);
        QCOMPARE(chosen.FindNow(), QString("/dev/ttyUSB2"));
        chosen.MoveTo("/dev/ttyUSB2");
        chosen.LineUp();
        QCOMPARE(chosen.FindNow(), QString("/dev/ttyUSB2"));
        // Moved to a socket of its own, it is not followed: only a search may say which it is.
        sys.Remove("ttyUSB2");
        sys.AddUsbDevice("1-3", "10c4", "ea60", "0001");
        sys.AddTty("ttyUSB3", "1-3", 0);
        sys.Remove("ttyUSB1");
        QCOMPARE(chosen.FindNow(), QString());
        QCOMPARE(chosen.UsbSerial(), QString("0001"));
    }

    void aUartsReceiveTriggerIsOneByteWhileThePortIsHeld() {
        SysfsTree sys;
        sys.Write("class/tty/ttyS1/rx_trig_bytes", "8");
        {
            ReceiveTrigger trigger(sys.root.path(), sys.notes.path());
            QCOMPARE(trigger.Lower("/dev/ttyS1", "COM2"), QString());
            QCOMPARE(sys.Read("class/tty/ttyS1/rx_trig_bytes"), QByteArray("1"));
            trigger.Restore();
            QCOMPARE(sys.Read("class/tty/ttyS1/rx_trig_bytes"), QByteArray("8"));
            // Held again, and given back however the holder ends.
            QCOMPARE(trigger.Lower("/dev/ttyS1", "COM2"), QString());
            QCOMPARE(sys.Read("class/tty/ttyS1/rx_trig_bytes"), QByteArray("1"));
        }
        QCOMPARE(sys.Read("class/tty/ttyS1/rx_trig_bytes"), QByteArray("8"));

        // A port without the attribute (no FIFO, a USB adapter, a pty): nothing at all.
        ReceiveTrigger trigger(sys.root.path(), sys.notes.path());
        QCOMPARE(trigger.Lower("/dev/ttyS2", "COM3"), QString());
        QCOMPARE(trigger.Lower("/dev/pts/1", "COM4"), QString());
        QVERIFY(!QFileInfo::exists(sys.Path("class/tty/ttyS2/rx_trig_bytes")));
        QCOMPARE(sys.Read("class/tty/ttyS1/rx_trig_bytes"), QByteArray("8"));
    }

    // A program killed while it held the trigger at one byte leaves a note of the trigger's own
    // value; the next program to hold the port takes that value as the port's own and puts it
    // back, where without the note it would have kept the 1.
    void aTriggerLeftLoweredByAKilledProgramComesBack() {
        SysfsTree sys;
        const QString notes = sys.notes.path();
        const QString attribute = "class/tty/ttyS1/rx_trig_bytes";
        const auto killedWhileHolding = [&] {
            const pid_t child = ::fork();
            if (child == 0) {
                ReceiveTrigger trigger(sys.root.path(), notes);
                trigger.Lower("/dev/ttyS1", "COM2");
                ::raise(SIGKILL);
            }
            int status = 0;
            return ::waitpid(child, &status, 0) == child && WIFSIGNALED(status) &&
                   WTERMSIG(status) == SIGKILL;
        };
        const auto noted = [&] { return QDir(notes).entryList(QDir::Files); };
        sys.Write(attribute, "8");
        QVERIFY(killedWhileHolding());
        QCOMPARE(sys.Read(attribute), QByteArray("1"));
        QCOMPARE(noted(), QStringList{"ttyS1.rx_trig_bytes"});
        {
            ReceiveTrigger next(sys.root.path(), notes);
            QCOMPARE(next.Lower("/dev/ttyS1", "COM2"), QString());
            QCOMPARE(sys.Read(attribute), QByteArray("1"));
            QCOMPARE(noted(), QStringList{"ttyS1.rx_trig_bytes"});
            // While its writer runs, a note is left alone by anyone else who meets the port (as
            // when a lock failed): the 1 is not taken for the port's own value.
            ReceiveTrigger other(sys.root.path(), notes);
            QCOMPARE(other.Lower("/dev/ttyS1", "COM2"), QString());
            other.Restore();
            QCOMPARE(noted(), QStringList{"ttyS1.rx_trig_bytes"});
        }
        QCOMPARE(sys.Read(attribute), QByteArray("8"));
        QCOMPARE(noted(), QStringList());

        // A value set by hand after the killed program had lowered it is the port's own.
        QVERIFY(killedWhileHolding());
        sys.Write(attribute, "4");
        {
            ReceiveTrigger next(sys.root.path(), notes);
            QCOMPARE(next.Lower("/dev/ttyS1", "COM2"), QString());
            QCOMPARE(sys.Read(attribute), QByteArray("1"));
        }
        QCOMPARE(sys.Read(attribute), QByteArray("4"));
        QCOMPARE(noted(), QStringList());
    }

    void aTriggerTheUpdaterMayNotLowerIsToldAndLeftAlone() {
        SysfsTree sys;
        QDir().mkpath(sys.Path("class/tty/ttyS0"));
        const QString attribute = sys.Path("class/tty/ttyS0/rx_trig_bytes");
        if (::geteuid() == 0) {
            // Root writes any file of a temporary folder: an attribute of the kernel's own that has
            // no store stands in, as the real one stands before a user without the udev rule.
            const QString readOnly = "/sys/kernel/uevent_seqnum";
            if (!QFileInfo::exists(readOnly))
                QSKIP("no read-only sysfs attribute to stand in");
            QVERIFY(QFile::link(readOnly, attribute));
        } else {
            sys.Write("class/tty/ttyS0/rx_trig_bytes", "8");
            QVERIFY(QFile::setPermissions(attribute, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
        }
        const QByteArray before = sys.Read("class/tty/ttyS0/rx_trig_bytes");
        ReceiveTrigger trigger(sys.root.path(), sys.notes.path());
        const QString notice = trigger.Lower("/dev/ttyS0", "cradle%1");
        // The port's name as the user gave it, "%1" and all; the numbers in their own places.
        QVERIFY2(notice.startsWith("cradle%1 is a built-in serial port") && notice.contains(" ms, and the") &&
                     notice.contains("seconds longer") && notice.contains("99-rq70-uart-fifo.rules"),
                 qPrintable(notice));
        trigger.Restore();
        QCOMPARE(sys.Read("class/tty/ttyS0/rx_trig_bytes"), before);
    }
};

QTEST_GUILESS_MAIN(SysfsTest)
#include "tst_sysfs.moc"
