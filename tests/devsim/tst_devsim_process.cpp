// The real rq70-devsim on a real pty, driven as the updater drives it: through the link, with
// POSIX I/O and with QSerialPort.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Generous: a loaded two-core machine may stall a process for a long time, and nothing here
// measures speed.
constexpr int WaitMs = 20000;

constexpr char Ack = '\xA0';

QByteArray Bytes(std::initializer_list<int> values) {
    QByteArray bytes;
    for (const int value : values)
        bytes.append(static_cast<char>(value));
    return bytes;
}

QByteArray WriteCommand(int address, const QByteArray& data) {
    return Bytes({0xA3, address & 0xFF, address >> 8}) + data;
}

// The host end of the line, opened through the link the way a serial port is opened.
class HostPort {
public:
    explicit HostPort(const QString& path) {
        fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios settings{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &settings) == 0) {
            ::cfmakeraw(&settings);
            ::cfsetspeed(&settings, B4800);
            ::tcsetattr(fd_, TCSANOW, &settings);
        }
    }
    // A line end opened elsewhere, such as a pty's master, taken over as it is.
    explicit HostPort(int fd) : fd_(fd) {}
    ~HostPort() { Close(); }
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    bool Write(const QByteArray& bytes) {
        return ::write(fd_, bytes.constData(), static_cast<std::size_t>(bytes.size())) == bytes.size();
    }

    // Reads until `count` bytes have come, the line hangs up, or WaitMs pass without a byte.
    QByteArray Read(int count) {
        QByteArray bytes;
        while (bytes.size() < count && WaitReadable()) {
            char buffer[256];
            const ssize_t got =
                ::read(fd_, buffer, std::min<std::size_t>(sizeof buffer, count - bytes.size()));
            if (got <= 0)
                break;
            bytes.append(buffer, got);
        }
        return bytes;
    }

    QByteArray Exchange(const QByteArray& bytes, int replyCount) {
        if (!Write(bytes))
            return "write failed";
        return Read(replyCount);
    }

    // True once reading reports the line gone: end of file, EIO or a hang-up.
    bool WaitForHangUp() {
        while (WaitReadable()) {
            char byte;
            const ssize_t got = ::read(fd_, &byte, 1);
            if (got == 0 || (got < 0 && errno == EIO))
                return true;
        }
        return hungUp_;
    }

private:
    bool WaitReadable() {
        pollfd entry{fd_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, WaitMs);
        hungUp_ = ready > 0 && (entry.revents & POLLHUP);
        return ready > 0;
    }

    int fd_ = -1;
    bool hungUp_ = false;
};

} // namespace

class DevsimProcessTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir folder_;
    QProcess simulator_;
    QString ptyPath_;

    QString LinkPath() const { return QDir(folder_.path()).filePath("COM7"); }
    QString DumpPath() const { return QDir(folder_.path()).filePath("dump.json"); }
    QString LogPath() const { return QDir(folder_.path()).filePath("bytes.log"); }

    // Starts the simulator on COM7 in the test's folder and waits for the pty line.
    bool Start(const QStringList& extra) {
        simulator_.start(RQ70_DEVSIM_PATH,
                         QStringList({"--port-dir", folder_.path(), "--port", "COM7"}) + extra);
        if (!simulator_.waitForStarted(WaitMs))
            return false;
        while (!simulator_.canReadLine()) {
            if (!simulator_.waitForReadyRead(WaitMs))
                return false;
        }
        ptyPath_ = QString::fromUtf8(simulator_.readLine()).trimmed();
        return ptyPath_.startsWith("/dev/pts/");
    }

    bool WaitForExit() {
        return simulator_.state() == QProcess::NotRunning || simulator_.waitForFinished(WaitMs);
    }

    QJsonObject ReadDump() {
        QFile file(DumpPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    struct Run {
        int exitCode;
        QByteArray out;
        QByteArray err;
    };
    static Run RunToEnd(const QStringList& arguments) {
        QProcess process;
        process.start(RQ70_DEVSIM_PATH, arguments);
        if (!process.waitForFinished(WaitMs) || process.exitStatus() != QProcess::NormalExit)
            return {-1, {}, {}};
        return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
    }

private slots:
    void init() {
        QVERIFY(folder_.isValid());
        QFile::remove(DumpPath());
        QFile::remove(LogPath());
        QFile::remove(LinkPath());
    }

    void cleanup() {
        if (simulator_.state() != QProcess::NotRunning) {
            simulator_.kill();
            simulator_.waitForFinished(WaitMs);
        }
    }

    void updateEndsWithTheFinishCommand() {
        QVERIFY(Start({"--exit-after-finish", "--dump", DumpPath()}));
        QCOMPARE(QFileInfo(LinkPath()).symLinkTarget(), ptyPath_);

        HostPort host(LinkPath());
        QVERIFY(host.IsOpen());
        QCOMPARE(host.Exchange(Bytes({0xF0}), 1), Bytes({0xA0}));
        QCOMPARE(host.Exchange(Bytes({0xA5, 0x00, 0x01}), 2), Bytes({0xA0, 0xA0}));
        const QByteArray data = Bytes({0x0A, 0x30, 0x0B, 0x00, 0xFF, 0xFF, 0x8C, 0x28});
        QCOMPARE(host.Exchange(WriteCommand(256, data), 9), Ack + data);
        QCOMPARE(host.Exchange(Bytes({0xA1, 0x05, 0x42}), 2), Bytes({0xA0, 0xA0}));
        QVERIFY(host.Write(Bytes({0xA8})));

        QVERIFY(WaitForExit());
        QCOMPARE(simulator_.exitStatus(), QProcess::NormalExit);
        QCOMPARE(simulator_.exitCode(), 0);
        QVERIFY(!QFileInfo(LinkPath()).isSymLink());

        const QJsonObject dump = ReadDump();
        QCOMPARE(dump["program"].toArray(),
                 QJsonArray({QJsonArray({256, 0x0A, 0x30}), QJsonArray({257, 0x0B, 0x00}),
                             QJsonArray({259, 0x8C, 0x28})}));
        const QJsonArray eeprom = dump["eeprom"].toArray();
        QCOMPARE(eeprom.size(), 256);
        for (int address = 0; address < 256; ++address)
            QCOMPARE(eeprom[address].toInt(), address == 5 ? 0x42 : 0xFF);
        QCOMPARE(dump["finish_seen"].toBool(), true);
        QCOMPARE(dump["commands"].toObject(),
                 QJsonObject(
                     {{"probe", 1}, {"read", 0}, {"erase", 1}, {"write", 1}, {"eeprom", 1}, {"finish", 1}}));
    }

    void terminationWritesTheDump() {
        QVERIFY(Start({"--dump", DumpPath()}));
        {
            HostPort host(LinkPath());
            QCOMPARE(host.Exchange(Bytes({0xF0}), 1), Bytes({0xA0}));
            QCOMPARE(host.Exchange(Bytes({0xA8}) + Bytes({0xF0}), 1), Bytes({0xA0}));
        }
        simulator_.terminate();
        QVERIFY(WaitForExit());
        QCOMPARE(simulator_.exitStatus(), QProcess::NormalExit);
        QCOMPARE(simulator_.exitCode(), 0);
        QVERIFY(!QFileInfo(LinkPath()).isSymLink());
        const QJsonObject dump = ReadDump();
        QCOMPARE(dump["program"].toArray(), QJsonArray());
        QCOMPARE(dump["finish_seen"].toBool(), true);
        QCOMPARE(dump["commands"].toObject()["probe"].toInt(), 2);
    }

    void hostsMayComeAndGo() {
        QVERIFY(Start({}));
        for (int round = 0; round < 3; ++round) {
            HostPort host(LinkPath());
            QVERIFY(host.IsOpen());
            QCOMPARE(host.Exchange(Bytes({0xA2, 208 + round}), 2), Ack + QByteArray(1, "RQ-"[round]));
        }
        QCOMPARE(simulator_.state(), QProcess::Running);
    }

    void serialPortTalksToIt() {
        QVERIFY(Start({"--baud", "4800", "--id", "Sim\\xE9"}));
        QSerialPort port;
        port.setPortName(LinkPath());
        QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
        QVERIFY(port.setBaudRate(QSerialPort::Baud4800));
        QVERIFY(port.setDataBits(QSerialPort::Data8));
        QVERIFY(port.setParity(QSerialPort::NoParity));
        QVERIFY(port.setStopBits(QSerialPort::OneStop));
        QVERIFY(port.setFlowControl(QSerialPort::NoFlowControl));

        QByteArray id;
        for (int address = 208; address < 213; ++address) {
            port.write(Bytes({0xA2, address}));
            QByteArray reply;
            while (reply.size() < 2 && port.waitForReadyRead(WaitMs))
                reply += port.readAll();
            QCOMPARE(reply.size(), 2);
            QCOMPARE(reply[0], Ack);
            id += reply[1];
        }
        QCOMPARE(id, QByteArray("Sim\xE9\0", 5));
    }

    // The device's end of a real line is a tty someone else made (a USB gadget's serial port): the
    // simulator serves it as it is, raw, and makes no pty and no link of its own.
    void servesAnExistingTty() {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const QString slavePath = QString::fromLatin1(::ptsname(master));
        // The slave stays cooked and echoing, as a tty nobody has set up yet is, until the
        // simulator makes it raw.
        HostPort host(master);

        simulator_.start(RQ70_DEVSIM_PATH, {"--tty", slavePath, "--exit-after-finish", "--dump", DumpPath()});
        QVERIFY(simulator_.waitForStarted(WaitMs));
        QTRY_VERIFY_WITH_TIMEOUT(simulator_.canReadLine(), WaitMs);
        QCOMPARE(QString::fromUtf8(simulator_.readLine()).trimmed(), slavePath);

        // A cooked line would change CR and LF, and take ^C, ^D, XON and XOFF for itself.
        const QByteArray data = Bytes({0x0D, 0x0A, 0xFF, 0x1F, 0x03, 0x11, 0x13, 0x04});
        QCOMPARE(host.Exchange(Bytes({0xF0}), 1), Bytes({0xA0}));
        QCOMPARE(host.Exchange(WriteCommand(0x100, data), 9), Ack + data);
        QVERIFY(host.Write(Bytes({0xA8})));
        QVERIFY(WaitForExit());
        QCOMPARE(simulator_.exitCode(), 0);
        QCOMPARE(ReadDump()["program"].toArray(),
                 QJsonArray({QJsonArray({256, 0x0D, 0x0A}), QJsonArray({257, 0xFF, 0x1F}),
                             QJsonArray({258, 0x03, 0x11}), QJsonArray({259, 0x13, 0x04})}));

        const Run both = RunToEnd({"--tty", slavePath, "--port-dir", folder_.path(), "--port", "COM7"});
        QCOMPARE(both.exitCode, 2);
        QVERIFY2(both.err.contains("--tty takes no --port-dir or --port"), both.err.constData());
    }

    void badArgumentsExitWithUsageError_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("nothing") << QStringList();
        QTest::newRow("unknown option") << QStringList({"--port-dir", "/tmp", "--port", "COM1", "--fast"});
        QTest::newRow("missing value") << QStringList({"--port-dir", "/tmp", "--port"});
        QTest::newRow("bad number") << QStringList(
            {"--port-dir", "/tmp", "--port", "COM1", "--baud", "fast"});
        QTest::newRow("bad port") << QStringList({"--port-dir", "/tmp", "--port", "ttyS0"});
        QTest::newRow("id too long") << QStringList(
            {"--port-dir", "/tmp", "--port", "COM1", "--id", QString(49, 'x')});
    }
    void badArgumentsExitWithUsageError() {
        QFETCH(QStringList, arguments);
        const Run run = RunToEnd(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.startsWith("rq70-devsim: ") && run.err.endsWith(" (try --help)\n") &&
                     run.err.count('\n') == 1,
                 run.err.constData());
    }

    void helpAndVersionExitSuccessfully() {
        const Run help = RunToEnd({"--help"});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.out.startsWith("Usage: rq70-devsim"));
        QVERIFY(help.err.isEmpty());
        const Run version = RunToEnd({"--version"});
        QCOMPARE(version.exitCode, 0);
        QCOMPARE(version.out, QByteArray("rq70-devsim " RQ70_VERSION "\n"));
        QVERIFY(version.err.isEmpty());
    }

    void linkIsMadeOnlyWhereItMayBe() {
        const Run missing = RunToEnd({"--port-dir", folder_.filePath("missing"), "--port", "COM7"});
        QCOMPARE(missing.exitCode, 1);
        QVERIFY2(missing.err.contains("cannot use the port folder"), missing.err.constData());

        QFile plain(LinkPath());
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.write("mine");
        plain.close();
        const Run refused = RunToEnd({"--port-dir", folder_.path(), "--port", "COM7"});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.err.contains("refusing to replace"), refused.err.constData());
        QVERIFY(plain.open(QIODevice::ReadOnly));
        QCOMPARE(plain.readAll(), QByteArray("mine"));
        plain.close();
        QVERIFY(plain.remove());

        // A link left behind by a simulator that was killed is simply replaced.
        QVERIFY(QFile::link("/dev/pts/999999", LinkPath()));
        QVERIFY(Start({}));
        QCOMPARE(QFileInfo(LinkPath()).symLinkTarget(), ptyPath_);
        HostPort host(LinkPath());
        QCOMPARE(host.Exchange(Bytes({0xF0}), 1), Bytes({0xA0}));
    }

    void pacedLineKeepsEveryByteInOrder() {
        QVERIFY(Start({"--baud", "4800"}));
        HostPort host(LinkPath());
        // Three blocks written in one go: the device takes the bytes in one at a time and must
        // answer each block whole before the next.
        QByteArray commands;
        QByteArray expected;
        for (int block = 0; block < 3; ++block) {
            QByteArray data;
            for (int i = 0; i < 8; ++i)
                data += static_cast<char>(block * 8 + i);
            commands += WriteCommand(256 + 4 * block, data);
            expected += Ack + data;
        }
        QCOMPARE(host.Exchange(commands, expected.size()), expected);
    }

    // Lower bounds only: the host's clock starts before it writes, and the device cannot answer
    // before the bytes have crossed the line and the delay has passed, so no load can break these.
    void pacingAndDelayHoldRepliesBack() {
        QVERIFY(Start({"--baud", "4800", "--delay", "200"}));
        HostPort host(LinkPath());
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(host.Exchange(Bytes({0xF0}), 1), Bytes({0xA0}));
        QVERIFY(clock.nsecsElapsed() >= 200'000'000 + 2 * 2'083'333);

        clock.restart();
        const QByteArray data(8, '\x11');
        QCOMPARE(host.Exchange(WriteCommand(256, data), 9), Ack + data);
        // Eleven bytes in; the ack and eight echo bytes out, each reply byte held 200 ms.
        QVERIFY(clock.nsecsElapsed() >= 200'000'000 + (11 + 8) * 2'083'333);
    }

    // Lower bounds again: however fast the device answers, the adapter holds each answer its
    // latency from when the answer crossed the line, and every probe's answer starts a new hold.
    void adapterHoldsEveryAnswer_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<qint64>("leastNs");
        QTest::newRow("instant line") << QStringList({"--adapter-latency", "150"}) << qint64(150'000'000);
        QTest::newRow("paced line and delay")
            << QStringList({"--baud", "4800", "--delay", "50", "--adapter-latency", "100"})
            << qint64(50'000'000 + 2 * 2'083'333 + 100'000'000);
    }
    void adapterHoldsEveryAnswer() {
        QFETCH(QStringList, options);
        QFETCH(qint64, leastNs);
        QVERIFY(Start(options));
        HostPort host(LinkPath());
        for (int probe = 0; probe < 3; ++probe) {
            QElapsedTimer clock;
            clock.start();
            QCOMPARE(host.Exchange(Bytes({0xF0}), 1), Bytes({0xA0}));
            const qint64 elapsed = clock.nsecsElapsed();
            QVERIFY2(elapsed >= leastNs,
                     qPrintable(QString("probe %1 answered after %2 ns").arg(probe).arg(elapsed)));
        }
    }

    void logShowsEveryByteInOrder() {
        QVERIFY(Start({"--log", LogPath()}));
        HostPort host(LinkPath());
        QCOMPARE(host.Exchange(Bytes({0x55, 0xF0}), 1), Bytes({0xA0}));
        QCOMPARE(host.Exchange(Bytes({0xA3}), 1), Bytes({0xA0}));
        const QByteArray data = Bytes({0, 1, 2, 3, 0xFC, 0xFD, 0xFE, 0xFF});
        QCOMPARE(host.Exchange(QByteArray(Bytes({0x00, 0x01}) + data), 8), data);
        simulator_.terminate();
        QVERIFY(WaitForExit());

        QFile log(LogPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromLatin1(log.readAll()).split('\n', Qt::SkipEmptyParts);
        QStringList expected = {"in 55", "in f0", "out a0", "in a3", "out a0", "in 00", "in 01"};
        for (const char byte : data)
            expected << QString("in %1").arg(static_cast<quint8>(byte), 2, 16, QChar('0'));
        for (const char byte : data)
            expected << QString("out %1").arg(static_cast<quint8>(byte), 2, 16, QChar('0'));
        QCOMPARE(lines.size(), expected.size());
        const QRegularExpression format("^(\\d+) ((?:in|out) [0-9a-f]{2})$");
        qint64 previous = 0;
        for (int i = 0; i < lines.size(); ++i) {
            const QRegularExpressionMatch match = format.match(lines[i]);
            QVERIFY2(match.hasMatch(), qPrintable(lines[i]));
            QCOMPARE(match.captured(2), expected[i]);
            QVERIFY(match.captured(1).toLongLong() >= previous);
            previous = match.captured(1).toLongLong();
        }
    }

    void hangUpClosesTheLine() {
        QVERIFY(Start({"--hangup-after-eeprom", "2", "--dump", DumpPath()}));
        HostPort host(LinkPath());
        QCOMPARE(host.Exchange(Bytes({0xA1, 0, 0x10}), 2), Bytes({0xA0, 0xA0}));
        QCOMPARE(host.Exchange(Bytes({0xA1, 1, 0x11}), 2), Bytes({0xA0, 0xA0}));
        // The answer to the last byte was read; the next command finds the line gone.
        host.Write(Bytes({0xA1}));
        QVERIFY(host.WaitForHangUp());
        QVERIFY(WaitForExit());
        QCOMPARE(simulator_.exitCode(), 0);
        QVERIFY(!QFileInfo(LinkPath()).isSymLink());
        const QJsonObject dump = ReadDump();
        QCOMPARE(dump["eeprom"].toArray()[0].toInt(), 0x10);
        QCOMPARE(dump["eeprom"].toArray()[1].toInt(), 0x11);
        QCOMPARE(dump["commands"].toObject()["eeprom"].toInt(), 2);
    }

    void hangUpAfterWritesDeliversTheLastEcho() {
        QVERIFY(Start({"--hangup-after-writes", "1", "--baud", "4800"}));
        HostPort host(LinkPath());
        const QByteArray data(8, '\x5A');
        QCOMPARE(host.Exchange(WriteCommand(256, data), 9), Ack + data);
        QVERIFY(host.WaitForHangUp());
        QVERIFY(WaitForExit());
        QCOMPARE(simulator_.exitCode(), 0);
    }

    void faultsReachTheLine() {
        QVERIFY(Start(
            {"--ignore-probes", "1", "--nak", "erase@288", "--nak-byte", "0x5A", "--drop-echo", "260"}));
        HostPort host(LinkPath());
        QVERIFY(host.Write(Bytes({0xF0})));
        QCOMPARE(host.Exchange(Bytes({0xF0}), 1), Bytes({0xA0}));
        // Had the first probe been answered, its ack would now stand before this reply.
        QCOMPARE(host.Exchange(Bytes({0xA2, 208}), 2), Bytes({0xA0, 'R'}));
        QCOMPARE(host.Exchange(Bytes({0xA5, 0x00, 0x01}), 2), Bytes({0xA0, 0xA0}));
        QCOMPARE(host.Exchange(Bytes({0xA5}), 1), Bytes({0x5A}));
        const QByteArray data = Bytes({1, 2, 3, 4, 5, 6, 7, 8});
        QCOMPARE(host.Exchange(WriteCommand(256, data), 9), Ack + data);
        QCOMPARE(host.Exchange(WriteCommand(260, data) + Bytes({0xF0}), 9), Ack + data.left(7) + Ack);
    }
};

QTEST_GUILESS_MAIN(DevsimProcessTest)
#include "tst_devsim_process.moc"
