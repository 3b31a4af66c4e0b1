// rq70-flash as scripts and production lines run it: the built program against simulated devices
// on ptys, several at once, with its output, its exit statuses and the update record it keeps.

#include "AppFixture.h"
#include "PseudoTerminal.h"

#include "image/HexLoader.h"
#include "image/ScrambledFile.h"
#include "link/BootLoaderBytes.h"
#include "record/RecordFile.h"
#include "record/RecordHistory.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QSerialPort>
#include <QSysInfo>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace rq70;

namespace {

struct FlashRun {
    int status = -1;
    QString out;
    QString err;
};

// A port folder for simulated devices and the runs of rq70-flash that see it as their COM ports.
// Updates go to a record in the folder unless a run names another.
struct Bench {
    QTemporaryDir folder;
    QString record = folder.filePath("updates.jsonl");
    // Where the devices' COMn links are: the folder itself, unless a test names another.
    QString portDir = folder.path();
    std::vector<std::unique_ptr<SimulatedDevice>> devices;

    SimulatedDevice& Add(int n, const QStringList& options = {}) {
        devices.push_back(std::make_unique<SimulatedDevice>());
        if (!devices.back()->Start(n, options, portDir))
            qFatal("simulator on COM%d did not start", n);
        return *devices.back();
    }
    // `fileSizeLimit`: the largest file rq70-flash may write, in bytes, as a full disk would stop it;
    // 0 for none.
    void Start(QProcess& flash, const QStringList& arguments, qint64 fileSizeLimit = 0) const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("RQ70_PORT_DIR", portDir);
        environment.insert("RQ70_UPDATE_RECORD", record);
        environment.insert("RQ70_DEV_SERIAL", folder.filePath("serial"));
        flash.setProcessEnvironment(environment);
        if (fileSizeLimit > 0)
            flash.start("prlimit",
                        QStringList{QStringLiteral("--fsize=%1").arg(fileSizeLimit), RQ70_FLASH_PATH} +
                            arguments);
        else
            flash.start(RQ70_FLASH_PATH, arguments);
    }
    FlashRun Run(const QStringList& arguments, qint64 fileSizeLimit = 0) const {
        QProcess flash;
        Start(flash, arguments, fileSizeLimit);
        if (!flash.waitForFinished(30000) || flash.exitStatus() != QProcess::NormalExit)
            return {-1, {}, "rq70-flash did not end by itself"};
        return {flash.exitCode(), QString::fromUtf8(flash.readAllStandardOutput()),
                QString::fromUtf8(flash.readAllStandardError())};
    }
};

const FirmwareImages& SampleImages() {
    static const FirmwareImages images = [] {
        FirmwareImages loaded;
        LoadHexFile(RQ70_SAMPLE_UPDATE_FILE, loaded, {});
        return loaded;
    }();
    return images;
}

// Each line of `text` as a JSON object; a line that is not one fails the test through `ok`.
QList<QJsonObject> JsonLines(const QString& text, bool& ok) {
    QList<QJsonObject> objects;
    ok = true;
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !document.isObject()) {
            qWarning("not a JSON object: %s", qPrintable(line));
            ok = false;
        }
        objects << document.object();
    }
    return objects;
}

QList<QJsonObject> RecordLines(const QString& path, bool& ok) {
    QFile file(path);
    ok = file.open(QIODevice::ReadOnly);
    return ok ? JsonLines(QString::fromUtf8(file.readAll()), ok) : QList<QJsonObject>{};
}

QHash<QString, QJsonObject> ByPort(const QList<QJsonObject>& objects) {
    QHash<QString, QJsonObject> byPort;
    for (const QJsonObject& object : objects)
        byPort.insert(object.value("port").toString(), object);
    return byPort;
}

QString LineStartingWith(const QString& text, const QString& start) {
    for (const QString& line : text.split('\n')) {
        if (line.startsWith(start))
            return line;
    }
    return {};
}

QByteArray ContentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The rows of CSV text, each a list of its cells; `ok` fails when a row is not ended by CR LF or a
// line end stands outside quotes.
QList<QStringList> CsvRows(const QString& text, bool& ok) {
    QList<QStringList> rows;
    QStringList row;
    QString cell;
    bool quoted = false;
    ok = true;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted && c == '"' && text.mid(i + 1, 1) == "\"") {
            cell += c;
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (quoted) {
            cell += c;
        } else if (c == ',') {
            row << cell;
            cell.clear();
        } else if (text.mid(i, 2) == "\r\n") {
            rows << (row << cell);
            row.clear();
            cell.clear();
            ++i;
        } else {
            ok = ok && c != '\r' && c != '\n';
            cell += c;
        }
    }
    ok = ok && !quoted && row.isEmpty() && cell.isEmpty();
    return rows;
}

// An earlier record, padded so that the record file holds exactly `size` bytes.
QByteArray RecordFilledTo(qint64 size) {
    QByteArray line = R"({"port":"COM9","verdict":"success","padding":""})"
                      "\n";
    line.insert(line.size() - 3, QByteArray(size - line.size(), 'p'));
    return line;
}

// A device's memory as rq70-devsim --memory keeps it: erased, but for one word below 256 that no
// update touches, so that the end shows whether the memory lived through every power cycle.
constexpr int KeptWord = 100;
constexpr int KeptValue = 0x1234;

void WriteKeptMemory(const QString& path) {
    QByteArray memory;
    for (int word = 0; word < ProgramWordCount; ++word) {
        const int value = word == KeptWord ? KeptValue : 0x3FFF;
        memory += char(value & 0xFF);
        memory += char(value >> 8);
    }
    memory += QByteArray(EepromByteCount, char(0xFF));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(memory) != memory.size())
        qFatal("cannot write %s", qPrintable(path));
}

// The dump without the kept word, and whether the kept word was there.
QJsonObject WithoutKeptWord(const QJsonObject& dump, bool& kept) {
    QJsonArray program;
    kept = false;
    for (const QJsonValue& entry : dump.value("program").toArray()) {
        const QJsonArray word = entry.toArray();
        if (word[0].toInt() == KeptWord)
            kept = (word[1].toInt() | word[2].toInt() << 8) == KeptValue;
        else
            program.append(word);
    }
    QJsonObject rest = dump;
    rest.insert("program", program);
    return rest;
}

} // namespace

class FlashTest : public QObject {
    Q_OBJECT

private slots:
    // Two devices update, one fails its verify and one hangs up, all in one run: the good ones
    // end up complete, and the output and the record tell each device's end apart.
    void fourDevicesAtOnce_data() {
        QTest::addColumn<bool>("json");
        QTest::newRow("plain lines and a table") << false;
        QTest::newRow("json events") << true;
    }

    void fourDevicesAtOnce() {
        QFETCH(bool, json);
        Bench bench;
        SimulatedDevice& first = bench.Add(1, {"--exit-after-finish"});
        bench.Add(2, {"--corrupt-echo", "300"});
        SimulatedDevice& hangingUp = bench.Add(3, {"--hangup-after-writes", "500"});
        SimulatedDevice& fourth = bench.Add(4, {"--exit-after-finish"});
        QStringList arguments{"update",   RQ70_SAMPLE_UPDATE_FILE,
                              "--port",   "COM1",
                              "--port",   "COM2",
                              "--port",   "COM3",
                              "--port",   "COM4",
                              "--record", bench.record};
        if (json)
            arguments << "--json";
        const FlashRun run = bench.Run(arguments);
        QCOMPARE(run.status, 1);
        for (SimulatedDevice* device : {&first, &fourth}) {
            QVERIFY(device->WaitForExit());
            const QString difference = MemoryDifference(device->Dump(), SampleImages());
            QVERIFY2(difference.isEmpty(), qPrintable(difference));
        }
        QVERIFY(hangingUp.WaitForExit());

        bool ok = false;
        const QList<QJsonObject> lines = RecordLines(bench.record, ok);
        QVERIFY(ok);
        QCOMPARE(lines.size(), 4);
        const QHash<QString, QJsonObject> records = ByPort(lines);
        QCOMPARE(records.value("COM1").value("verdict").toString(), QStringLiteral("success"));
        QCOMPARE(records.value("COM4").value("verdict").toString(), QStringLiteral("success"));
        QCOMPARE(records.value("COM2").value("verdict").toString(), QStringLiteral("failure"));
        QCOMPARE(records.value("COM2").value("failed_word").toInt(), 300);
        QCOMPARE(records.value("COM3").value("verdict").toString(), QStringLiteral("failure"));
        QCOMPARE(records.value("COM3").value("failed_phase").toString(), QStringLiteral("program"));
        const QString hangUpReason = records.value("COM3").value("reason").toString();
        QVERIFY(!hangUpReason.isEmpty());

        if (!json) {
            // Not a terminal: plain lines, then the table with what failed where.
            QVERIFY2(run.out.contains("\nPort "), qPrintable(run.out));
            const QString com2 = LineStartingWith(run.out, "COM2  ");
            QVERIFY2(com2.contains("failure") && com2.contains("word 300"), qPrintable(run.out));
            QVERIFY2(LineStartingWith(run.out, "COM3  ").contains(hangUpReason), qPrintable(run.out));
            QVERIFY2(LineStartingWith(run.out, "COM4  ").contains("success"), qPrintable(run.out));
            return;
        }

        const QList<QJsonObject> events = JsonLines(run.out, ok);
        QVERIFY(ok);
        const QHash<QString, QStringList> fields{
            {"start", {"port", "device_path", "time"}},
            {"phase", {"port", "phase", "percent", "elapsed_s"}},
            {"progress", {"port", "phase", "percent", "elapsed_s"}},
            {"verify_failed", {"port", "word", "message"}},
            {"identification", {"port", "text"}},
            {"verdict", {"port", "verdict", "failed_phase", "failed_word", "reason", "duration_s"}},
            {"summary", {"devices", "succeeded", "failed", "exit_status"}}};
        QHash<QString, QList<QJsonObject>> byEvent;
        for (const QJsonObject& event : events) {
            const QString name = event.value("event").toString();
            QVERIFY2(fields.contains(name), qPrintable("unexpected event " + name));
            for (const QString& field : fields.value(name))
                QVERIFY2(event.contains(field), qPrintable(name + " without " + field));
            byEvent[name] << event;
        }
        for (const QString& name : fields.keys())
            QVERIFY2(byEvent.contains(name), qPrintable("no " + name + " event"));
        QCOMPARE(byEvent.value("start").size(), 4);
        QCOMPARE(byEvent.value("verify_failed").size(), 1);
        QCOMPARE(byEvent.value("verify_failed").first().value("port").toString(), QStringLiteral("COM2"));
        QCOMPARE(byEvent.value("verify_failed").first().value("word").toInt(), 300);
        QCOMPARE(ByPort(byEvent.value("identification")).value("COM1").value("text").toString(),
                 QStringLiteral("RQ-70 Boot 1.0"));
        // Each verdict says what the record says.
        const QHash<QString, QJsonObject> verdicts = ByPort(byEvent.value("verdict"));
        QCOMPARE(verdicts.size(), 4);
        for (const QString& port : records.keys()) {
            for (const char* field : {"verdict", "failed_phase", "failed_word", "reason"})
                QCOMPARE(verdicts.value(port).value(field), records.value(port).value(field));
        }
        QCOMPARE(events.last().value("event").toString(), QStringLiteral("summary"));
        QCOMPARE(events.last().value("succeeded").toInt(), 2);
        QCOMPARE(events.last().value("exit_status").toInt(), 1);
    }

    // Placeholders in the arguments: @SAMPLE the sample update file, @FOLDER the port folder,
    // @MISSING a file that is not there, @PTY1 the device path behind COM1.
    void exitStatus_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("devices"); // "n option..." each
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("says"); // on stdout for status 0, else on stderr
        QTest::addColumn<int>("held");         // a port the test holds open; 0 for none
        const auto row = [](const char* name, const QStringList& arguments, const QStringList& devices,
                            int status, const QStringList& says, int held = 0) {
            QTest::newRow(name) << arguments << devices << status << says << held;
        };
        const QStringList update{"update", "@SAMPLE", "--port", "COM1"};
        row("no command", {}, {}, 2, {"no command"});
        row("unknown command", {"flash"}, {}, 2, {"unknown command 'flash'"});
        row("update without a port", {"update", "@SAMPLE"}, {}, 2, {"--port"});
        row("--last with update", update + QStringList{"--last", "2"}, {"1"}, 2,
            {"--last goes with history"});
        row("unknown option", {"ports", "--baud", "4800"}, {}, 2, {"baud"});
        row("version", {"--version"}, {}, 0, {"rq70-flash " RQ70_VERSION "\n"});
        row("one port twice", update + QStringList{"--port", "com1"}, {"1"}, 2, {"same port"});
        row("station, one cradle twice", {"station", "@SAMPLE", "--port", "COM1", "--port", "@PTY1"}, {"1"},
            2, {"same port"});
        row("station without a port", {"station", "@SAMPLE"}, {}, 2, {"--port"});
        // Cradles before their first unit: nothing is there yet to open.
        row("station, an empty cradle as COMn and by its path",
            {"station", "@SAMPLE", "--port", "COM7", "--port", "@COM7"}, {}, 2, {"same port"});
        row("station, an empty cradle through a linked folder",
            {"station", "@SAMPLE", "--port", "@COM7", "--port", "@ALIAS7"}, {}, 2, {"same port"});
        row("two links to one node that is not there",
            {"update", "@SAMPLE", "--port", "@LINKA", "--port", "@LINKB"}, {}, 2, {"same port"});
        row("station, a kernel name that moves", {"station", "@SAMPLE", "--port", "/dev/ttyUSB0"}, {}, 2,
            {"not /dev/ttyUSB0", "@BYPATH", "(the cradle's USB socket)", "@BYID", "travels with the unit"});
        row("station, a kernel name without stable links", {"station", "@SAMPLE", "--port", "/dev/ttyACM3"},
            {}, 2, {"not /dev/ttyACM3", "/by-path/", "/by-id/"});
        row("--wait-unplug with update", update + QStringList{"--wait-unplug"}, {"1"}, 2,
            {"go with station"});
        row("a COM name and its device path", update + QStringList{"--port", "@PTY1"}, {"1"}, 2,
            {"same port"});
        row("no such update file", {"update", "@MISSING", "--port", "COM1"}, {"1"}, 3, {"@MISSING"});
        row("update file without a data record", {"update", "@NODATA", "--port", "COM1"}, {"1"}, 3,
            {"no data record"});
        row("update file is a folder", {"update", "@FOLDER", "--port", "COM1"}, {"1"}, 3, {"folder"});
        // Neither waits for a writer nor reads a gigabyte.
        row("update file is a named pipe", {"update", "@FIFO", "--port", "COM1"}, {"1"}, 3,
            {"not a regular file"});
        row("update file of a gigabyte", {"update", "@HUGE", "--port", "COM1"}, {"1"}, 3, {"too large"});
        row("record is a folder", {"history", "--record", "@FOLDER"}, {}, 3,
            {"cannot read the update record"});
        row("history, a verdict that is none", {"history", "--verdict", "passed"}, {}, 2,
            {"success, failure or aborted"});
        row("history, no time", {"history", "--until", "yesterday"}, {}, 2, {"--until", "2026-12-08"});
        row("history, since after until", {"history", "--since", "2026-12-09", "--until", "2026-12-08"}, {},
            2, {"--since is after --until"});
        row("history, a checksum cut short", {"history", "--file-sha256", "87b5f9aa"}, {}, 2, {"64 hex"});
        row("a filter with update", update + QStringList{"--verdict", "failure"}, {"1"}, 2,
            {"--verdict goes with history"});
        row("a COM port that does not exist", update + QStringList{"--port", "COM9"}, {"1"}, 4, {"COM9"});
        row("a port another program holds", update + QStringList{"--port", "COM2"}, {"1", "2"}, 4,
            {"COM2", "in use"}, 2);
        row("detect, only a silent device", {"detect"}, {"1 --silent"}, 5, {"no device answered"});
        row("info on a silent device", {"info", "--port", "COM2"}, {"2 --silent"}, 5, {"COM2"});
        row("detect past a silent device", {"detect"}, {"1 --silent", "3 --id=RQ-70-L7"}, 0,
            {"COM3", "RQ-70-L7"});
        row("info", {"info", "--port", "COM1"}, {"1 --id=RQ-70-L7"}, 0, {"RQ-70-L7"});
        row("info by device path", {"info", "--port", "@PTY1"}, {"1 --id=RQ-70-L7"}, 0, {"RQ-70-L7"});
        row("ports", {"ports"}, {"1", "4"}, 0, {"COM1", "COM4"});
    }

    void exitStatus() {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, devices);
        QFETCH(int, status);
        QFETCH(QStringList, says);
        QFETCH(int, held);
        Bench bench;
        for (const QString& device : devices) {
            QStringList options = device.split(' ');
            bench.Add(options.takeFirst().toInt(), options);
        }
        // Another program holds the device itself.
        QSerialPort other(QFileInfo(QDir(bench.folder.path()).filePath(QStringLiteral("COM%1").arg(held)))
                              .canonicalFilePath());
        if (held != 0)
            QVERIFY(other.open(QIODevice::ReadWrite));
        // Text that was scrambled but holds no record: the windows would erase the EEPROM from it.
        const QString noData = bench.folder.filePath("RQ70-TEXT.KRV");
        {
            std::string text = "release notes\r\n";
            ApplyScrambleKey(text);
            QFile file(noData);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(text.data(), qint64(text.size()));
        }
        const QString fifo = bench.folder.filePath("RQ70-PIPE.KRV");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const QString huge = bench.folder.filePath("RQ70-HUGE.KRV");
        QFile hugeFile(huge);
        QVERIFY(hugeFile.open(QIODevice::WriteOnly) && hugeFile.resize(qint64(1) << 30));
        // Links that lead to nodes this machine may not have: where they lead is known all the same.
        const QString serial = bench.folder.filePath("serial");
        const QString byPath = serial + "/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
        const QString byId = serial + "/by-id/usb-FTDI_FT232R_USB_UART_A10K3B2C-if00-port0";
        const QString links = bench.folder.filePath("links");
        QVERIFY(QDir().mkpath(serial + "/by-path") && QDir().mkpath(serial + "/by-id") &&
                QDir().mkpath(links));
        QVERIFY(QFile::link("/dev/ttyUSB0", byPath) && QFile::link("/dev/ttyUSB0", byId) &&
                QFile::link("/dev/ttyUSB10", serial + "/by-id/usb-FTDI_FT232R_USB_UART_B20X-if00-port0"));
        QVERIFY(QFile::link("/dev/ttyUSB9", links + "/a") && QFile::link("/dev/ttyUSB9", links + "/b"));
        QVERIFY(QFile::link(bench.folder.path(), bench.folder.filePath("alias")));
        const QHash<QString, QString> placeholders{
            {"@COM7", bench.folder.filePath("COM7")},
            {"@ALIAS7", bench.folder.filePath("alias/COM7")},
            {"@LINKA", links + "/a"},
            {"@LINKB", links + "/b"},
            {"@BYPATH", byPath},
            {"@BYID", byId},
            {"@FIFO", fifo},
            {"@HUGE", huge},
            {"@NODATA", noData},
            {"@SAMPLE", RQ70_SAMPLE_UPDATE_FILE},
            {"@FOLDER", bench.folder.path()},
            {"@MISSING", bench.folder.filePath("RQ70-GONE.KRV")},
            {"@PTY1", bench.devices.empty() ? QString() : bench.devices.front()->PtyPath()}};
        for (QString& text : arguments)
            text = placeholders.value(text, text);
        for (QString& text : says)
            text = placeholders.value(text, text);

        const FlashRun run = bench.Run(arguments);
        QVERIFY2(run.status == status,
                 qPrintable(QStringLiteral("status %1: %2").arg(run.status).arg(run.err)));
        for (const QString& text : says) {
            const QString& output = status == 0 ? run.out : run.err;
            QVERIFY2(output.contains(text), qPrintable(output));
        }
        // None of these runs erases a device: above all, a run that cannot open one of its ports
        // leaves the ports it could open untouched.
        other.close();
        for (const auto& device : bench.devices) {
            QVERIFY(device->Stop());
            QCOMPARE(device->CommandCount("erase"), 0);
        }
    }

    void aReaderThatGoesAwayDoesNotStopTheUpdate() {
        // `rq70-flash update ... --json | head -n 1`: the pipe closes under the program mid-run.
        Bench bench;
        SimulatedDevice& device = bench.Add(1, {"--exit-after-finish"});
        QProcess shell;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("RQ70_PORT_DIR", bench.folder.path());
        environment.insert("RQ70_UPDATE_RECORD", bench.record);
        shell.setProcessEnvironment(environment);
        shell.start("bash", {"-c", R"("$0" "$@" | head -n 1 >/dev/null; echo "status ${PIPESTATUS[0]}" >&2)",
                             RQ70_FLASH_PATH, "update", RQ70_SAMPLE_UPDATE_FILE, "--port", "COM1", "--json"});
        QVERIFY(shell.waitForFinished(60000));
        const QString err = QString::fromUtf8(shell.readAllStandardError());
        QVERIFY2(err.contains("status 0"), qPrintable(err));
        QVERIFY(device.WaitForExit());
        QVERIFY(device.Dump().value("finish_seen").toBool());
        bool ok = false;
        const QList<QJsonObject> records = RecordLines(bench.record, ok);
        QVERIFY(ok && records.size() == 1);
        QCOMPARE(records[0].value("verdict").toString(), QStringLiteral("success"));
    }

    void ctrlCStopsTheUpdateBetweenUnits() {
        Bench bench;
        SimulatedDevice& device = bench.Add(1, {"--delay", "2"});
        QProcess flash;
        bench.Start(flash, {"update", RQ70_SAMPLE_UPDATE_FILE, "--port", "COM1", "--json"});
        QByteArray output;
        while (!output.contains("\"event\":\"progress\"")) {
            QVERIFY2(flash.waitForReadyRead(20000), output.constData());
            output += flash.readAllStandardOutput();
        }
        ::kill(static_cast<pid_t>(flash.processId()), SIGINT);
        QVERIFY(flash.waitForFinished(20000));
        QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
        QCOMPARE(flash.exitCode(), 1);
        bool ok = false;
        const QList<QJsonObject> events = JsonLines(output + flash.readAllStandardOutput(), ok);
        QVERIFY(ok);
        QCOMPARE(events.last().value("event").toString(), QStringLiteral("summary"));
        const QJsonObject verdict = events.at(events.size() - 2);
        QCOMPARE(verdict.value("event").toString(), QStringLiteral("verdict"));
        QCOMPARE(verdict.value("verdict").toString(), QStringLiteral("aborted"));
        const QList<QJsonObject> records = RecordLines(bench.record, ok);
        QVERIFY(ok);
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.first().value("verdict").toString(), QStringLiteral("aborted"));

        // The device got whole commands only, and not the finish that would start its firmware.
        QVERIFY(device.Stop());
        const QList<SimulatedDevice::HostCommand> commands = device.HostCommands();
        QVERIFY(!commands.isEmpty());
        for (const SimulatedDevice::HostCommand& command : commands)
            QVERIFY(command.command != FinishCommand);
        const QHash<int, int> parameters{
            {EraseRowCommand, 2}, {WriteProgramCommand, 10}, {WriteEepromCommand, 2}};
        QVERIFY(parameters.contains(commands.last().command));
        QCOMPARE(commands.last().parameters, parameters.value(commands.last().command));
    }

    // A hang-up is the first Ctrl-C at most: the terminal closed under a running update, or a
    // SIGHUP sent to it, lets the update run to its end; one started with SIGHUP ignored, as nohup
    // starts it, does not even hear it.
    void aHangUpLetsTheUpdateFinish() {
        Bench bench;
        const QString updateFile = bench.folder.filePath("RQ70-PATTERN.KRV");
        WriteUpdateFile(updateFile, PatternUpdateHex());
        const QStringList update{"update", updateFile, "--port", "COM1"};
        const auto waitForJson = [](QProcess& flash, QByteArray& output, const char* event) {
            while (!output.contains(event)) {
                if (!flash.waitForReadyRead(20000))
                    return false;
                output += flash.readAllStandardOutput();
            }
            return true;
        };

        // 1. On a terminal of its own that goes away mid-update: the kernel hangs the terminal up
        //    (SIGHUP, and EIO for every later write to it).
        {
            bench.Add(1, {"--delay", "2", "--exit-after-finish"});
            // Only this test holds the terminal: once it lets go, the terminal is gone.
            const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            QVERIFY(terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
            const std::string side = ::ptsname(terminal);
            QProcess flash;
            flash.setChildProcessModifier([&side] {
                // A session of its own whose controlling terminal is the pty's other side.
                ::setsid();
                const int fd = ::open(side.c_str(), O_RDWR);
                ::dup2(fd, STDOUT_FILENO);
                ::dup2(fd, STDERR_FILENO);
            });
            bench.Start(flash, update);
            QByteArray screen;
            const auto take = [&] {
                char bytes[4096];
                for (ssize_t got; (got = ::read(terminal, bytes, sizeof bytes)) > 0;)
                    screen.append(bytes, got);
                return screen;
            };
            ::fcntl(terminal, F_SETFL, O_NONBLOCK);
            QTRY_VERIFY_WITH_TIMEOUT(take().contains("program"), 20000);
            ::close(terminal);
            QVERIFY(flash.waitForFinished(30000));
            QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
            QCOMPARE(flash.exitCode(), 0);
        }

        // 2. Started with SIGHUP ignored: it stays ignored, and a SIGHUP changes nothing.
        // 3. An ordinary start: SIGHUP twice lets the update finish, and is told once.
        for (const bool ignored : {true, false}) {
            SimulatedDevice& device = bench.Add(1, {"--delay", "2", "--exit-after-finish"});
            QProcess flash;
            if (ignored)
                flash.setChildProcessModifier([] { ::signal(SIGHUP, SIG_IGN); });
            bench.Start(flash, update + QStringList{"--json"});
            QByteArray output;
            QVERIFY2(waitForJson(flash, output, "\"event\":\"progress\""), output.constData());
            const QByteArray status =
                ContentOf(QStringLiteral("/proc/%1/status").arg(flash.processId())).replace('\t', ' ');
            const auto mask = [&](const QByteArray& name) {
                const qsizetype at = status.indexOf(name + ": ");
                return at < 0 ? -1 : status.mid(at + name.size() + 2, 16).toLongLong(nullptr, 16);
            };
            const long long hangUpBit = 1LL << (SIGHUP - 1);
            QCOMPARE(mask("SigIgn") & hangUpBit, ignored ? hangUpBit : 0);
            QCOMPARE(mask("SigCgt") & hangUpBit, ignored ? 0 : hangUpBit);
            ::kill(pid_t(flash.processId()), SIGHUP);
            // The second only once the first has been taken: two sent at once may arrive as one.
            if (!ignored) {
                QVERIFY2(waitForJson(flash, output, "\"event\":\"interrupted\""), output.constData());
                ::kill(pid_t(flash.processId()), SIGHUP);
            }
            QVERIFY(flash.waitForFinished(30000));
            QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
            QCOMPARE(flash.exitCode(), 0);
            bool ok = false;
            const QList<QJsonObject> events = JsonLines(output + flash.readAllStandardOutput(), ok);
            QVERIFY(ok);
            int interrupted = 0;
            for (const QJsonObject& event : events) {
                if (event.value("event") == "interrupted") {
                    ++interrupted;
                    QCOMPARE(event.value("signal").toString(), QStringLiteral("SIGHUP"));
                }
            }
            QCOMPARE(interrupted, ignored ? 0 : 1);
            QCOMPARE(events.at(events.size() - 2).value("verdict").toString(), QStringLiteral("success"));
            QVERIFY(device.WaitForExit());
            QVERIFY(device.Dump().value("finish_seen").toBool());
        }
        bool ok = false;
        const QList<QJsonObject> records = RecordLines(bench.record, ok);
        QVERIFY(ok);
        QCOMPARE(records.size(), 3);
        for (const QJsonObject& record : records)
            QCOMPARE(record.value("verdict").toString(), QStringLiteral("success"));
    }

    // Two rq70-flash runs and a windows run at the same time: each one's line is in the record,
    // whole.
    void parallelRunsShareTheRecord() {
        App app;
        Devices devices;
        for (int n = 1; n <= 3; ++n)
            devices.Add(app, n, {"--exit-after-finish"});
        app.CopySampleUpdateFile();
        app.Start();
        app.ui()->Combo1->setCurrentIndex(2);
        emit app.ui()->Combo1->activated(2);
        QCOMPARE(app.form->UpdatePort(), 3);

        QProcess flash[2];
        for (int i = 0; i < 2; ++i)
            flash[i].start(RQ70_FLASH_PATH, {"update", RQ70_SAMPLE_UPDATE_FILE, "--port",
                                             QStringLiteral("COM%1").arg(i + 1), "--record", app.recordPath});
        app.form->OK_Click();
        for (QProcess& process : flash) {
            // The windows run kept the event loop going: a process may have ended already.
            QVERIFY(process.state() == QProcess::NotRunning || process.waitForFinished(30000));
            QCOMPARE(process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(process.exitCode(), 0);
        }

        bool ok = false;
        const QList<QJsonObject> records = RecordLines(app.recordPath, ok);
        QVERIFY(ok);
        QCOMPARE(records.size(), 3);
        QSet<QString> runs;
        for (const QJsonObject& record : records) {
            QCOMPARE(record.value("verdict").toString(), QStringLiteral("success"));
            runs << record.value("program").toString() + ' ' + record.value("port").toString();
            // The runs overlapped: each began before every other one ended.
            for (const QJsonObject& other : records)
                QVERIFY(record.value("start").toString() < other.value("end").toString());
        }
        QCOMPARE(runs, (QSet<QString>{"rq70-flash COM1", "rq70-flash COM2", "rq70-updater COM3"}));
    }

    // The record's disk is full (a file-size limit on rq70-flash plays it), with room for part of
    // the next line or for none of it: the line is not written, the record stays byte for byte as it
    // was, and the warning says so. The next run has room; its update file is replaced while it
    // searches, and its line, whole after the others, describes the bytes the device got.
    void aRecordLineIsWrittenWholeOrNotAtAll() {
        Bench bench;
        const QString updateFile = bench.folder.filePath("RQ70-PATTERN.KRV");
        WriteUpdateFile(updateFile, PatternUpdateHex());
        const QByteArray loaded = ContentOf(updateFile);
        FirmwareImages images;
        LoadHexFile(updateFile.toStdString(), images, {});
        constexpr qint64 Limit = 64 * 1024;
        int port = 0;
        for (const qint64 room : {qint64(100), qint64(0)}) {
            const QByteArray before = RecordFilledTo(Limit - room);
            QFile record(bench.record);
            QVERIFY(record.open(QIODevice::WriteOnly) && record.write(before) == before.size());
            record.close();
            SimulatedDevice& device = bench.Add(++port, {"--exit-after-finish"});
            const FlashRun run =
                bench.Run({"update", updateFile, "--port", QStringLiteral("COM%1").arg(port)}, Limit);
            QVERIFY2(run.status == 0, qPrintable(QString::number(run.status) + run.err));
            QVERIFY2(run.err.contains("the update record was not written") &&
                         run.err.contains("nothing was written"),
                     qPrintable(run.err));
            QVERIFY(ContentOf(bench.record) == before);
            QVERIFY(device.WaitForExit());
        }

        // The file is replaced while the search waits for a device that never answers: after the
        // file was read, before the device it finds next is updated.
        SimulatedDevice& silent = bench.Add(++port, {"--silent"});
        SimulatedDevice& device = bench.Add(++port, {"--exit-after-finish"});
        QProcess flash;
        bench.Start(flash, {"update", updateFile, "--detect"});
        const auto searching = [&] {
            const QList<SimulatedDevice::LoggedByte> log = silent.Log();
            return std::any_of(log.begin(), log.end(), [](const auto& byte) { return byte.fromHost; });
        };
        QTRY_VERIFY_WITH_TIMEOUT(searching(), 20000);
        WriteUpdateFile(updateFile, ":0402000001020304xx\r\n");
        QVERIFY(flash.waitForFinished(30000));
        QVERIFY2(flash.exitCode() == 0, flash.readAllStandardError().constData());
        QVERIFY(device.WaitForExit());
        const QString difference = MemoryDifference(device.Dump(), images);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));

        const RecordHistory history = ReadUpdateRecords(bench.record);
        QCOMPARE(history.unreadableLines, 0);
        QCOMPARE(history.records.size(), qsizetype(2));
        const QJsonObject& last = history.records.last();
        QCOMPARE(last.value("verdict").toString(), QStringLiteral("success"));
        QCOMPARE(last.value("update_file").toString(), updateFile);
        QCOMPARE(last.value("update_file_size").toInteger(), loaded.size());
        QCOMPARE(last.value("update_file_sha256").toString(),
                 QString::fromLatin1(QCryptographicHash::hash(loaded, QCryptographicHash::Sha256).toHex()));
    }

    // The last records, of every update or of one station shift's: COM1 to COM3 ran in shift
    // "early", COM4 in "late", COM5 outside a station.
    void historyShowsTheLastRecords() {
        Bench bench;
        for (int n = 1; n <= 5; ++n) {
            UpdateRecord record;
            record.started = QDateTime::currentDateTimeUtc();
            record.ended = record.started.addSecs(180);
            record.program = "rq70-flash";
            record.port = QStringLiteral("COM%1").arg(n);
            record.verdict = n == 2 ? "failure" : "success";
            if (n <= 4) {
                record.shift = n <= 3 ? "early" : "late";
                record.slot = n;
                record.note = QStringLiteral("tray %1").arg(n);
            }
            QCOMPARE(AppendUpdateRecord(bench.record, record), QString());
        }
        const auto tableRows = [&](const QStringList& arguments) {
            const FlashRun run = bench.Run(QStringList{"history", "--record", bench.record} + arguments);
            QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
            if (run.status != 0 || lines.isEmpty() || !lines[0].contains("Port") ||
                !lines[0].contains("Verdict"))
                return QStringList{QStringLiteral("status %1: %2").arg(run.status).arg(run.out + run.err)};
            lines.removeFirst();
            QStringList rows;
            for (const QString& line : lines)
                rows << line.section("  ", 1, 1) + ' ' + line.section("  ", 2).trimmed().section(' ', 0, 0);
            return rows;
        };
        QCOMPARE(tableRows({"--last", "2"}), (QStringList{"COM4 success", "COM5 success"}));
        QCOMPARE(tableRows({"--shift", "early", "--last", "2"}),
                 (QStringList{"COM2 failure", "COM3 success"}));
        QCOMPARE(tableRows({"--shift", "early"}),
                 (QStringList{"COM1 success", "COM2 failure", "COM3 success"}));

        // The record's lines as they are: a station's shift, slot and note, or null outside one.
        const FlashRun json = bench.Run({"history", "--record", bench.record, "--json"});
        QCOMPARE(json.status, 0);
        bool ok = false;
        const QList<QJsonObject> lines = JsonLines(json.out, ok);
        QVERIFY(ok && lines.size() == 5);
        QCOMPARE(lines[3].value("shift").toString(), QStringLiteral("late"));
        QCOMPARE(lines[3].value("slot").toInt(), 4);
        QCOMPARE(lines[3].value("note").toString(), QStringLiteral("tray 4"));
        for (const char* key : {"shift", "slot", "note"})
            QVERIFY2(lines[4].contains(key) && lines[4].value(key).isNull(), key);

        const FlashRun none = bench.Run({"history", "--record", bench.record, "--shift", "night"});
        QCOMPARE(none.status, 0);
        QVERIFY2(none.out.isEmpty() && none.err.contains("no update of shift 'night'"), qPrintable(none.err));
        QCOMPARE(bench.Run({"update", RQ70_SAMPLE_UPDATE_FILE, "--port", "COM1", "--shift", "early"}).status,
                 2);
    }

    // Two updates on two stations, each with a unit that fails its verify, and a line from before
    // records named their station: history --csv keeps one station's failures, as a spreadsheet
    // reads them, and every update has an id of its own.
    void historyAsCsvOfOneStationsFailures() {
        Bench bench;
        bench.Add(1, {"--exit-after-finish"});
        bench.Add(2, {"--corrupt-echo", "300"});
        bench.Add(3, {"--corrupt-echo", "310"});
        const QString bench3 = "line 3, bench \"A\"";
        QCOMPARE(bench
                     .Run({"update", RQ70_SAMPLE_UPDATE_FILE, "--port", "COM1", "--port", "COM2", "--station",
                           bench3})
                     .status,
                 1);
        QCOMPARE(
            bench.Run({"update", RQ70_SAMPLE_UPDATE_FILE, "--port", "COM3", "--station", "bench-B"}).status,
            1);
        QFile record(bench.record);
        QVERIFY(record.open(QIODevice::Append));
        record.write(R"({"end":"2026-01-02T03:04:05.000Z","port":"COM9","verdict":"failure"})"
                     "\n");
        record.close();

        bool ok = false;
        const QHash<QString, QJsonObject> lines = ByPort(RecordLines(bench.record, ok));
        QVERIFY(ok && lines.size() == 4);
        QCOMPARE(lines.value("COM1").value("station").toString(), bench3);
        QCOMPARE(lines.value("COM3").value("station").toString(), QStringLiteral("bench-B"));
        QCOMPARE(lines.value("COM3").value("host").toString(), QSysInfo::machineHostName());
        QSet<QString> ids;
        for (const char* port : {"COM1", "COM2", "COM3"}) {
            const QString id = lines.value(port).value("id").toString();
            QVERIFY2(QRegularExpression("^[0-9a-f]{32}$").match(id).hasMatch(), qPrintable(id));
            ids << id;
        }
        QCOMPARE(ids.size(), 3);

        const QStringList columns{"id",
                                  "station",
                                  "shift",
                                  "slot",
                                  "start",
                                  "end",
                                  "duration_s",
                                  "port",
                                  "device_path",
                                  "usb_serial",
                                  "identification",
                                  "verdict",
                                  "failed_phase",
                                  "failed_word",
                                  "reason",
                                  "update_file",
                                  "update_file_size",
                                  "update_file_sha256",
                                  "note",
                                  "host",
                                  "user",
                                  "program",
                                  "version"};
        const FlashRun csv = bench.Run(
            {"history", "--record", bench.record, "--csv", "--station", bench3, "--verdict", "failure"});
        QVERIFY2(csv.status == 0 && csv.err.isEmpty(), qPrintable(csv.err));
        QList<QStringList> rows = CsvRows(csv.out, ok);
        QVERIFY2(ok && rows.size() == 2, qPrintable(csv.out));
        QCOMPARE(rows[0], columns);
        QCOMPARE(rows[1].size(), columns.size());
        QHash<QString, QString> com2;
        for (qsizetype i = 0; i < columns.size(); ++i)
            com2.insert(columns[i], rows[1][i]);
        const QJsonObject& line = lines.value("COM2");
        QCOMPARE(com2.value("id"), line.value("id").toString());
        QCOMPARE(com2.value("station"), bench3);
        QCOMPARE(com2.value("port"), QStringLiteral("COM2"));
        QCOMPARE(com2.value("verdict"), QStringLiteral("failure"));
        QCOMPARE(com2.value("failed_phase"), QStringLiteral("program"));
        QCOMPARE(com2.value("failed_word"), QStringLiteral("300"));
        QCOMPARE(com2.value("reason"), line.value("reason").toString());
        QCOMPARE(com2.value("update_file_size"), QString::number(line.value("update_file_size").toInteger()));
        QCOMPARE(com2.value("end"), line.value("end").toString());
        QCOMPARE(com2.value("shift"), QString());

        // Every line, the old one with empty id and station; a filter that keeps none leaves the header.
        rows = CsvRows(bench.Run({"history", "--record", bench.record, "--csv"}).out, ok);
        QVERIFY(ok && rows.size() == 5);
        QCOMPARE(rows[4].mid(0, 2), (QStringList{"", ""}));
        QCOMPARE(rows[4][columns.indexOf("port")], QStringLiteral("COM9"));
        const FlashRun none = bench.Run(
            {"history", "--record", bench.record, "--csv", "--station", "bench-B", "--verdict", "success"});
        QCOMPARE(none.status, 0);
        QCOMPARE(none.out, columns.join(',') + "\r\n");
        const FlashRun both = bench.Run({"history", "--record", bench.record, "--csv", "--json"});
        QCOMPARE(both.status, 2);
        QVERIFY2(both.err.contains("--csv and --json"), qPrintable(both.err));
    }

    // What a device, a file or the system names reaches the terminal as text that cannot steer
    // it: a unit whose identification would retitle the terminal and clear it, a port folder whose
    // name holds an escape sequence, a record edited by hand. --json keeps every text as it was.
    // The update's live line on a narrow terminal stays within its width, and a "%1" in a
    // record's text stays what it is.
    void textsOfDevicesAndFilesCannotSteerTheTerminal() {
        Bench bench;
        bench.portDir = bench.folder.filePath("ports\x1b[31m");
        QVERIFY(QDir().mkpath(bench.portDir));
        bench.Add(1, {"--id", R"(RQ-70 \x1b]0;owned\x07\x1b[2J 4.2)"});
        const QString id = "RQ-70 \x1b]0;owned\x07\x1b[2J 4.2";
        const QString shownId = "RQ-70 ?]0;owned??[2J 4.2";
        const QString path = QDir(bench.portDir).filePath("COM1");
        const QString shownPath = bench.folder.filePath("ports?[31m/COM1");
        const auto plain = [&](const QStringList& arguments) {
            FlashRun run = bench.Run(arguments);
            for (const char c : {'\x1b', '\x07'}) {
                if (run.out.contains(QLatin1Char(c)) || run.err.contains(QLatin1Char(c)))
                    run.status = -2;
            }
            return run;
        };
        const auto json = [&](const QStringList& arguments) {
            const FlashRun run = bench.Run(arguments + QStringList{"--json"});
            bool ok = false;
            const QList<QJsonObject> lines = JsonLines(run.out, ok);
            return run.status == 0 && ok && lines.size() == 1 ? lines[0] : QJsonObject{};
        };

        FlashRun run = plain({"info", "--port", "COM1"});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, shownId + '\n');
        QCOMPARE(json({"info", "--port", "COM1"}).value("identification").toString(), id);
        run = plain({"detect"});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, "COM1  " + shownPath + "  " + shownId + '\n');
        const QJsonObject detected = json({"detect"});
        QCOMPARE(detected.value("identification").toString(), id);
        QCOMPARE(detected.value("device_path").toString(), path);
        run = plain({"ports"});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, "COM1   " + shownPath + '\n');
        QCOMPARE(json({"ports"}).value("device_path").toString(), path);
        run = plain({"info", "--port", path + "9"});
        QCOMPARE(run.status, 4);
        QVERIFY2(run.err.contains(shownPath + "9"), qPrintable(run.err));

        // The update on a terminal 60 columns wide: its line drawn again in place within the width,
        // the identification harmless in the table.
        PseudoTerminal screen(60, 24);
        QVERIFY(screen.IsOpen());
        QProcess flash;
        screen.Attach(flash);
        bench.Start(flash, {"update", RQ70_SAMPLE_UPDATE_FILE, "--port", "COM1"});
        QVERIFY(flash.waitForFinished(30000));
        QCOMPARE(flash.exitCode(), 0);
        QTRY_VERIFY(screen.Output().contains("Duration"));
        const QByteArray output = screen.Output();
        QCOMPARE(PseudoTerminal::ForeignControls(output), QStringList());
        const QStringList drawn = PseudoTerminal::DrawnRows(output);
        QVERIFY(drawn.size() >= 2);
        for (const QString& row : drawn)
            QVERIFY2(row.size() < 60, qPrintable(row));
        QCOMPARE(drawn.last(), QStringLiteral("COM1          success"));
        QVERIFY(output.contains("\x1b[1A\r\x1b[2K"));
        QVERIFY2(PseudoTerminal::Rows(output)
                         .filter(QRegularExpression("^COM1  " + QRegularExpression::escape(shownId) +
                                                    "  success  -  +\\d+\\.\\d s$"))
                         .size() == 1,
                 output.constData());

        // The record, and a line another program or a person added to it.
        QFile record(bench.record);
        QVERIFY(record.open(QIODevice::Append));
        record.write(QJsonDocument(QJsonObject{{"end", "2026-01-02T03:04:05.000Z"},
                                               {"port", "COM2\x1b]0;x\x07"},
                                               {"verdict", "failure"},
                                               {"failed_phase", "erase%1"},
                                               {"failed_word", 300},
                                               {"identification", id},
                                               {"update_file", "/lab/fw%1.KRV"},
                                               {"duration_s", 1.5}})
                         .toJson(QJsonDocument::Compact) +
                     '\n');
        record.close();
        run = plain({"history"});
        QCOMPARE(run.status, 0);
        const QStringList rows = run.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 3);
        QVERIFY2(rows[1].contains(shownId) && rows[1].contains("RQ70-DEMO.KRV"), qPrintable(rows[1]));
        QVERIFY2(rows[2].contains("COM2?]0;x?  failure  erase%1 at word 300  " + shownId + "  fw%1.KRV"),
                 qPrintable(rows[2]));
        bool ok = false;
        const QList<QJsonObject> added = JsonLines(bench.Run({"history", "--json", "--last", "1"}).out, ok);
        QVERIFY(ok && added.size() == 1);
        QCOMPARE(added[0].value("port").toString(), QString("COM2\x1b]0;x\x07"));
    }

    // Every program's --help fits a terminal of 80 columns, and so does the manual made from it,
    // however long the path the program was started by.
    void everyHelpFitsEightyColumns() {
        QTemporaryDir deep;
        const QString folder =
            deep.path() + QStringLiteral("/a-folder-with-a-name-as-long-as-a-build-tree-on-ci");
        QVERIFY(QDir().mkpath(folder));
        const auto far = [&](const char* program) {
            const QString link = folder + '/' + QFileInfo(program).fileName();
            QFile::link(program, link);
            return link;
        };
        const QList<QStringList> programs{{far(RQ70_FLASH_PATH), "--help"},
                                          {far(RQ70_FLASH_PATH), "update", "--help"},
                                          {far(RQ70_FLASH_PATH), "station", "--help"},
                                          {far(RQ70_UPDATER_PATH), "--help"},
                                          {far(RQ70_KRV_PATH), "--help"},
                                          {far(RQ70_DEVSIM_PATH), "--help"}};
        for (const QStringList& program : programs) {
            QProcess help;
            help.start(program.first(), program.mid(1));
            QVERIFY(help.waitForFinished(10000));
            QCOMPARE(help.exitCode(), 0);
            const QStringList lines = QString::fromUtf8(help.readAllStandardOutput()).split('\n');
            QVERIFY2(lines.size() > 5, qPrintable(program.join(' ')));
            for (const QString& line : lines)
                QVERIFY2(line.size() <= 80,
                         qPrintable(QStringLiteral("%1: %2 columns: %3")
                                        .arg(program.join(' '), QString::number(line.size()), line)));
        }
    }

    // An update interrupted in each phase, by the device hanging up, by its adapter being pulled or
    // by rq70-flash being killed (the device then power-cycled): a second rq70-flash finishes it.
    void interruptedUpdateIsFinishedByASecondRun_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QStringList>("fault");
        const QList<std::pair<QString, QString>> phases{
            {"erase", "erase"}, {"program", "write"}, {"eeprom", "eeprom"}};
        for (const auto& [phase, command] : phases) {
            const QString hangUp = phase == "erase"     ? "--hangup-after-erases"
                                   : phase == "program" ? "--hangup-after-writes"
                                                        : "--hangup-after-eeprom";
            QTest::newRow(qPrintable("hang-up, " + phase)) << "hang-up" << phase << QStringList{hangUp, "3"};
            QTest::newRow(qPrintable("adapter pulled, " + phase))
                << "pull" << phase << QStringList{"--vanish-after", command + ":3"};
            // The contact breaks after the third command of the phase, so the device never hears
            // a fourth whenever the kill lands; the updater waits out its reply timeout meanwhile.
            QTest::newRow(qPrintable("updater killed, " + phase))
                << "kill" << phase << QStringList{"--break-contact", command + ":3:600000"};
        }
    }
    void interruptedUpdateIsFinishedByASecondRun() {
        QFETCH(QString, how);
        QFETCH(QString, phase);
        QFETCH(QStringList, fault);
        Bench bench;
        const QString memory = bench.folder.filePath("memory.bin");
        WriteKeptMemory(memory);
        const QString updateFile = bench.folder.filePath("RQ70-PATTERN.KRV");
        WriteUpdateFile(updateFile, PatternUpdateHex());
        FirmwareImages images;
        LoadHexFile(updateFile.toStdString(), images, {});
        QCOMPARE(images.HighestProgramWord, PatternLastWord);
        SimulatedDevice& first = bench.Add(1, QStringList{"--memory", memory} + fault);
        const QStringList update{"update", updateFile, "--port", "COM1"};
        const int phaseCommand = phase == "erase"     ? EraseRowCommand
                                 : phase == "program" ? WriteProgramCommand
                                                      : WriteEepromCommand;

        if (how == "kill") {
            QProcess flash;
            bench.Start(flash, update);
            const auto reached = [&] {
                int count = 0;
                for (const SimulatedDevice::HostCommand& command : first.HostCommands())
                    count += command.command == phaseCommand;
                return count >= 3;
            };
            QTRY_VERIFY_WITH_TIMEOUT(reached(), 30000);
            ::kill(pid_t(flash.processId()), SIGKILL);
            QVERIFY(flash.waitForFinished(10000));
            QCOMPARE(flash.exitStatus(), QProcess::CrashExit);
        } else {
            const FlashRun run = bench.Run(update);
            QVERIFY2(run.status == 1, qPrintable(run.out + run.err));
        }

        // Where the run stopped: inside the phase.
        const QHash<QString, std::pair<QString, QString>> within{{"erase", {"erase", "write"}},
                                                                 {"program", {"write", "eeprom"}},
                                                                 {"eeprom", {"eeprom", "finish"}}};
        QVERIFY(how == "pull" ? first.Signal(SIGUSR2) : first.Stop() || first.WaitForExit());
        if (how != "pull") {
            QVERIFY(first.CommandCount(within[phase].first) >= 3);
            QCOMPARE(first.CommandCount(within[phase].second), 0);
        }
        // Powered up again with what it held, or plugged back in as it was.
        SimulatedDevice& second = how == "pull" ? first : bench.Add(1, {"--memory", memory});
        QTRY_VERIFY(QFileInfo::exists(bench.folder.filePath("COM1")));

        const FlashRun run = bench.Run(update);
        QVERIFY2(run.status == 0, qPrintable(run.out + run.err));
        QVERIFY(second.Stop());
        bool kept = false;
        const QString difference = MemoryDifference(WithoutKeptWord(second.Dump(), kept), images);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        QVERIFY(kept);
    }

    // A device left inside a program write: `info` finds it, and what finishes the write lands in
    // the first rows an update rewrites, not where the probe bytes would have put it.
    void infoFindsADeviceLeftInsideACommand() {
        Bench bench;
        SimulatedDevice& device = bench.Add(1);
        {
            QSerialPort port(bench.folder.filePath("COM1"));
            QVERIFY(port.open(QIODevice::ReadWrite));
            port.write(QByteArray(1, char(WriteProgramCommand)));
            QVERIFY(port.waitForBytesWritten(1000));
            QTRY_VERIFY(port.waitForReadyRead(100) || port.bytesAvailable() > 0);
            QCOMPARE(port.readAll(), QByteArray(1, char(AckByte)));
        }
        const FlashRun run = bench.Run({"info", "--port", "COM1"});
        QVERIFY2(run.status == 0, qPrintable(run.err));
        QVERIFY(run.out.contains("RQ-70 Boot 1.0"));
        QVERIFY(device.Stop());
        for (const QJsonValue& word : device.Dump().value("program").toArray()) {
            const int address = word.toArray().at(0).toInt();
            QVERIFY2(address >= 256 && address < 256 + 32, qPrintable(QString::number(address)));
        }
    }

    // `info` holds a port whose receive trigger it lowered: ended by SIGTERM it puts the trigger
    // back itself; killed, it leaves a note, and the next program puts it back.
    void infoPutsThePortSettingsBack() {
        Bench bench;
        // Replies held 300 ms keep `info` on the port for a few seconds.
        SimulatedDevice& device = bench.Add(1, {"--delay", "300", "--id", "RQ-70"});
        const QString sysfs = bench.folder.filePath("sys");
        const QString notes = bench.folder.filePath("notes");
        const QString attribute = QStringLiteral("%1/class/tty/%2/rx_trig_bytes")
                                      .arg(sysfs, QFileInfo(device.PtyPath()).fileName());
        QVERIFY(QDir().mkpath(QFileInfo(attribute).path()));
        QFile file(attribute);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("8\n") == 2);
        file.close();
        const auto trigger = [&] { return ContentOf(attribute).trimmed(); };
        const auto noted = [&] { return QDir(notes).entryList(QDir::Files).size(); };
        qputenv("RQ70_SYSFS_ROOT", sysfs.toLocal8Bit());
        qputenv("RQ70_PORT_NOTE_DIR", notes.toLocal8Bit());
        const auto environmentBack = qScopeGuard([] {
            qunsetenv("RQ70_SYSFS_ROOT");
            qunsetenv("RQ70_PORT_NOTE_DIR");
        });

        for (const int signal : {SIGTERM, SIGKILL}) {
            QProcess flash;
            bench.Start(flash, {"info", "--port", "COM1"});
            QTRY_COMPARE_WITH_TIMEOUT(trigger(), QByteArray("1"), 10000);
            QCOMPARE(noted(), 1);
            ::kill(pid_t(flash.processId()), signal);
            QVERIFY(flash.waitForFinished(10000));
            if (signal == SIGTERM) {
                QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
                QCOMPARE(flash.exitCode(), 1);
                QVERIFY(flash.readAllStandardError().contains("interrupted"));
                QCOMPARE(trigger(), QByteArray("8"));
                QCOMPARE(noted(), 0);
            } else {
                QCOMPARE(trigger(), QByteArray("1"));
                QCOMPARE(noted(), 1);
                // The held reply still owed to the killed program goes out before the next one
                // starts, as a real device's would within microseconds.
                QTRY_VERIFY_WITH_TIMEOUT(!device.Log().isEmpty() && !device.Log().last().fromHost, 5000);
            }
        }
        const FlashRun run = bench.Run({"info", "--port", "COM1"});
        QVERIFY2(run.status == 0, qPrintable(run.err));
        QCOMPARE(run.out, QStringLiteral("RQ-70\n"));
        QCOMPARE(trigger(), QByteArray("8"));
        QCOMPARE(noted(), 0);
    }

    // A device named by another path than the one a running program holds it by is still that
    // device: the second program is refused before it sends a byte.
    void oneDeviceByTwoPathsIsRefused() {
        Bench bench;
        SimulatedDevice& device = bench.Add(1);
        const QString link = bench.folder.filePath("COM1");
        for (const auto& [held, named] :
             {std::pair{link, device.PtyPath()}, std::pair{device.PtyPath(), link}}) {
            SerialLink holder;
            holder.ApplyLineSettings();
            QVERIFY(holder.OpenDevice(held, held).ok());
            for (const char* command : {"update", "info"}) {
                QStringList arguments{command, "--port", named};
                if (QByteArray(command) == "update")
                    arguments.insert(1, RQ70_SAMPLE_UPDATE_FILE);
                const FlashRun run = bench.Run(arguments);
                QVERIFY2(run.status == 4, qPrintable(QString::number(run.status) + " " + named + run.err));
                QVERIFY2(run.err.contains("already in use"), qPrintable(run.err));
            }
        }
        QVERIFY(device.Stop());
        for (const SimulatedDevice::LoggedByte& byte : device.Log())
            QVERIFY2(!byte.fromHost, "a refused program sent a byte");
    }

    // A station started as its service starts it: everything from a config file, with one option
    // given on the command line as well, which wins over the file's. Both cradles' units are
    // updated, and each record line says which file, note, station and slot it came from, in the
    // record the file names (not the one RQ70_UPDATE_RECORD names).
    void stationTakesItsOptionsFromAConfigFile() {
        Bench bench;
        const QString line = bench.folder.filePath("line1");
        QVERIFY(QDir().mkpath(line));
        // Relative paths in the file start at its folder, whatever the station's current folder.
        const QString updateFile = QDir(line).filePath("RQ70-A.KRV");
        QVERIFY(QFile::copy(RQ70_SAMPLE_UPDATE_FILE, updateFile));
        const QString config = QDir(line).filePath("station-line1.conf");
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        // A note keeps its commas, semicolons and = as they are.
        file.write("# line 1, bench 3\n"
                   "file = RQ70-A.KRV\n"
                   "port = COM1\n"
                   "\n"
                   "  port=COM2  \n"
                   "note = WO 4711, batch 3; rework=no\n"
                   "record = updates-line1.jsonl\n"
                   "station = line1-bench3\n"
                   "require-record = yes\n"
                   "wait-unplug = no\n");
        file.close();
        SimulatedDevice& first = bench.Add(1, {"--id", "unit 1"});
        SimulatedDevice& second = bench.Add(2, {"--id", "unit 2"});

        QProcess station;
        bench.Start(station, {"station", "--config", config, "--station", "bench-override", "--json"});
        const QString record = QDir(line).filePath("updates-line1.jsonl");
        bool ok = false;
        QTRY_COMPARE_WITH_TIMEOUT(RecordLines(record, ok).size(), 2, 30000);
        ::kill(static_cast<pid_t>(station.processId()), SIGINT);
        QVERIFY(station.waitForFinished(15000));
        QVERIFY2(station.exitCode() == 0, qPrintable(station.readAllStandardError()));

        const QList<QJsonObject> events = JsonLines(QString::fromUtf8(station.readAllStandardOutput()), ok);
        QVERIFY(ok && !events.isEmpty());
        QCOMPARE(events.first().value("event").toString(), QString("shift"));
        QCOMPARE(events.first().value("note").toString(), QString("WO 4711, batch 3; rework=no"));
        QCOMPARE(events.last().value("event").toString(), QString("summary"));
        QCOMPARE(events.last().value("succeeded").toInt(), 2);
        const QHash<QString, QJsonObject> byPort = ByPort(RecordLines(record, ok));
        QVERIFY(ok);
        QCOMPARE(byPort.keys().size(), 2);
        for (int slot : {1, 2}) {
            const QJsonObject unit = byPort.value(QStringLiteral("COM%1").arg(slot));
            QCOMPARE(unit.value("verdict").toString(), QString("success"));
            QCOMPARE(unit.value("slot").toInt(), slot);
            QCOMPARE(unit.value("identification").toString(), QStringLiteral("unit %1").arg(slot));
            QCOMPARE(unit.value("update_file").toString(), updateFile);
            QCOMPARE(unit.value("note").toString(), QString("WO 4711, batch 3; rework=no"));
            QCOMPARE(unit.value("station").toString(), QString("bench-override"));
            QCOMPARE(unit.value("shift").toString(), events.first().value("shift").toString());
        }
        QVERIFY(!QFileInfo::exists(bench.record));
        for (SimulatedDevice* device : {&first, &second}) {
            QVERIFY(device->Stop());
            QCOMPARE(MemoryDifference(device->Dump(), SampleImages()), QString());
        }
    }

    // A config file the station cannot take ends it before any port is opened, with exit status 2
    // and the file and line named.
    void stationRefusesAConfigFileItCannotTake_data() {
        QTest::addColumn<QByteArray>("text"); // empty: the file is not there
        QTest::addColumn<QString>("said");
        QTest::newRow("unknown key") << QByteArray("port = COM1\n# colour = blue\n\ncolour = red\n")
                                     << ":4: unknown key 'colour'";
        QTest::newRow("a single key twice")
            << QByteArray("note = WO 1\nport = COM1\nport = COM2\nnote = WO 2\n")
            << ":4: 'note' is given twice (first on line 1)";
        QTest::newRow("not there") << QByteArray() << ": cannot be read: No such file or directory";
        QTest::newRow("password in db") << QByteArray("port = COM1\ndb = host=line-db password=secret\n")
                                        << ":2: db: a password does not belong";
        QTest::newRow("a yes/no key") << QByteArray("port = COM1\nwait-unplug = sometimes\n")
                                      << ":2: 'wait-unplug' takes yes or no, not 'sometimes'";
    }
    void stationRefusesAConfigFileItCannotTake() {
        QFETCH(QByteArray, text);
        QFETCH(QString, said);
        Bench bench;
        SimulatedDevice& device = bench.Add(1);
        const QString config = bench.folder.filePath("station.conf");
        if (!text.isEmpty()) {
            QFile file(config);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        }
        const FlashRun run = bench.Run({"station", RQ70_SAMPLE_UPDATE_FILE, "--config", config});
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.startsWith("rq70-flash: " + config + said), qPrintable(run.err));
        QVERIFY2(!run.err.contains("secret"), qPrintable(run.err));
        QVERIFY2(run.out.isEmpty(), qPrintable(run.out));
        QVERIFY(device.Stop());
        QVERIFY(device.Log().isEmpty());
    }

    // A port that fails while the identification is read has no device on it; and the search
    // reports the device path it opened.
    void identificationCutShortIsNoDevice() {
        Bench bench;
        // Each run takes its own device; the one before is still out.
        int n = 1;
        for (const QStringList& arguments : {QStringList{"info", "--port", "COM1"}, QStringList{"detect"},
                                             QStringList{"update", RQ70_SAMPLE_UPDATE_FILE, "--detect"}}) {
            bench.Add(n++, {"--vanish-after", "read:3"});
            const FlashRun run = bench.Run(arguments);
            QVERIFY2(run.status == 5, qPrintable(arguments.join(' ') + ": " + QString::number(run.status)));
            QVERIFY2(run.err.contains("went away while its identification was read"), qPrintable(run.err));
            QVERIFY2(run.out.isEmpty(), qPrintable(run.out));
        }
        SimulatedDevice& device = bench.Add(n);
        const FlashRun run = bench.Run({"detect", "--json"});
        QVERIFY2(run.status == 0, qPrintable(run.err));
        bool ok = false;
        const QList<QJsonObject> lines = JsonLines(run.out, ok);
        QVERIFY(ok && lines.size() == 1);
        QCOMPARE(lines[0].value("port").toString(), QStringLiteral("COM4"));
        QCOMPARE(QFileInfo(lines[0].value("device_path").toString()).canonicalFilePath(), device.PtyPath());
        QCOMPARE(lines[0].value("identification").toString(), QStringLiteral("RQ-70 Boot 1.0"));
    }
};

QTEST_MAIN(FlashTest)
#include "tst_flash.moc"
