// rq70-flash station as a production line runs it: the built program with slots on ptys, units
// that arrive and leave as simulated devices come and go, its events, its records and its
// exit statuses.

#include "AppFixture.h"
#include "PseudoTerminal.h"

#include "image/HexLoader.h"
#include "link/BootLoaderBytes.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace rq70;

namespace {

// One station process and the events it has printed so far.
class Station {
public:
    explicit Station(const QString& portDir) : portDir_(portDir) {}
    ~Station() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    void Start(const QStringList& arguments, const QString& record) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("RQ70_UPDATE_RECORD", record);
        process_.setProcessEnvironment(environment);
        process_.start(RQ70_FLASH_PATH, QStringList{"station"} + arguments + QStringList{"--json"});
    }
    QString Port(int n) const { return QDir(portDir_).filePath(QStringLiteral("COM%1").arg(n)); }

    // Waits for the next event of `kind` from `slot` (0: the station's own events) after the last
    // one taken from that slot, and takes it. The event, or an empty object after `timeoutMs`.
    QJsonObject Next(const QString& kind, int slot, int timeoutMs = 15000) {
        const QDeadlineTimer deadline(timeoutMs);
        qsizetype& taken = taken_[slot];
        while (true) {
            for (; taken < events_.size(); ++taken) {
                const QJsonObject& event = events_[taken];
                if (event.value("slot").toInt() == slot && event.value("event") == kind)
                    return events_[taken++];
            }
            if (deadline.hasExpired() || process_.state() == QProcess::NotRunning)
                return {};
            process_.waitForReadyRead(int(std::max<qint64>(deadline.remainingTime(), 1)));
            Read();
        }
    }
    // Every event so far of this kind (and slot, unless 0).
    int Count(const QString& kind, int slot = 0) {
        Read();
        int count = 0;
        for (const QJsonObject& event : events_)
            count += event.value("event") == kind && (slot == 0 || event.value("slot").toInt() == slot);
        return count;
    }
    void Signal(int number) { ::kill(pid_t(process_.processId()), number); }
    int Finish() {
        if (!process_.waitForFinished(15000))
            return -1;
        Read();
        return process_.exitCode();
    }
    QString Errors() { return QString::fromUtf8(process_.readAllStandardError()); }

private:
    void Read() {
        buffer_ += process_.readAllStandardOutput();
        qsizetype end = 0;
        while ((end = buffer_.indexOf('\n')) >= 0) {
            const QJsonDocument line = QJsonDocument::fromJson(buffer_.left(end));
            if (!line.isObject())
                qWarning("not a JSON event: %s", buffer_.left(end).constData());
            events_ << line.object();
            buffer_.remove(0, end + 1);
        }
    }

    QString portDir_;
    QProcess process_;
    QByteArray buffer_;
    QList<QJsonObject> events_;
    // Per slot: how far its events have been taken.
    QHash<int, qsizetype> taken_;
};

QList<QJsonObject> JsonLinesOf(const QString& path) {
    QList<QJsonObject> lines;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            lines << QJsonDocument::fromJson(line).object();
    }
    return lines;
}

// Bytes the station sent the unit after the update's closing finish command (the last 0xA8 it sent:
// the byte may also be an address or data byte within the update).
int BytesAfterFinish(const SimulatedDevice& unit) {
    int after = -1;
    for (const SimulatedDevice::LoggedByte& byte : unit.Log()) {
        if (!byte.fromHost)
            continue;
        after = byte.value == FinishCommand ? 0 : after < 0 ? -1 : after + 1;
    }
    return after;
}

// Bytes the unit answered after the update's closing finish command.
int RepliesAfterFinish(const SimulatedDevice& unit) {
    int after = -1;
    for (const SimulatedDevice::LoggedByte& byte : unit.Log()) {
        if (byte.fromHost && byte.value == FinishCommand)
            after = 0;
        else if (!byte.fromHost && after >= 0)
            ++after;
    }
    return after;
}

FirmwareImages ImagesOf(const QString& path) {
    FirmwareImages images;
    LoadHexFile(path.toStdString(), images, {});
    return images;
}

} // namespace

class StationTest : public QObject {
    Q_OBJECT

private slots:
    void servesUnitAfterUnitInEachSlot() {
        QTemporaryDir folder;
        const QString record = folder.filePath("updates.jsonl");
        const FirmwareImages images = ImagesOf(RQ70_SAMPLE_UPDATE_FILE);
        Station station(folder.path());
        station.Start({RQ70_SAMPLE_UPDATE_FILE, "--port", station.Port(1), "--port", station.Port(2),
                       "--note", "WO 17"},
                      record);
        const QJsonObject shift = station.Next("shift", 0);
        QCOMPARE(shift.value("note").toString(), QString("WO 17"));
        // Cradles with no adapter in them yet.
        QVERIFY(!station.Next("port_gone", 1).isEmpty());
        QVERIFY(!station.Next("port_gone", 2).isEmpty());

        // Unit A: updated once, and not again while it stays in its cradle, however often the
        // slot checks that it is still there.
        SimulatedDevice a;
        QVERIFY(a.Start(1, {"--id", "unit A"}, folder.path()));
        QJsonObject verdict = station.Next("verdict", 1);
        QCOMPARE(verdict.value("verdict").toString(), QString("success"));
        QCOMPARE(verdict.value("identification").toString(), QString("unit A"));
        QTRY_VERIFY_WITH_TIMEOUT(BytesAfterFinish(a) >= 6, 10000);
        QCOMPARE(station.Count("start", 1), 1);
        // Unit C in slot 2 is pulled in the middle of its program write and plugged back in: the
        // same unit comes back inside a command, and is then updated in full.
        SimulatedDevice c;
        QVERIFY(c.Start(2, {"--id", "unit C", "--vanish-after", "write:5", "--reappear-after", "300"},
                        folder.path()));
        verdict = station.Next("verdict", 2);
        QCOMPARE(verdict.value("verdict").toString(), QString("failure"));
        QCOMPARE(verdict.value("failed_phase").toString(), QString("program"));
        QCOMPARE(station.Next("unit_left", 2).value("how").toString(), QString("port_gone"));
        QVERIFY(!station.Next("port_back", 2).isEmpty());
        QCOMPARE(station.Next("start", 2).value("unit").toInt(), 2);
        QCOMPARE(station.Next("verdict", 2).value("verdict").toString(), QString("success"));

        // A leaves; B, with a fault, takes its place.
        QVERIFY(a.Stop());
        QCOMPARE(MemoryDifference(a.Dump(), images), QString());
        QCOMPARE(a.CommandCount("erase"), (images.HighestProgramWord - 256) / 32 + 1);
        QCOMPARE(station.Next("unit_left", 1).value("how").toString(), QString("port_gone"));
        SimulatedDevice b;
        QVERIFY(b.Start(1, {"--id", "unit B", "--corrupt-echo", "261"}, folder.path()));
        verdict = station.Next("verdict", 1);
        QCOMPARE(verdict.value("verdict").toString(), QString("failure"));
        QCOMPARE(verdict.value("failed_word").toInt(), 261);

        // The shift ends with the updates done: at once, with the summary of all four units.
        QVERIFY(c.Stop());
        QCOMPARE(MemoryDifference(c.Dump(), images), QString());
        station.Signal(SIGINT);
        const QJsonObject summary = station.Next("summary", 0);
        QCOMPARE(station.Finish(), 1);
        QCOMPARE(summary.value("units").toInt(), 4);
        QCOMPARE(summary.value("succeeded").toInt(), 2);
        QCOMPARE(summary.value("failed").toInt(), 2);
        const QJsonArray perSlot = summary.value("slots").toArray();
        QCOMPARE(perSlot.size(), 2);
        for (const QJsonValue& slot : perSlot) {
            QCOMPARE(slot.toObject().value("units").toInt(), 2);
            QCOMPARE(slot.toObject().value("succeeded").toInt(), 1);
        }
        QCOMPARE(station.Count("start"), 4);

        // One record line per unit, each naming the shift, its slot, the note and the cradle as it
        // was given; C's failure names the pty it was pulled from, though that is gone.
        const QList<QJsonObject> records = JsonLinesOf(record);
        QCOMPARE(records.size(), 4);
        QStringList units;
        for (const QJsonObject& line : records) {
            QCOMPARE(line.value("shift").toString(), shift.value("shift").toString());
            QCOMPARE(line.value("note").toString(), QString("WO 17"));
            const int slot = line.value("slot").toInt();
            QCOMPARE(line.value("port").toString(), station.Port(slot));
            QCOMPARE(line.value("device_path").toString(), station.Port(slot));
            const QString node = line.value("device_node").toString();
            if (slot == 1)
                QCOMPARE(node, line.value("verdict") == "success" ? a.PtyPath() : b.PtyPath());
            else if (line.value("verdict") == "failure")
                QCOMPARE(node, c.PtyPath());
            QVERIFY(line.value("usb_serial").isNull());
            units << QStringLiteral("%1 %2")
                         .arg(line.value("slot").toInt())
                         .arg(line.value("verdict").toString());
        }
        units.sort();
        QCOMPARE(units, QStringList({"1 failure", "1 success", "2 failure", "2 success"}));
        QProcess history;
        history.start(RQ70_FLASH_PATH,
                      {"history", "--record", record, "--json", "--shift", shift.value("shift").toString()});
        QVERIFY(history.waitForFinished(10000));
        QCOMPARE(history.readAllStandardOutput().count('\n'), 4);
        history.start(RQ70_FLASH_PATH, {"history", "--record", record, "--json", "--shift", "another"});
        QVERIFY(history.waitForFinished(10000));
        QCOMPARE(history.readAllStandardOutput().count('\n'), 0);
    }

    void aUnitLeavesByFallingSilentForASecond() {
        QTemporaryDir folder;
        Station station(folder.path());
        station.Start({RQ70_SAMPLE_UPDATE_FILE, "--port", station.Port(1)}, folder.filePath("updates.jsonl"));
        // D starts its own program for 600 ms after the update and then answers again: a unit that
        // stayed, never one that left and came back.
        SimulatedDevice d;
        QVERIFY(d.Start(1, {"--id", "unit D", "--quiet-after-finish", "600"}, folder.path()));
        QCOMPARE(station.Next("verdict", 1).value("verdict").toString(), QString("success"));
        QTRY_VERIFY_WITH_TIMEOUT(RepliesAfterFinish(d) >= 2, 10000);
        QCOMPARE(station.Count("unit_left", 1), 0);
        QCOMPARE(station.Count("start", 1), 1);
        QVERIFY(d.Stop());
        QCOMPARE(station.Next("unit_left", 1).value("how").toString(), QString("port_gone"));
        // E keeps to its program: it has left as far as the slot can tell, and is not updated again.
        SimulatedDevice e;
        QVERIFY(e.Start(1, {"--id", "unit E", "--quiet-after-finish", "86400000"}, folder.path()));
        QCOMPARE(station.Next("verdict", 1).value("verdict").toString(), QString("success"));
        QCOMPARE(station.Next("unit_left", 1).value("how").toString(), QString("no_answer"));
        QVERIFY(!station.Next("waiting", 1).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(BytesAfterFinish(e) >= 12, 10000);
        station.Signal(SIGINT);
        QCOMPARE(station.Next("summary", 0).value("units").toInt(), 2);
        QCOMPARE(station.Finish(), 0);
        QCOMPARE(station.Count("start", 1), 2);
        QVERIFY(e.Stop());
    }

    // A cradle whose port stays while the unit's contact breaks and returns: whatever the unit was
    // inside when its contact broke, what the slot sends when the contact is back finishes that
    // command in the rows being updated, never with probe bytes that name words elsewhere.
    void aContactThatBreaksAndReturnsWritesNothingOutsideTheRows() {
        QTemporaryDir folder;
        const QString record = folder.filePath("updates.jsonl");
        const QString updateFile = folder.filePath("RQ70-PATTERN.KRV");
        WriteUpdateFile(updateFile, PatternUpdateHex());
        const FirmwareImages images = ImagesOf(updateFile);
        Station station(folder.path());
        station.Start({updateFile, "--port", station.Port(1)}, record);
        int units = 0;
        // Right after the acknowledge of an erase, a program write and an EEPROM write, the
        // contact is gone for 3 s: the unit leaves by silence, comes back inside the command, and
        // is updated in full.
        for (const auto& [fault, phase, word] :
             {std::tuple{"erase:3:6000", "program", 256}, std::tuple{"write:33:3000", "program", 384},
              std::tuple{"eeprom:5:3000", "eeprom", -1}}) {
            SimulatedDevice unit;
            QVERIFY(unit.Start(1, {"--break-contact", fault}, folder.path()));
            const QJsonObject failed = station.Next("verdict", 1);
            QCOMPARE(failed.value("verdict").toString(), QString("failure"));
            QCOMPARE(failed.value("failed_phase").toString(), QString(phase));
            QCOMPARE(failed.value("failed_word").toInt(-1), word);
            QCOMPARE(station.Next("unit_left", 1).value("how").toString(), QString("no_answer"));
            QCOMPARE(station.Next("verdict", 1).value("verdict").toString(), QString("success"));
            QVERIFY(unit.Stop());
            QCOMPARE(MemoryDifference(unit.Dump(), images), QString());
            QCOMPARE(station.Next("unit_left", 1).value("how").toString(), QString("port_gone"));
            units += 2;
        }
        // A flicker inside the second that tells a unit that left: the failed unit stays, and is
        // not updated again, but nothing it was sent lands outside the rows.
        SimulatedDevice flicker;
        QVERIFY(flicker.Start(1, {"--break-contact", "write:10:400"}, folder.path()));
        QCOMPARE(station.Next("verdict", 1).value("verdict").toString(), QString("failure"));
        const auto probes = [&flicker] {
            int count = 0;
            for (const SimulatedDevice::LoggedByte& byte : flicker.Log())
                count += byte.fromHost && byte.value == ProbeCommand;
            return count;
        };
        QTRY_VERIFY_WITH_TIMEOUT(probes() >= 10, 10000);
        QVERIFY(flicker.Stop());
        QCOMPARE(WordOutsideRows(flicker.Dump(), images), QString());
        QCOMPARE(station.Next("unit_left", 1).value("how").toString(), QString("port_gone"));
        QCOMPARE(station.Count("start", 1), ++units);
        station.Signal(SIGINT);
        QCOMPARE(station.Next("summary", 0).value("units").toInt(), units);
        QCOMPARE(station.Finish(), 1);
        QCOMPARE(JsonLinesOf(record).size(), units);
    }

    void oneDeviceUnderTwoSlotsNamesIsServedByOneSlot() {
        // Two cradles named apart at the start, empty and with nothing to tell them apart by.
        QTemporaryDir folder;
        const QString record = folder.filePath("updates.jsonl");
        const FirmwareImages images = ImagesOf(RQ70_SAMPLE_UPDATE_FILE);
        const int erasesOfOneUpdate = (images.HighestProgramWord - 256) / 32 + 1;
        Station station(folder.path());
        station.Start({RQ70_SAMPLE_UPDATE_FILE, "--port", station.Port(1), "--port", station.Port(2)},
                      record);
        QVERIFY(!station.Next("port_gone", 2).isEmpty());
        SimulatedDevice first;
        QVERIFY(first.Start(1, {"--id", "unit F"}, folder.path()));
        QVERIFY(!station.Next("port_back", 1).isEmpty());
        // Then slot 2's name is made to lead wherever slot 1's does.
        QVERIFY(QFile::link(station.Port(1), station.Port(2)));
        const QString refusal = station.Next("open_failed", 2).value("reason").toString();
        QVERIFY2(refusal.contains("slot 1 (" + station.Port(1) + ")"), qPrintable(refusal));
        QCOMPARE(station.Next("verdict", 1).value("verdict").toString(), QString("success"));
        QTRY_VERIFY_WITH_TIMEOUT(BytesAfterFinish(first) >= 6, 10000);
        QVERIFY(first.Stop());
        QCOMPARE(first.CommandCount("erase"), erasesOfOneUpdate);

        // The next unit is there for both names at once: one slot takes it, the other says whose
        // it is, and it is updated once.
        SimulatedDevice second;
        QVERIFY(second.Start(1, {"--id", "unit G"}, folder.path()));
        QTRY_VERIFY_WITH_TIMEOUT(station.Count("verdict") == 2, 15000);
        const int taker = station.Count("verdict", 2) == 1 ? 2 : 1;
        QCOMPARE(station.Count("start", taker), taker == 1 ? 2 : 1);
        QCOMPARE(station.Count("start"), 2);
        const QString other = station.Next("open_failed", 3 - taker).value("reason").toString();
        QVERIFY2(other.contains(QStringLiteral("slot %1 (").arg(taker)), qPrintable(other));
        QTRY_VERIFY_WITH_TIMEOUT(BytesAfterFinish(second) >= 6, 10000);
        station.Signal(SIGINT);
        QCOMPARE(station.Next("summary", 0).value("succeeded").toInt(), 2);
        QCOMPARE(station.Finish(), 0);
        QVERIFY(second.Stop());
        QCOMPARE(second.CommandCount("erase"), erasesOfOneUpdate);
        QCOMPARE(MemoryDifference(second.Dump(), images), QString());
        QCOMPARE(station.Count("start"), 2);
    }

    void waitUnplugAndTheTwoStagesOfCtrlC() {
        QTemporaryDir folder;
        const QString updateFile = folder.filePath("RQ70-PATTERN.KRV");
        WriteUpdateFile(updateFile, PatternUpdateHex());
        const FirmwareImages images = ImagesOf(updateFile);
        {
            Station station(folder.path());
            station.Start({updateFile, "--port", station.Port(1), "--port", station.Port(2), "--wait-unplug"},
                          folder.filePath("updates.jsonl"));
            SimulatedDevice p;
            QVERIFY(p.Start(1, {"--id", "unit P"}, folder.path()));
            QCOMPARE(station.Next("verdict", 1).value("verdict").toString(), QString("success"));
            // While unit Q is updated at the line's pace in slot 2, P's cradle hears nothing.
            SimulatedDevice q;
            QVERIFY(q.Start(2, {"--id", "unit Q", "--baud", "19200"}, folder.path()));
            QVERIFY(!station.Next("progress", 2).isEmpty());
            // The terminal goes away (SIGHUP, twice): as Ctrl-C once, Q's update runs to its end
            // and no new unit is taken; a hang-up never counts as the second Ctrl-C.
            station.Signal(SIGHUP);
            const QJsonObject interrupted = station.Next("interrupted", 0);
            QCOMPARE(interrupted.value("stage").toInt(), 1);
            QCOMPARE(interrupted.value("signal").toString(), QString("SIGHUP"));
            station.Signal(SIGHUP);
            QCOMPARE(station.Next("verdict", 2).value("verdict").toString(), QString("success"));
            const QJsonObject summary = station.Next("summary", 0);
            QCOMPARE(station.Finish(), 0);
            QCOMPARE(station.Count("interrupted"), 1);
            QCOMPARE(summary.value("succeeded").toInt(), 2);
            QVERIFY(p.Stop() && q.Stop());
            QCOMPARE(BytesAfterFinish(p), 0);
            QCOMPARE(MemoryDifference(q.Dump(), images), QString());
        }
        {
            // A record that cannot be written, though required: the unit counts as failed to
            // record, and the shift's status says so. Ctrl-C twice stops the update under way.
            Station station(folder.path());
            station.Start(
                {updateFile, "--port", station.Port(1), "--port", station.Port(2), "--require-record"},
                updateFile + "/updates.jsonl");
            SimulatedDevice s;
            QVERIFY(s.Start(1, {"--id", "unit S"}, folder.path()));
            const QJsonObject verdict = station.Next("verdict", 1);
            QCOMPARE(verdict.value("verdict").toString(), QString("record_failed"));
            QVERIFY(!verdict.value("record_warning").toString().isEmpty());
            SimulatedDevice r;
            QVERIFY(r.Start(2, {"--id", "unit R", "--baud", "9600"}, folder.path()));
            QVERIFY(!station.Next("progress", 2).isEmpty());
            station.Signal(SIGINT);
            QCOMPARE(station.Next("interrupted", 0).value("stage").toInt(), 1);
            QVERIFY(!station.Next("progress", 2).isEmpty());
            station.Signal(SIGINT);
            QCOMPARE(station.Next("interrupted", 0).value("stage").toInt(), 2);
            QCOMPARE(station.Next("verdict", 2).value("verdict").toString(), QString("aborted"));
            const QJsonObject summary = station.Next("summary", 0);
            QCOMPARE(station.Finish(), 6);
            // The operator is told what the second Ctrl-C does: the unit is left part-updated.
            const QString told = station.Errors();
            QVERIFY2(told.contains("interrupted again: the updates under way stop after the row, block or "
                                   "EEPROM byte under way, and their units are recorded as aborted"),
                     qPrintable(told));
            QCOMPARE(summary.value("failed").toInt(), 2);
            QVERIFY(s.Stop() && r.Stop());
            QVERIFY(!MemoryDifference(r.Dump(), images).isEmpty());
        }
    }

    // The station as an operator sees it on a 110-column terminal, and as a log keeps it: an update
    // file named "fw%1.KRV" and a note holding "%2" show as they are, the header is cut to the
    // width like the rows below it (it would wrap otherwise), the rows are redrawn in place with the
    // verdict in colour, and a unit whose identification holds escape sequences cannot retitle or
    // clear the terminal.
    void theScreenShowsTextsAsTheyAreWithinTheWidth_data() {
        QTest::addColumn<bool>("terminal");
        QTest::newRow("terminal") << true;
        QTest::newRow("plain lines") << false;
    }

    void theScreenShowsTextsAsTheyAreWithinTheWidth() {
        QFETCH(bool, terminal);
        constexpr int Columns = 110;
        QTemporaryDir folder;
        const QString updateFile = folder.filePath("fw%1.KRV");
        QVERIFY(QFile::copy(RQ70_SAMPLE_UPDATE_FILE, updateFile));
        SimulatedDevice unit;
        QVERIFY(unit.Start(1, {"--id", R"(RQ-70 \x1b]0;owned\x07\x1b[2J 4.2)"}, folder.path()));
        const QString shown = "RQ-70 ?]0;owned??[2J 4.2";

        PseudoTerminal screen(Columns, 40);
        QVERIFY(screen.IsOpen());
        QProcess station;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("RQ70_UPDATE_RECORD", folder.filePath("updates.jsonl"));
        environment.insert("TERM", "xterm");
        environment.remove("NO_COLOR");
        station.setProcessEnvironment(environment);
        if (terminal)
            screen.Attach(station);
        station.start(RQ70_FLASH_PATH, {"station", updateFile, "--port", QDir(folder.path()).filePath("COM1"),
                                        "--note", "WO %2 batch 7"});
        QByteArray output;
        const auto outputSoFar = [&] {
            output = terminal ? screen.Output() : output + station.readAllStandardOutput();
            return output;
        };
        QTRY_VERIFY_WITH_TIMEOUT(outputSoFar().contains("SUCCEEDED"), 15000);
        ::kill(pid_t(station.processId()), SIGINT);
        QVERIFY(station.waitForFinished(15000));
        QCOMPARE(station.exitCode(), 0);
        QTRY_VERIFY(outputSoFar().contains("\nShift "));

        QCOMPARE(PseudoTerminal::ForeignControls(output), QStringList());
        const QStringList rows = PseudoTerminal::Rows(output);
        static const QRegularExpression ended(QStringLiteral("^Shift (\\S+) ended after "));
        const QString shift = rows.filter(ended).value(0).section(' ', 1, 1);
        QVERIFY2(!shift.isEmpty(), output.constData());
        if (!terminal) {
            QCOMPARE(rows.value(0),
                     "shift " + shift + " from " + updateFile + " on 1 slot(s), note: WO %2 batch 7");
            QVERIFY2(rows.filter(QRegularExpression("^slot 1 \\(.*\\): unit 1 SUCCEEDED after \\d+:\\d\\d: " +
                                                    QRegularExpression::escape(shown) + "$"))
                             .size() == 1,
                     output.constData());
            return;
        }
        const QString header = "Shift " + shift + " from " + updateFile +
                               " (WO %2 batch 7) - Ctrl-C ends it after the updates under way";
        QVERIFY(header.size() > Columns);
        QCOMPARE(rows.value(0), header.left(Columns - 1));
        for (const QString& row : rows)
            QVERIFY2(row.size() < Columns, qPrintable(row));
        // The totals and the slot's row, drawn again in place: two rows up each time.
        QVERIFY(output.contains("\x1b[2A\r\x1b[2K"));
        QVERIFY(output.contains("unit 1 \x1b[1;32mSUCCEEDED\x1b[0m  " + shown.toUtf8() + " - take it out"));
        QVERIFY(PseudoTerminal::DrawnRows(output)
                    .filter(QRegularExpression("^ 1 .{24}    1 ok   0 failed  "))
                    .size() > 0);
    }
};

QTEST_GUILESS_MAIN(StationTest)
#include "tst_station.moc"
