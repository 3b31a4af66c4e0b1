// The serial link against a simulated boot loader on a pseudo-terminal, through the real
// QSerialPort code: COM names, line settings, byte traffic, the waits, the presence check and the
// identification query.

#include "SimulatedDevice.h"

#include "link/BootLoaderBytes.h"
#include "link/ComPorts.h"
#include "link/ConnectionMonitor.h"
#include "link/DeviceQuery.h"
#include "link/PortSearch.h"
#include "link/SerialLink.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <termios.h>
#include <unistd.h>

using namespace rq70;

namespace {

// A link on COM1 of a freshly started simulated device.
struct Bench {
    SimulatedDevice device;
    SerialLink link;

    bool Start(const QStringList& options = {}) {
        if (!device.Start(1, options))
            return false;
        qputenv("RQ70_PORT_DIR", device.PortDir().toLocal8Bit());
        link.ApplyLineSettings();
        return link.SelectAndOpen(1).ok();
    }
};

// One write-program exchange: command, acknowledge, address, 8 data bytes; returns the echo.
QByteArray WriteBlock(SerialLink& link, int address, const QByteArray& data) {
    link.SendByte(WriteProgramCommand);
    link.WaitForInput(1);
    if (!link.ReadByte().Is(AckByte))
        return "no acknowledge";
    link.SendByte(address & 0xFF);
    link.SendByte(address >> 8);
    for (const char c : data)
        link.SendByte(static_cast<std::uint8_t>(c));
    link.WaitForInput(8);
    QByteArray echo;
    for (int i = 0; i < 8; ++i) {
        const ByteRead read = link.ReadByte();
        if (read.kind == ByteRead::Byte)
            echo += static_cast<char>(read.value);
    }
    return echo;
}

// The search's window as a test sees it: `onLines` runs whenever the search shows its lines.
struct WatchingView : DetectionView {
    std::function<void(const QString&)> onLines;
    void ShowDetectionWindow() override {}
    void SetLines(const QString& label1, const QString&) override {
        if (onLines)
            onLines(label1);
    }
    void ShowAbortButton() override {}
    void ShowOKButton() override {}
    void SetMainOKEnabled(bool) override {}
    void SelectPortEntry(const QString&) override {}
    void ShowPortWarning(const QString&) override {}
};

} // namespace

class SerialLinkTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { qunsetenv("RQ70_PORT_DIR"); }

    void comPortsAreTheEntriesOfThePortFolder() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QDir dir(folder.path());
        QVERIFY(QFile::link("/dev/null", dir.filePath("COM3")));
        QVERIFY(QFile::link("/dev/null", dir.filePath("COM10")));
        QVERIFY(QFile::link(dir.filePath("gone"), dir.filePath("COM4"))); // simulator that stopped
        QVERIFY(QFile::link("/dev/null", dir.filePath("COM05")));
        qputenv("RQ70_PORT_DIR", folder.path().toLocal8Bit());

        QList<int> existing;
        for (int n = 0; n <= 21; ++n) {
            if (ComPortExists(n))
                existing << n;
        }
        QCOMPARE(existing, QList<int>({3, 10}));
        QCOMPARE(ComPortName(10), QStringLiteral("COM10"));
        QCOMPARE(ComPortDevicePath(10), dir.filePath("COM10"));
        QCOMPARE(ComPortDevicePath(4), QString());
    }

    void portOpensRawAt4800Baud() {
        Bench bench;
        QVERIFY(bench.Start());
        QVERIFY(bench.link.IsOpen());
        QCOMPARE(bench.link.CommPort(), 1);

        const int fd =
            ::open(bench.device.PtyPath().toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        termios settings{};
        QCOMPARE(::tcgetattr(fd, &settings), 0);
        ::close(fd);
        QCOMPARE(cfgetispeed(&settings), speed_t(B4800));
        QCOMPARE(cfgetospeed(&settings), speed_t(B4800));
        QCOMPARE(settings.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
        QCOMPARE(settings.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF), tcflag_t(0));
        QCOMPARE(settings.c_oflag & OPOST, tcflag_t(0));
        QCOMPARE(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
    }

    void everyByteValuePassesBothWays() {
        Bench bench;
        QVERIFY(bench.Start());
        // 32 blocks of 8 bytes carry 0x00..0xFF out; the device echoes each block back.
        for (int block = 0; block < 32; ++block) {
            QByteArray data;
            for (int i = 0; i < 8; ++i)
                data += static_cast<char>(block * 8 + i);
            QCOMPARE(WriteBlock(bench.link, 256 + 4 * block, data), data);
        }
        QVERIFY(bench.device.Stop());
        QCOMPARE(bench.device.CommandCount("write"), 32);
    }

    void waitForInputYieldsEvenWhenTheBytesAreThere() {
        Bench bench;
        QVERIFY(bench.Start());
        bench.link.SendByte(ProbeCommand);
        QVERIFY(bench.link.WaitForInput(1));
        QCOMPARE(bench.link.BufferedCount(), 1);

        bool yielded = false;
        QTimer::singleShot(0, [&] { yielded = true; });
        QVERIFY(bench.link.WaitForInput(1));
        QVERIFY(yielded);
        QCOMPARE(bench.link.BufferedCount(), 1); // the wait reads nothing
    }

    void waitForInputEndsWithTheLastByte() {
        Bench bench;
        QVERIFY(bench.Start({"--delay", "50"}));
        QElapsedTimer clock;
        clock.start();
        bench.link.SendByte(ProbeCommand);
        QVERIFY(bench.link.WaitForInput(1, 10000));
        QCOMPARE(bench.link.BufferedCount(), 1);
        // Far below the wait's own limit: it ended on the byte, not on the deadline.
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    }

    void waitForInputGivesUpAtTheDeadline() {
        Bench bench;
        QVERIFY(bench.Start({"--drop-echo", "256"}));
        bool windowEventRan = false;
        QTimer::singleShot(20, [&] { windowEventRan = true; });
        bench.link.SendByte(WriteProgramCommand);
        QVERIFY(bench.link.WaitForInput(1));
        QVERIFY(bench.link.ReadByte().Is(AckByte));
        for (const int byte : {0x00, 0x01, 1, 2, 3, 4, 5, 6, 7, 8})
            bench.link.SendByte(byte);

        // Seven of eight echo bytes come: the wait runs to its deadline and leaves them buffered.
        QElapsedTimer clock;
        clock.start();
        QVERIFY(bench.link.WaitForInput(8, 300));
        QVERIFY(clock.elapsed() >= 300);
        QVERIFY(clock.elapsed() < 5000);
        QCOMPARE(bench.link.BufferedCount(), 7);
        QVERIFY(windowEventRan);
    }

    // A wait run by a window event inside another wait keeps its own deadline, and so does the
    // wait around it.
    void aWaitInsideAWaitKeepsItsOwnDeadline() {
        Bench bench;
        QVERIFY(bench.Start({"--silent"}));
        qint64 innerMs = -1;
        QTimer::singleShot(10, [&] {
            QElapsedTimer inner;
            inner.start();
            bench.link.WaitForInput(1, 50);
            innerMs = inner.elapsed();
        });
        QElapsedTimer outer;
        outer.start();
        bench.link.SendByte(ProbeCommand);
        QVERIFY(bench.link.WaitForInput(1, 1000));
        QVERIFY(outer.elapsed() >= 1000);
        QVERIFY(innerMs >= 50);
        QVERIFY2(innerMs < 500, qPrintable(QString::number(innerMs)));
    }

    void singleByteReadsAndTheFlush() {
        Bench bench;
        QVERIFY(bench.Start());
        bench.link.SendByte(ProbeCommand);
        bench.link.SendByte(ReadByteCommand);
        QVERIFY(bench.link.WaitForInput(2));
        QCOMPARE(bench.link.BufferedCount(), 2);

        const ByteRead first = bench.link.ReadByte();
        QVERIFY(first.Is(AckByte));
        QCOMPARE(bench.link.ReceivedText, QByteArray("\xA0"));
        QCOMPARE(bench.link.BufferedCount(), 1);

        // The read command's acknowledge is still there; the flush takes it.
        QVERIFY(bench.link.FlushInput());
        QCOMPARE(bench.link.ReceivedText, QByteArray("\xA0"));
        QCOMPARE(bench.link.BufferedCount(), 0);
        QCOMPARE(bench.link.ReadByte().kind, ByteRead::Nothing);
        QCOMPARE(bench.link.ReceivedText, QByteArray());
    }

    // Bytes go straight into the driver; what it has no room for is queued behind them, and later
    // sends queue behind that, so the line carries every byte once, in the order sent. A line
    // that refuses a write outright has gone.
    void sendsKeepTheirOrderWhenTheDriverIsFull() {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        SerialLink link;
        link.ApplyLineSettings();
        QVERIFY(link.OpenDevice(QString::fromLocal8Bit(::ptsname(master)), "COM1").ok());

        // Far more than a pty's driver holds while nobody reads the other end.
        QByteArray sent;
        for (int chunk = 0; chunk < 400; ++chunk) {
            QByteArray bytes(1000, Qt::Uninitialized);
            for (int i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<char>((chunk * 1000 + i) % 251);
            QVERIFY(link.SendBytes(bytes));
            sent += bytes;
        }
        QByteArray arrived;
        QElapsedTimer clock;
        clock.start();
        while (arrived.size() < sent.size() && clock.elapsed() < 20000) {
            char buffer[65536];
            const ssize_t count = ::read(master, buffer, sizeof buffer);
            if (count > 0)
                arrived.append(buffer, count);
            else
                QTest::qWait(1); // QSerialPort hands over what it holds as room comes
        }
        QCOMPARE(arrived.size(), sent.size());
        QVERIFY(arrived == sent);

        ::close(master);
        QVERIFY(!link.SendByte(ProbeCommand));
        QVERIFY(link.LineLost());
        QCOMPARE(link.ReadByte().kind, ByteRead::Failed);
    }

    void closedPortFailsEveryOperation() {
        SerialLink link;
        QVERIFY(!link.IsOpen());
        QVERIFY(!link.FlushInput());
        QVERIFY(!link.SendByte(ProbeCommand));
        QCOMPARE(link.ReadByte().kind, ByteRead::Failed);
        QCOMPARE(link.BufferedCount(), -1);
        QVERIFY(!link.WaitForInput(1));
        QVERIFY(!CheckPresence(link));
        QCOMPARE(QueryDeviceInfo(link, DeviceInfoAddress), std::nullopt);
    }

    void aLineThatHangsUpFailsThePort() {
        Bench bench;
        QVERIFY(bench.Start({"--hangup-after-writes", "1"}));
        QCOMPARE(WriteBlock(bench.link, 256, QByteArray(8, 'x')), QByteArray(8, 'x'));
        QVERIFY(bench.device.WaitForExit());
        // The port still says it is open, but nothing read from it may count any more.
        QTRY_COMPARE(bench.link.BufferedCount(), -1);
        QCOMPARE(bench.link.ReadByte().kind, ByteRead::Failed);
        QVERIFY(!bench.link.WaitForInput(1));
        QVERIFY(!CheckPresence(bench.link));
    }

    // The monitor opens again only a port whose line went away under it, never one that failed
    // to open when it was chosen (in use by another program, say) and is free later.
    void monitorReopensOnlyAPortThatWasLost() {
        Bench bench;
        QVERIFY(bench.Start());
        const QString com2 = QDir(bench.device.PortDir()).filePath("COM2");
        QVERIFY(QFile::link(bench.device.PtyPath(), com2));
        bench.link.Close();
        {
            QSerialPort other(bench.device.PtyPath());
            QVERIFY(other.open(QIODevice::ReadWrite));
            QVERIFY(!bench.link.SelectAndOpen(2).ok());
        }
        QCOMPARE(MonitorTick(bench.link), QStringLiteral("not connected to RQ-70"));
        QVERIFY(!bench.link.IsOpen());

        QVERIFY(bench.link.SelectAndOpen(1).ok());
        QVERIFY(bench.device.Signal(SIGUSR1));
        QTRY_VERIFY(bench.link.LineLost());
        QVERIFY(bench.device.Signal(SIGUSR2));
        QTRY_COMPARE(MonitorTick(bench.link), QStringLiteral("connected to RQ-70"));
        QVERIFY(!bench.link.LineLost());
    }

    // Where listing ports probes them, a port the search holds drops out of the list and every
    // later number moves up: the search goes by the list it took before it opened any port.
    void searchGoesByTheListItTookFirst() {
        SimulatedDevice silent;
        SimulatedDevice device;
        QVERIFY(silent.Start(1, {"--silent"}));
        QVERIFY(device.Start(2, {}, silent.PortDir()));
        qputenv("RQ70_PORT_DIR", silent.PortDir().toLocal8Bit());
        const QDir dir(silent.PortDir());
        WatchingView view;
        view.onLines = [&](const QString& line) {
            if (line == QLatin1String("Trying COM1."))
                QVERIFY(::rename(qPrintable(dir.filePath("COM2")), qPrintable(dir.filePath("COM1"))) == 0);
        };
        SerialLink link;
        link.ApplyLineSettings();
        bool abortRequested = false;
        LongOperation running = LongOperation::None;
        const SearchResult result = SearchForDevice(link, abortRequested, running, view, 100);
        QCOMPARE(result.outcome, SearchResult::Found);
        QCOMPARE(result.port, 2);
        QCOMPARE(result.identification.value_or(QString()), QStringLiteral("RQ-70 Boot 1.0"));
        QCOMPARE(link.Port().Node(), device.PtyPath());
        QVERIFY(!QFileInfo::exists(dir.filePath("COM2")));
        link.Close();
        QVERIFY(silent.Stop());
        QCOMPARE(silent.CommandCount("probe"), 2);
    }

    void monitorTimerTicksOnlyWhenOn() {
        Bench bench;
        QVERIFY(bench.Start({"--silent"}));
        QSignalSpy ticks(&bench.link.Timer2, &QTimer::timeout);
        QVERIFY(!bench.link.MonitorTimerEnabled());
        bench.link.SetMonitorTimer(false);
        bench.link.WaitForInput(1, 450);
        QCOMPARE(ticks.count(), 0);

        bench.link.SetMonitorTimer(true);
        QVERIFY(bench.link.MonitorTimerEnabled());
        QTRY_VERIFY(ticks.count() >= 2);
        bench.link.SetMonitorTimer(false);
        const qsizetype seen = ticks.count();
        bench.link.WaitForInput(1, 450);
        QCOMPARE(ticks.count(), seen);
    }

    void openFailures() {
        Bench bench;
        QVERIFY(bench.Start());
        // A number without a port.
        const OpenResult missing = bench.link.SelectAndOpen(2);
        QCOMPARE(missing.failure, OpenFailure::Missing);
        QVERIFY(!bench.link.IsOpen());
        QCOMPARE(bench.link.CommPort(), 2);

        // A port that another program holds: the "already open" failure, 8005.
        QSerialPort other(bench.device.PtyPath());
        QVERIFY(other.open(QIODevice::ReadWrite));
        const OpenResult held = bench.link.SelectAndOpen(1);
        QCOMPARE(held.failure, OpenFailure::AlreadyOpen);
        QCOMPARE(held.number, PortAlreadyOpen);
        QVERIFY2(held.description.contains("COM1") && held.description.contains("in use"),
                 qPrintable(held.description));
        other.close();
        QVERIFY(bench.link.SelectAndOpen(1).ok());
        QVERIFY(CheckPresence(bench.link));
    }

    void noPermissionIsToldApartFromInUse() {
        // The check itself, run where the process may not open the device.
        if (qEnvironmentVariableIsSet("RQ70_NO_PERMISSION_CASE")) {
            SerialLink link;
            const OpenResult result = link.SelectAndOpen(1);
            QCOMPARE(result.failure, OpenFailure::NoPermission);
            QVERIFY2(result.description.contains("No permission") && result.description.contains("COM1") &&
                         result.description.contains("group 'root'"),
                     qPrintable(result.description));
            return;
        }
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        QFile device(QDir(folder.path()).filePath("COM1"));
        QVERIFY(device.open(QIODevice::WriteOnly));
        device.close();
        QVERIFY(device.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                         QFile::ReadOther | QFile::ExeOther));
        // Root may open anything: run the case again as an unprivileged user.
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (::geteuid() != 0 || setpriv.isEmpty())
            QSKIP("needs root and setpriv to run the case as another user");
        QProcess inner;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("RQ70_NO_PERMISSION_CASE", "1");
        environment.insert("RQ70_PORT_DIR", folder.path());
        inner.setProcessEnvironment(environment);
        inner.setProcessChannelMode(QProcess::ForwardedChannels);
        inner.start(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups",
                              QCoreApplication::applicationFilePath(), "noPermissionIsToldApartFromInUse"});
        QVERIFY(inner.waitForFinished(30000));
        QCOMPARE(inner.exitCode(), 0);
    }

    void presenceCheck() {
        Bench bench;
        QVERIFY(bench.Start({"--nak", "probe", "--nak-byte", "0xA1"}));
        QVERIFY(!CheckPresence(bench.link));
        QCOMPARE(bench.link.ReceivedText, QByteArray("\xA1"));

        Bench silent;
        QVERIFY(silent.Start({"--silent"}));
        QVERIFY(!CheckPresence(silent.link, 100));
        QCOMPARE(silent.link.ReceivedText, QByteArray());

        Bench present;
        QVERIFY(present.Start());
        QVERIFY(CheckPresence(present.link));
        QCOMPARE(present.link.ReceivedText, QByteArray("\xA0"));
        // A check on a port that is no longer open is absent, whatever the last one received.
        present.link.Close();
        QVERIFY(!CheckPresence(present.link));
    }

    void identificationText_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("start");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("readCommands");
        QTest::newRow("default text") << QStringList() << 208 << "RQ-70 Boot 1.0" << 15;
        QTest::newRow("three letters") << QStringList{"--id", "ABC"} << 208 << "ABC" << 4;
        QTest::newRow("0x00 first") << QStringList{"--id", ""} << 208 << "" << 1;
        QTest::newRow("0xFF first") << QStringList{"--id", "\\xFF"} << 208 << "" << 1;
        QTest::newRow("48 characters, no terminator")
            << QStringList{"--id", QString(48, 'Z')} << 208 << QString(48, 'Z') << 48;
        QTest::newRow("Windows-1252 bytes")
            << QStringList{"--id", "\\x80 \\xE9\\x99"} << 208 << QStringLiteral("\u20AC \u00E9\u2122") << 5;
        QTest::newRow("third read refused")
            << QStringList{"--nak", "read@210"} << 208 << "no device information found" << 3;
        QTest::newRow("start beyond 255") << QStringList() << 256 << "" << 0;
        QTest::newRow("start at 250") << QStringList{"--id", QString(48, 'Q')} << 250 << QString(6, 'Q') << 6;
    }
    void identificationText() {
        QFETCH(QStringList, options);
        QFETCH(int, start);
        QFETCH(QString, expected);
        QFETCH(int, readCommands);
        Bench bench;
        QVERIFY(bench.Start(options));
        QCOMPARE(QueryDeviceInfo(bench.link, start), std::optional<QString>(expected));
        QVERIFY(bench.device.Stop());
        QCOMPARE(bench.device.CommandCount("read"), readCommands);
    }

    void identificationFromASilentDevice() {
        Bench bench;
        QVERIFY(bench.Start({"--silent"}));
        QCOMPARE(QueryDeviceInfo(bench.link, DeviceInfoAddress, 50),
                 std::optional<QString>(NoDeviceInformation));
    }

    void identificationFlushesFirst() {
        Bench bench;
        QVERIFY(bench.Start());
        // Stale acknowledges in the buffer must not pass for the query's replies.
        bench.link.SendByte(ProbeCommand);
        bench.link.SendByte(ProbeCommand);
        QVERIFY(bench.link.WaitForInput(2));
        QCOMPARE(QueryDeviceInfo(bench.link, DeviceInfoAddress), std::optional<QString>("RQ-70 Boot 1.0"));
    }
};

QTEST_GUILESS_MAIN(SerialLinkTest)
#include "tst_seriallink.moc"
