// The update run against a simulated boot loader on a pseudo-terminal: what ends up in the
// device, what crossed the wire, and what the run showed.

#include "RecordingUpdateView.h"
#include "SimulatedDevice.h"

#include "image/HexLoader.h"
#include "link/BootLoaderBytes.h"
#include "link/DeviceResync.h"
#include "update/UpdateProcedure.h"

#include <QJsonArray>
#include <QTest>

using namespace rq70;

Q_DECLARE_METATYPE(rq70::UpdatePhase)

namespace {

constexpr int ShortTimeoutMs = 30;

QList<int> AddressesOf(const QList<SimulatedDevice::HostCommand>& commands, int command) {
    QList<int> addresses;
    for (const SimulatedDevice::HostCommand& c : commands) {
        if (c.command == command)
            addresses << c.address;
    }
    return addresses;
}

// A fresh updater and a simulated device on COM1.
struct Bench {
    SimulatedDevice device;
    UpdaterModul state;
    RecordingUpdateView view;

    bool Start(const QStringList& options = {}) {
        if (!device.Start(1, options))
            return false;
        qputenv("RQ70_PORT_DIR", device.PortDir().toLocal8Bit());
        state.link.ApplyLineSettings();
        return true;
    }
    UpdateResult Run(int timeoutMs = SerialLink::ReplyTimeoutMs) {
        return RunUpdate(state, view, 1, timeoutMs);
    }

    // Words 256..`highest` get a pattern that differs from word to word and from erased.
    void FillProgram(int highest) {
        for (int word = FirstUpdatedWord; word <= highest; ++word)
            state.images.StoreProgramWord(word, static_cast<std::uint8_t>(word * 7),
                                          static_cast<std::uint8_t>(word % 61));
    }
    void FillEeprom() {
        for (int address = 0; address < EepromByteCount; ++address)
            state.images.StoreEepromByte(address, static_cast<std::uint8_t>(255 - address * 3));
    }

    // The device's program memory as its dump lists it: address -> word.
    QHash<int, int> DeviceProgram() const {
        QHash<int, int> words;
        for (const QJsonValue& entry : device.Dump().value("program").toArray()) {
            const QJsonArray word = entry.toArray();
            words.insert(word[0].toInt(), word[1].toInt() | word[2].toInt() << 8);
        }
        return words;
    }
    QList<int> DeviceEeprom() const {
        QList<int> bytes;
        for (const QJsonValue& value : device.Dump().value("eeprom").toArray())
            bytes << value.toInt();
        return bytes;
    }
    int ImageWord(int address) const {
        return state.images.HighByte(address) << 8 | state.images.LowByte(address);
    }
};

} // namespace

class UpdateTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { qunsetenv("RQ70_PORT_DIR"); }

    void wholeSampleFileLandsInTheDevice() {
        Bench bench;
        std::vector<std::string> messages;
        LoadHexFile(RQ70_SAMPLE_UPDATE_FILE, bench.state.images,
                    [&](const std::string& m) { messages.push_back(m); });
        QVERIFY(messages.empty());
        QVERIFY(bench.state.images.HighestProgramWord >= 256);
        QVERIFY(bench.Start({"--exit-after-finish"}));

        const UpdateResult result = bench.Run();
        QCOMPARE(result.outcome, UpdateResult::Succeeded);
        QCOMPARE(bench.view.ResultLabel1(), QStringLiteral("The update was successful."));
        QCOMPARE(bench.view.ResultLabel2(), QStringLiteral("RQ-70 Boot 1.0"));
        QCOMPARE(result.identification, QStringLiteral("RQ-70 Boot 1.0"));
        QCOMPARE(result.failedPhase, UpdatePhase::None);
        QCOMPARE(result.reason, QString());
        QVERIFY(!bench.view.ProgressShown());
        QVERIFY(!bench.state.link.MonitorTimerEnabled());
        QVERIFY(bench.view.verifyErrors.isEmpty());
        QVERIFY(bench.device.WaitForExit());

        // From word 256 to the end of the last block the device holds the image; below 256 and
        // beyond, it holds what it held before (erased).
        const QHash<int, int> device = bench.DeviceProgram();
        const int highest = bench.state.images.HighestProgramWord;
        const int lastBlockEnd = (highest / 4) * 4 + 3;
        for (int word = 0; word < ProgramWordCount; ++word) {
            const int expected =
                word >= 256 && word <= lastBlockEnd ? bench.ImageWord(word) & 0x3FFF : 0x3FFF;
            QCOMPARE(device.value(word, 0x3FFF), expected);
        }
        QList<int> image;
        for (int address = 0; address < EepromByteCount; ++address)
            image << bench.state.images.EepromByte(address);
        QCOMPARE(bench.DeviceEeprom(), image);

        // The identification text is read after the EEPROM phase, and 0xA8 is the very last byte.
        const QList<SimulatedDevice::LoggedByte> log = bench.device.Log();
        QVERIFY(!log.isEmpty());
        QCOMPARE(log.last().value, int(FinishCommand));
        QVERIFY(log.last().fromHost);
        const QList<SimulatedDevice::HostCommand> commands = bench.device.HostCommands();
        QCOMPARE(commands.last().command, int(FinishCommand));
        QCOMPARE(commands[commands.size() - 2].command, int(ReadByteCommand));
        QCOMPARE(AddressesOf(commands, ReadByteCommand).first(), 208);
        QCOMPARE(AddressesOf(commands, WriteEepromCommand).size(), 256);
        QVERIFY(bench.device.Dump().value("finish_seen").toBool());
    }

    void rowsAndBlocksFollowTheHighestWord_data() {
        QTest::addColumn<int>("highest");
        QTest::addColumn<QList<int>>("eraseRows");
        QTest::addColumn<int>("lastBlock");
        QTest::addColumn<int>("blockCount");
        QTest::newRow("below 256") << 100 << QList<int>() << -1 << 0;
        QTest::newRow("exactly 256") << 256 << QList<int>{256} << 256 << 1;
        QTest::newRow("one row and a word") << 288 << QList<int>{256, 288} << 288 << 9;
        QList<int> allRows;
        for (int row = 256; row <= 16352; row += 32)
            allRows << row;
        QTest::newRow("16383") << 16383 << allRows << 16380 << (16380 - 256) / 4 + 1;
    }
    void rowsAndBlocksFollowTheHighestWord() {
        QFETCH(int, highest);
        QFETCH(QList<int>, eraseRows);
        QFETCH(int, lastBlock);
        QFETCH(int, blockCount);
        Bench bench;
        bench.state.images.StoreProgramWord(highest, 0x12, 0x34);
        QCOMPARE(bench.state.images.HighestProgramWord, highest);
        QVERIFY(bench.Start());
        QCOMPARE(bench.Run().outcome, UpdateResult::Succeeded);
        QVERIFY(bench.device.Stop());

        const QList<SimulatedDevice::HostCommand> commands = bench.device.HostCommands();
        QCOMPARE(AddressesOf(commands, EraseRowCommand), eraseRows);
        const QList<int> blocks = AddressesOf(commands, WriteProgramCommand);
        QCOMPARE(blocks.size(), blockCount);
        if (blockCount > 0) {
            QCOMPARE(blocks.first(), 256);
            QCOMPARE(blocks.last(), lastBlock);
        }
        QCOMPARE(AddressesOf(commands, WriteEepromCommand).size(), 256);
        if (highest >= 256)
            QCOMPARE(bench.DeviceProgram().value(highest), 0x3412);
    }

    void progressShowsPhasesColoursAndValues() {
        Bench bench;
        bench.FillProgram(300);
        QVERIFY(bench.Start());
        QCOMPARE(bench.Run().outcome, UpdateResult::Succeeded);

        const QStringList expected = {"ShowProgressWindow",
                                      "Label1 RQ-70",
                                      "Label2 ",
                                      "Max 300",
                                      "Label2 Erasing Flash...",
                                      "Color 0x00FFFF",
                                      "Label2 Writing program data...",
                                      "Color 0xED9564",
                                      "Max 255",
                                      "Label2 Writing EEPROM data...",
                                      "Color 0xED9564",
                                      "UnloadProgressWindow",
                                      "ShowResultWindow",
                                      "Result1 The update was successful.",
                                      "Result2 RQ-70 Boot 1.0"};
        QCOMPARE(bench.view.calls, expected);
        QCOMPARE(bench.view.Values(""), QList<int>{0});
        QCOMPARE(bench.view.Values("Erasing Flash..."), (QList<int>{256, 288}));
        QList<int> blocks;
        for (int block = 256; block <= 300; block += 4)
            blocks << block;
        QCOMPARE(bench.view.Values("Writing program data..."), blocks);
        const QList<int> eeprom = bench.view.Values("Writing EEPROM data...");
        QCOMPARE(eeprom.size(), 256);
        QCOMPARE(eeprom.first(), 0);
        QCOMPARE(eeprom.last(), 255);
    }

    void verifyMismatchNamesTheWord_data() {
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<QString>("message");
        QTest::newRow("second word of the block at 260")
            << QStringList{"--corrupt-echo", "261"} << "Error on Verify at Adress 261";
        QTest::newRow("its high byte")
            << QStringList{"--corrupt-echo", "261:high"} << "Error on Verify at Adress 261";
        QTest::newRow("echo missing its last byte")
            << QStringList{"--drop-echo", "260"} << "Error on Verify at Adress 263";
        QTest::newRow("echo missing a byte of word 261")
            << QStringList{"--drop-echo", "260:3"} << "Error on Verify at Adress 261";
    }
    void verifyMismatchNamesTheWord() {
        QFETCH(QStringList, fault);
        QFETCH(QString, message);
        Bench bench;
        bench.FillProgram(400);
        bench.FillEeprom();
        QVERIFY(bench.Start(fault));
        const UpdateResult result = bench.Run(200);
        QCOMPARE(result.outcome, UpdateResult::Failed);
        QCOMPARE(bench.view.verifyErrors, QStringList{message});
        QCOMPARE(result.failedPhase, UpdatePhase::Program);
        QCOMPARE(QString::number(result.failedWord), message.section(' ', -1));
        QCOMPARE(result.reason, QStringLiteral("the echo of word %1 did not match").arg(result.failedWord));
        QCOMPARE(bench.view.ResultLabel1(), QStringLiteral("The update was not successful."));
        QCOMPARE(bench.view.ResultLabel2(), QString());
        QVERIFY(bench.state.link.MonitorTimerEnabled());
        QVERIFY(bench.device.Stop());
        QCOMPARE(bench.device.CommandCount("write"), 2);
        QCOMPARE(bench.device.CommandCount("eeprom"), 0);
        QVERIFY(!bench.device.Dump().value("finish_seen").toBool());
    }

    void refusedEraseRowsArePassedOver() {
        Bench bench;
        bench.FillProgram(400);
        QVERIFY(bench.Start({"--nak", "erase@288"}));
        QCOMPARE(bench.Run().outcome, UpdateResult::Succeeded);
        QVERIFY(bench.view.verifyErrors.isEmpty());
        QVERIFY(bench.device.Stop());
        // The refused row got no address (-1); every other row and every block went out.
        QCOMPARE(AddressesOf(bench.device.HostCommands(), EraseRowCommand),
                 (QList<int>{256, -1, 320, 352, 384}));
        QCOMPARE(bench.device.CommandCount("erase"), 5);
        QCOMPARE(bench.DeviceProgram().value(400), bench.ImageWord(400));
    }

    void refusedWritesEndTheRunWithoutAMessage_data() {
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<int>("writes");
        QTest::addColumn<int>("eepromWrites");
        QTest::addColumn<UpdatePhase>("phase");
        QTest::addColumn<int>("word");
        QTest::addColumn<QString>("reason");
        QTest::newRow("write block 264")
            << QStringList{"--nak", "write@264"} << 3 << 0 << UpdatePhase::Program << 264
            << "the write command for word 264 was not acknowledged";
        QTest::newRow("EEPROM byte 5") << QStringList{"--nak", "eeprom@5"} << 37 << 6 << UpdatePhase::Eeprom
                                       << -1 << "the EEPROM write for address 5 was not acknowledged";
    }
    void refusedWritesEndTheRunWithoutAMessage() {
        QFETCH(QStringList, fault);
        QFETCH(int, writes);
        QFETCH(int, eepromWrites);
        QFETCH(UpdatePhase, phase);
        QFETCH(int, word);
        QFETCH(QString, reason);
        Bench bench;
        bench.FillProgram(400);
        QVERIFY(bench.Start(fault));
        const UpdateResult result = bench.Run();
        QCOMPARE(result.outcome, UpdateResult::Failed);
        QCOMPARE(result.failedPhase, phase);
        QCOMPARE(result.failedWord, word);
        QCOMPARE(result.reason, reason);
        QVERIFY(!result.aborted);
        QVERIFY(bench.view.verifyErrors.isEmpty());
        QCOMPARE(bench.view.ResultLabel1(), QStringLiteral("The update was not successful."));
        QVERIFY(bench.state.link.MonitorTimerEnabled());
        QVERIFY(bench.device.Stop());
        QCOMPARE(bench.device.CommandCount("write"), writes);
        QCOMPARE(bench.device.CommandCount("eeprom"), eepromWrites);
        QCOMPARE(bench.device.CommandCount("finish"), 0);
    }

    void abortLetsTheCurrentRowFinish() {
        Bench bench;
        bench.FillProgram(2000);
        bench.view.onValue = [&](const QString& phase, int value) {
            if (phase == "Erasing Flash..." && value == 320)
                bench.state.AbortRequested = true;
        };
        QVERIFY(bench.Start());
        bench.state.AbortRequested = true; // a stale press from before the run does not count
        const UpdateResult result = bench.Run();
        QCOMPARE(result.outcome, UpdateResult::Failed);
        QVERIFY(result.aborted);
        QCOMPARE(result.failedPhase, UpdatePhase::Erase);
        QCOMPARE(result.reason, QStringLiteral("aborted"));
        QVERIFY(bench.view.verifyErrors.isEmpty());
        QCOMPARE(bench.view.ResultLabel1(), QStringLiteral("The update was not successful."));
        QVERIFY(bench.state.link.MonitorTimerEnabled());
        QVERIFY(bench.device.Stop());
        QCOMPARE(AddressesOf(bench.device.HostCommands(), EraseRowCommand), (QList<int>{256, 288, 320}));
        QCOMPARE(bench.device.CommandCount("write"), 0);
    }

    void staleBytesAreFlushedBeforeTheFirstCommand() {
        Bench bench;
        bench.FillProgram(300);
        QVERIFY(bench.Start());
        // The port is already open on COM1 with three acknowledges waiting: taken for replies,
        // they would shift every exchange of the run.
        QVERIFY(bench.state.link.SelectAndOpen(1).ok());
        for (int i = 0; i < 3; ++i)
            bench.state.link.SendByte(ProbeCommand);
        QVERIFY(bench.state.link.WaitForInput(3));
        QCOMPARE(bench.state.link.BufferedCount(), 3);

        QCOMPARE(bench.Run().outcome, UpdateResult::Succeeded);
        QVERIFY(bench.device.Stop());
        QCOMPARE(bench.DeviceProgram().value(300), bench.ImageWord(300));
    }

    void aSilentDeviceFailsTheRun() {
        Bench bench;
        bench.FillProgram(400);
        QVERIFY(bench.Start({"--silent"}));
        QCOMPARE(bench.Run(ShortTimeoutMs).outcome, UpdateResult::Failed);
        // Every row is tried and passed over; the first block ends the run, without a message.
        QVERIFY(bench.view.verifyErrors.isEmpty());
        QCOMPARE(bench.view.Values("Erasing Flash..."), (QList<int>{256, 288, 320, 352, 384}));
        QCOMPARE(bench.view.Values("Writing program data..."), QList<int>{256});
        QVERIFY(bench.device.Stop());
        QList<int> sent;
        for (const SimulatedDevice::LoggedByte& byte : bench.device.Log())
            sent << byte.value;
        // The port was opened for the run: the device is first brought out of any command an
        // interrupted run left it in.
        QList<int> expected(LongestParameters, ResyncFillByte);
        expected << ProbeCommand << EraseRowCommand << EraseRowCommand << EraseRowCommand << EraseRowCommand
                 << EraseRowCommand << WriteProgramCommand;
        QCOMPARE(sent, expected);
    }

    void aLineThatHangsUpNeverSucceeds_data() {
        QTest::addColumn<QStringList>("fault");
        QTest::newRow("during the program phase") << QStringList{"--hangup-after-writes", "3"};
        QTest::newRow("during the EEPROM phase") << QStringList{"--hangup-after-eeprom", "10"};
    }
    void aLineThatHangsUpNeverSucceeds() {
        QFETCH(QStringList, fault);
        Bench bench;
        bench.FillProgram(400);
        QVERIFY(bench.Start(fault));
        // A failed port answers at once: no short wait is needed, and none could shift a reply.
        const UpdateResult result = bench.Run();
        QCOMPARE(result.outcome, UpdateResult::Failed);
        QCOMPARE(result.reason, QStringLiteral("the port failed"));
        QCOMPARE(bench.view.ResultLabel1(), QStringLiteral("The update was not successful."));
        QVERIFY(bench.view.verifyErrors.isEmpty());
        QVERIFY(bench.state.link.MonitorTimerEnabled());
        QVERIFY(bench.device.WaitForExit());
        QVERIFY(!bench.device.Dump().value("finish_seen").toBool());
    }

    void withoutAnOpenPortTheRunFails() {
        // No port chosen and none open: every read fails and counts as missing.
        Bench bench;
        bench.FillProgram(300);
        QCOMPARE(RunUpdate(bench.state, bench.view, 0, ShortTimeoutMs).outcome, UpdateResult::Failed);
        QVERIFY(bench.view.verifyErrors.isEmpty());
        QCOMPARE(bench.view.ResultLabel1(), QStringLiteral("The update was not successful."));
    }

    void theChosenPortIsTheOneUpdated() {
        SimulatedDevice other;
        Bench bench;
        bench.FillProgram(300);
        QVERIFY(bench.Start());
        QVERIFY(other.Start(2, {}, bench.device.PortDir()));
        // The search left COM1 open; the technician picked COM2.
        QVERIFY(bench.state.link.SelectAndOpen(1).ok());
        QCOMPARE(RunUpdate(bench.state, bench.view, 2).outcome, UpdateResult::Succeeded);
        QCOMPARE(bench.state.link.CommPort(), 2);
        QCOMPARE(bench.state.link.CurrentPort, 2);
        QVERIFY(other.Stop());
        QVERIFY(bench.device.Stop());
        QCOMPARE(other.CommandCount("write"), 12);
        QCOMPARE(bench.device.CommandCount("write"), 0);

        // A port that cannot be opened: nothing starts and nothing is shown.
        RecordingUpdateView view;
        const UpdateResult missing = RunUpdate(bench.state, view, 3);
        QCOMPARE(missing.outcome, UpdateResult::PortNotOpened);
        QCOMPARE(missing.open.failure, OpenFailure::Missing);
        QVERIFY(view.calls.isEmpty());
    }

    void oneLongOperationAtATime() {
        Bench bench;
        QVERIFY(bench.Start());
        bench.state.running = LongOperation::Search;
        QCOMPARE(bench.Run().outcome, UpdateResult::Busy);
        QVERIFY(bench.view.calls.isEmpty());

        // A second press of OK while a run waits for a reply starts nothing either.
        bench.state.running = LongOperation::None;
        bench.FillProgram(260);
        RecordingUpdateView inner;
        UpdateResult nested;
        bench.view.onValue = [&](const QString& phase, int value) {
            if (phase == "Erasing Flash..." && value == 256)
                nested = RunUpdate(bench.state, inner, 1);
        };
        QCOMPARE(bench.Run().outcome, UpdateResult::Succeeded);
        QCOMPARE(nested.outcome, UpdateResult::Busy);
        QVERIFY(inner.calls.isEmpty());
        QCOMPARE(bench.state.running, LongOperation::None);
    }
};

QTEST_GUILESS_MAIN(UpdateTest)
#include "tst_update.moc"
