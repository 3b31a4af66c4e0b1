// What the serial link does for USB adapters and for its own wake-ups: the driver's low-latency
// setting asked for and given back, the adapter's latency timer read from sysfs, and waits that
// wake once per reply instead of once per byte.

#include "SimulatedDevice.h"

#include "link/AdapterLatency.h"
#include "link/BootLoaderBytes.h"
#include "link/LowLatency.h"
#include "link/SerialLink.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

using namespace rq70;

namespace {

// A built-in UART of this machine whose driver knows the low-latency flag, if there is one; tests
// that need a real serial driver are skipped without it.
QString SerialPortWithLowLatencyFlag() {
    for (const QString& path : {QStringLiteral("/dev/ttyS0"), QStringLiteral("/dev/ttyS1")}) {
        const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        const int flag = LowLatencyFlag(fd);
        ::close(fd);
        if (flag == 0)
            return path;
    }
    return {};
}

int FlagOf(const QString& path) {
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int flag = fd >= 0 ? LowLatencyFlag(fd) : -1;
    if (fd >= 0)
        ::close(fd);
    return flag;
}

// A folder laid out as sysfs shows USB serial adapters, and a device node named after the tty.
struct FakeSysfs {
    QTemporaryDir root;
    QString AddAdapter(const QString& tty, const QByteArray& latencyTimer) const {
        const QString folder = root.filePath("bus/usb-serial/devices/" + tty);
        QDir().mkpath(folder);
        QFile timer(folder + "/latency_timer");
        timer.open(QIODevice::WriteOnly);
        timer.write(latencyTimer);
        QFile node(root.filePath(tty));
        node.open(QIODevice::WriteOnly);
        return node.fileName();
    }
};

} // namespace

class LowLatencyTest : public QObject {
    Q_OBJECT

private slots:
    void theLinkAsksForLowLatencyAndGivesItBack() {
        const QString path = SerialPortWithLowLatencyFlag();
        if (path.isEmpty())
            QSKIP("no serial port here whose driver has a low-latency flag");
        SerialLink link;
        link.ApplyLineSettings();
        QVERIFY(link.OpenDevice(path, "COM1").ok());
        QCOMPARE(FlagOf(path), 1);
        link.Close();
        QCOMPARE(FlagOf(path), 0);
        // A flag that was already set is left set.
        const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        LowLatencyMode byHand(QString{});
        QVERIFY(byHand.Request(fd, path));
        QVERIFY(link.OpenDevice(path, "COM1").ok());
        link.Close();
        QCOMPARE(FlagOf(path), 1);
        byHand.Restore(fd);
        ::close(fd);
        QCOMPARE(FlagOf(path), 0);
        // A link that goes away with its port still open gives it back too.
        {
            SerialLink leftOpen;
            leftOpen.ApplyLineSettings();
            QVERIFY(leftOpen.OpenDevice(path, "COM1").ok());
            QCOMPARE(FlagOf(path), 1);
        }
        QCOMPARE(FlagOf(path), 0);
    }

    void aPtyHasNoSuchSettingAndWorksAsBefore() {
        SimulatedDevice device;
        QVERIFY(device.Start(1));
        SerialLink link;
        link.ApplyLineSettings();
        QVERIFY(link.OpenDevice(QDir(device.PortDir()).filePath("COM1"), "COM1").ok());
        QVERIFY(link.AdapterNotice().isEmpty());
        link.SendByte(ProbeCommand);
        QVERIFY(link.WaitForInput(1));
        QVERIFY(link.ReadByte().Is(AckByte));
        const int fd = ::open(device.PtyPath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QCOMPARE(LowLatencyFlag(fd), -1);
        ::close(fd);
    }

    void latencyTimerFromSysfs_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("ms");
        QTest::newRow("default of the common adapters") << QByteArray("16\n") << 16;
        QTest::newRow("low latency") << QByteArray("1\n") << 1;
        QTest::newRow("garbage") << QByteArray("fast\n") << -1;
        QTest::newRow("empty") << QByteArray() << -1;
    }
    void latencyTimerFromSysfs() {
        QFETCH(QByteArray, content);
        QFETCH(int, ms);
        FakeSysfs sysfs;
        const QString node = sysfs.AddAdapter("ttyUSB7", content);
        QCOMPARE(AdapterLatencyTimerMs(node, sysfs.root.path()), ms);
        QVERIFY(UsesUsbSerialDriver(node, sysfs.root.path()));
        // Reached through a link, as /dev/serial/by-id/... is.
        const QString link = sysfs.root.filePath("by-id-adapter");
        QVERIFY(QFile::link(node, link));
        QCOMPARE(AdapterLatencyTimerMs(link, sysfs.root.path()), ms);
    }

    void portsWithoutATimer() {
        FakeSysfs sysfs;
        sysfs.AddAdapter("ttyUSB0", "16\n");
        QCOMPARE(AdapterLatencyTimerMs(sysfs.root.filePath("missing"), sysfs.root.path()), -1);
        QFile other(sysfs.root.filePath("ttyS0"));
        QVERIFY(other.open(QIODevice::WriteOnly));
        QCOMPARE(AdapterLatencyTimerMs(other.fileName(), sysfs.root.path()), -1);
        QVERIFY(!UsesUsbSerialDriver(other.fileName(), sysfs.root.path()));
    }

    void theNoticeSaysWhatItCostsAndTheCure() {
        QVERIFY(AdapterLatencyNotice("COM3", 2).isEmpty());
        QVERIFY(AdapterLatencyNotice("COM3", -1).isEmpty());
        // A port's name is the user's text: a "%1" in it stays as it is and takes no number's place.
        const QString notice = AdapterLatencyNotice("/dev/serial/by-id/usb-%1", 16);
        QVERIFY2(notice.startsWith("/dev/serial/by-id/usb-%1 is a USB") && notice.contains("16 ms") &&
                     notice.contains("about 5 minutes") && notice.contains("99-rq70-usb-serial.rules"),
                 qPrintable(notice));
    }

    void aWaitWakesOncePerReply() {
        // At 4800 baud the eight echo bytes come about 2 ms apart: a wait woken by every byte
        // would count eight.
        SimulatedDevice device;
        QVERIFY(device.Start(1, {"--baud", "4800"}));
        SerialLink link;
        link.ApplyLineSettings();
        QVERIFY(link.OpenDevice(QDir(device.PortDir()).filePath("COM1"), "COM1").ok());
        link.SendByte(WriteProgramCommand);
        QVERIFY(link.WaitForInput(1));
        QVERIFY(link.ReadByte().Is(AckByte));
        for (const int byte : {0x00, 0x01, 1, 2, 3, 4, 5, 6, 7, 8})
            link.SendByte(byte);
        const qint64 before = link.DataWakeUps();
        QVERIFY(link.WaitForInput(8));
        QCOMPARE(link.BufferedCount(), 8);
        QVERIFY2(link.DataWakeUps() - before <= 2, qPrintable(QString::number(link.DataWakeUps() - before)));
        // Single bytes still come one by one to whoever takes them without a wait.
        link.SendByte(ProbeCommand);
        QTRY_VERIFY((link.TakeArrivedBytes(), link.BufferedCount() == 9));
    }
};

QTEST_MAIN(LowLatencyTest)
#include "tst_lowlatency.moc"
