// The simulated boot loader byte by byte: framing, memories, faults, line timing, the options and
// the dump. Everything here runs without a pty.

#include "devsim/DeviceCore.h"
#include "devsim/Dump.h"
#include "devsim/LinePacing.h"
#include "devsim/Options.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <initializer_list>
#include <stdexcept>

using namespace devsim;
using namespace std::chrono_literals;

namespace {

QByteArray Bytes(std::initializer_list<int> values) {
    QByteArray bytes;
    for (const int value : values)
        bytes.append(static_cast<char>(value));
    return bytes;
}

// Everything the device sends back while taking in `bytes`.
QByteArray Feed(DeviceCore& device, const QByteArray& bytes) {
    QByteArray replies;
    for (const char byte : bytes) {
        for (const std::uint8_t reply : device.Receive(static_cast<std::uint8_t>(byte)))
            replies.append(static_cast<char>(reply));
    }
    return replies;
}

QByteArray WriteCommand(int address, const QByteArray& data) {
    return Bytes({WriteCode, address & 0xFF, address >> 8}) + data;
}

QByteArray EraseCommand(int address) {
    return Bytes({EraseCode, address & 0xFF, address >> 8});
}

QByteArray BlockData(int firstByte) {
    QByteArray data;
    for (int i = 0; i < 8; ++i)
        data.append(static_cast<char>(firstByte + i));
    return data;
}

void WriteBlock(DeviceCore& device, int address, const QByteArray& data) {
    QCOMPARE(Feed(device, WriteCommand(address, data)), Bytes({Ack}) + data);
}

std::vector<std::string> Args(std::initializer_list<const char*> arguments) {
    std::vector<std::string> all = {"--port-dir", "/tmp", "--port", "COM3"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return all;
}

Options ParseOk(std::initializer_list<const char*> arguments) {
    const ParsedArguments parsed = ParseArguments(Args(arguments));
    if (!parsed.options)
        qFatal("arguments refused: %s", parsed.error.c_str());
    return *parsed.options;
}

// Hands on everything the adapter holds: each byte's due time in nanoseconds, and the bytes.
QList<qint64> DrainTimes(AdapterHold& adapter, QByteArray* bytes = nullptr) {
    QList<qint64> times;
    for (; !adapter.Empty(); adapter.PopFront()) {
        times.append(adapter.Front().at.count());
        if (bytes)
            bytes->append(static_cast<char>(adapter.Front().byte));
    }
    return times;
}

qint64 Nanos(LinePacing::Duration at) {
    return at.count();
}

} // namespace

class DeviceCoreTest : public QObject {
    Q_OBJECT

private slots:
    void commandFraming() {
        DeviceCore device;
        QCOMPARE(Feed(device, Bytes({ProbeCode})), Bytes({Ack}));

        QCOMPARE(Feed(device, Bytes({ReadCode})), Bytes({Ack}));
        QCOMPARE(Feed(device, Bytes({IdTextAddress})), QByteArray("R"));

        QCOMPARE(Feed(device, Bytes({EraseCode})), Bytes({Ack}));
        QCOMPARE(Feed(device, Bytes({0x00})), QByteArray());
        QCOMPARE(Feed(device, Bytes({0x01})), Bytes({Ack}));

        QCOMPARE(Feed(device, Bytes({WriteCode})), Bytes({Ack}));
        QCOMPARE(Feed(device, Bytes({0x00, 0x01})), QByteArray());
        QCOMPARE(Feed(device, BlockData(1).left(7)), QByteArray());
        QVERIFY(device.InsideCommand());
        QCOMPARE(Feed(device, BlockData(1).right(1)), BlockData(1));
        QVERIFY(!device.InsideCommand());

        QCOMPARE(Feed(device, Bytes({EepromCode})), Bytes({Ack}));
        QCOMPARE(Feed(device, Bytes({0x10})), QByteArray());
        QCOMPARE(Feed(device, Bytes({0x55})), Bytes({Ack}));
        QCOMPARE(device.Eeprom(0x10), 0x55);

        QVERIFY(!device.FinishSeen());
        QCOMPARE(Feed(device, Bytes({FinishCode})), QByteArray());
        QVERIFY(device.FinishSeen());
    }

    void parametersAreNeverTakenForCommands() {
        DeviceCore device;
        // Command codes inside parameters: an EEPROM byte at 0xA8 holding 0xF0, a block at 0xA5F0
        // (0x25F0 with the two address bits the device lacks) holding command codes.
        QCOMPARE(Feed(device, Bytes({EepromCode, FinishCode, ProbeCode})), Bytes({Ack, Ack}));
        const QByteArray codes =
            Bytes({ProbeCode, FinishCode, WriteCode, EraseCode, ReadCode, EepromCode, 0xA0, 0xFF});
        WriteBlock(device, 0xA5F0, codes);
        QCOMPARE(device.Eeprom(0xA8), 0xF0);
        QCOMPARE(device.ProgramWord(0x25F0), 0x28F0);
        QCOMPARE(device.ProgramWord(0x25F3), 0x3FA0);
        QVERIFY(!device.FinishSeen());
        QCOMPARE(device.Counts()[Command::Probe], 0);
        QCOMPARE(device.Counts()[Command::Write], 1);
    }

    void unknownBytesBetweenCommandsAreIgnored() {
        DeviceCore device;
        for (int byte = 0; byte < 256; ++byte) {
            if (byte == ProbeCode || byte == ReadCode || byte == EraseCode || byte == WriteCode ||
                byte == EepromCode || byte == FinishCode)
                continue;
            QCOMPARE(Feed(device, Bytes({byte})), QByteArray());
            QVERIFY(!device.InsideCommand());
        }
        QCOMPARE(Feed(device, Bytes({ProbeCode})), Bytes({Ack}));
        for (int i = 0; i < CommandCount; ++i)
            QCOMPARE(device.Counts()[static_cast<Command>(i)], i == 0 ? 1 : 0);
    }

    void writeStoresFourteenBitsAndEchoesWhatWasSent() {
        DeviceCore device;
        const QByteArray data = Bytes({0x12, 0xFF, 0x34, 0x40, 0x56, 0x3F, 0x78, 0xC1});
        WriteBlock(device, 256, data);
        QCOMPARE(device.ProgramWord(256), 0x3F12);
        QCOMPARE(device.ProgramWord(257), 0x0034);
        QCOMPARE(device.ProgramWord(258), 0x3F56);
        QCOMPARE(device.ProgramWord(259), 0x0178);
        QCOMPARE(device.ProgramWord(255), ErasedWord);
        QCOMPARE(device.ProgramWord(260), ErasedWord);

        // The last block of program memory ends at the last word.
        WriteBlock(device, ProgramWordCount - 4, BlockData(0x20));
        QCOMPARE(device.ProgramWord(ProgramWordCount - 1), 0x2726);
    }

    void eraseClearsExactlyTheRowHoldingTheAddress() {
        DeviceCore device;
        for (int block = 284; block <= 320; block += 4)
            WriteBlock(device, block, Bytes({1, 0, 2, 0, 3, 0, 4, 0}));
        QCOMPARE(Feed(device, EraseCommand(300)), Bytes({Ack, Ack}));
        QCOMPARE(device.ProgramWord(287), 4);
        for (int word = 288; word <= 319; ++word)
            QCOMPARE(device.ProgramWord(word), ErasedWord);
        QCOMPARE(device.ProgramWord(320), 1);

        QCOMPARE(Feed(device, EraseCommand(288 - 32)), Bytes({Ack, Ack}));
        QCOMPARE(device.ProgramWord(284), ErasedWord);
        QCOMPARE(device.ProgramWord(320), 1);

        // Address bits above the 14 the device has are ignored: 0xC140 names row 0x0140.
        QCOMPARE(Feed(device, EraseCommand(0xC140)), Bytes({Ack, Ack}));
        QCOMPARE(device.ProgramWord(320), ErasedWord);
    }

    void dataSpaceHoldsTheIdText_data() {
        QTest::addColumn<QByteArray>("id");
        QTest::newRow("default") << QByteArray(DefaultIdText.data(), DefaultIdText.size());
        QTest::newRow("47 bytes") << QByteArray(47, 'a');
        QTest::newRow("48 bytes fill it") << QByteArray(48, 'b');
        QTest::newRow("high bytes") << Bytes({0x80, 0xE9, 0xFF, 0x00, 0x41});
        QTest::newRow("empty") << QByteArray();
    }
    void dataSpaceHoldsTheIdText() {
        QFETCH(QByteArray, id);
        DeviceCore device(std::string_view(id.constData(), static_cast<std::size_t>(id.size())));
        QByteArray expected(IdTextAddress, '\xFF');
        expected += id;
        if (expected.size() < DataSpaceSize)
            expected += '\0';
        expected += QByteArray(DataSpaceSize - expected.size(), '\xFF');

        QByteArray read;
        for (int address = 0; address < DataSpaceSize; ++address) {
            const QByteArray reply = Feed(device, Bytes({ReadCode, address}));
            QCOMPARE(reply.size(), 2);
            QCOMPARE(reply[0], static_cast<char>(Ack));
            read += reply[1];
        }
        QCOMPARE(read, expected);
        QCOMPARE(device.Counts()[Command::Read], DataSpaceSize);
    }

    void tooLongIdTextIsRefused() {
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, DeviceCore(std::string(49, 'x')));
    }

    void silentDeviceAnswersNothingButStillWorks() {
        FaultPlan plan;
        plan.silent = true;
        DeviceCore device(DefaultIdText, plan);
        QCOMPARE(Feed(device, Bytes({ProbeCode, ProbeCode, ReadCode, 0})), QByteArray());
        QCOMPARE(Feed(device, WriteCommand(256, BlockData(0))), QByteArray());
        QCOMPARE(Feed(device, Bytes({EepromCode, 3, 4, FinishCode})), QByteArray());
        QCOMPARE(device.ProgramWord(257), 0x0302);
        QCOMPARE(device.Eeprom(3), 4);
        QCOMPARE(device.Counts()[Command::Probe], 2);
        QVERIFY(device.FinishSeen());
    }

    void refusedCommandTakesNoParameters_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("code");
        QTest::newRow("probe") << int(Command::Probe) << int(ProbeCode);
        QTest::newRow("read") << int(Command::Read) << int(ReadCode);
        QTest::newRow("erase") << int(Command::Erase) << int(EraseCode);
        QTest::newRow("write") << int(Command::Write) << int(WriteCode);
        QTest::newRow("eeprom") << int(Command::Eeprom) << int(EepromCode);
    }
    void refusedCommandTakesNoParameters() {
        QFETCH(int, command);
        QFETCH(int, code);
        FaultPlan plan;
        plan.refusals[static_cast<std::size_t>(command)].active = true;
        plan.wrongAck = 0x5A;
        DeviceCore device(DefaultIdText, plan);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(Feed(device, Bytes({code})), Bytes({0x5A}));
            QVERIFY(!device.InsideCommand());
        }
        QCOMPARE(device.Counts()[static_cast<Command>(command)], 3);
        // Other commands still work; an EEPROM write right after a refusal is a new command.
        if (command != int(Command::Eeprom))
            QCOMPARE(Feed(device, Bytes({EepromCode, 1, 2})), Bytes({Ack, Ack}));
        if (command != int(Command::Probe))
            QCOMPARE(Feed(device, Bytes({ProbeCode})), Bytes({Ack}));
    }

    // The host's walks: rows from 256 up, blocks from 256 up, EEPROM from 0, the id text from 208.
    // A refusal aimed at one address must hit exactly the command that walk sends there.
    void refusalAtAnAddressFollowsTheHostsWalk_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("target");
        QTest::addColumn<int>("refusedStep");
        QTest::newRow("erase row 288") << int(Command::Erase) << 288 << 1;
        QTest::newRow("erase inside row 0x3FE0") << int(Command::Erase) << 0x3FE5 << (0x3FE0 - 256) / 32;
        QTest::newRow("write block 264") << int(Command::Write) << 264 << 2;
        QTest::newRow("write word 1027") << int(Command::Write) << 1027 << (1024 - 256) / 4;
        QTest::newRow("first eeprom byte") << int(Command::Eeprom) << 0 << 0;
        QTest::newRow("last eeprom byte") << int(Command::Eeprom) << 255 << 255;
        QTest::newRow("read 210") << int(Command::Read) << 210 << 2;
    }
    void refusalAtAnAddressFollowsTheHostsWalk() {
        QFETCH(int, command);
        QFETCH(int, target);
        QFETCH(int, refusedStep);
        const auto kind = static_cast<Command>(command);
        FaultPlan plan;
        plan.refusals[static_cast<std::size_t>(command)] = {true, target};
        DeviceCore device(DefaultIdText, plan);
        QCOMPARE(Feed(device, Bytes({ProbeCode})), Bytes({Ack}));

        const int first = FirstAddress(kind);
        const int steps = (AddressSpace(kind) - first) / AddressStep(kind);
        for (int step = 0; step < steps; ++step) {
            const int address = first + step * AddressStep(kind);
            QCOMPARE(device.PredictedAddress(kind), address);
            QByteArray bytes;
            QByteArray answer;
            switch (kind) {
            case Command::Erase:
                bytes = EraseCommand(address);
                answer = Bytes({Ack, Ack});
                break;
            case Command::Write:
                bytes = WriteCommand(address, BlockData(step & 0x7F));
                answer = Bytes({Ack}) + BlockData(step & 0x7F);
                break;
            case Command::Eeprom:
                bytes = Bytes({EepromCode, address, step & 0xFF});
                answer = Bytes({Ack, Ack});
                break;
            default:
                bytes = Bytes({ReadCode, address});
                answer = Bytes({Ack, static_cast<int>(device.DataSpace(address))});
                break;
            }
            if (step == refusedStep) {
                // The host gives up on that command and goes on with the next address.
                QCOMPARE(Feed(device, bytes.left(1)), Bytes({plan.wrongAck}));
                QVERIFY(!device.InsideCommand());
            } else {
                QCOMPARE(Feed(device, bytes), answer);
            }
        }

        // A probe starts a new update, whose walk meets the same address again.
        QCOMPARE(Feed(device, Bytes({ProbeCode})), Bytes({Ack}));
        QCOMPARE(device.PredictedAddress(kind), first);
    }

    void predictionFollowsTheLastAddressActuallySent() {
        FaultPlan plan;
        plan.refusals[static_cast<std::size_t>(Command::Erase)] = {true, 0x240};
        DeviceCore device(DefaultIdText, plan);
        // A host that skips to row 0x200: the row after it is the one predicted next.
        QCOMPARE(Feed(device, EraseCommand(0x200)), Bytes({Ack, Ack}));
        QCOMPARE(Feed(device, EraseCommand(0x220)), Bytes({Ack, Ack}));
        QCOMPARE(Feed(device, Bytes({EraseCode})), Bytes({0xA1}));
        QCOMPARE(device.PredictedAddress(Command::Erase), 0x260);
        QCOMPARE(device.Counts()[Command::Erase], 3);
    }

    void firstProbesCanGoUnanswered() {
        FaultPlan plan;
        plan.ignoredProbes = 2;
        DeviceCore device(DefaultIdText, plan);
        QCOMPARE(Feed(device, Bytes({ProbeCode})), QByteArray());
        QCOMPARE(Feed(device, Bytes({ProbeCode})), QByteArray());
        QCOMPARE(Feed(device, Bytes({ProbeCode})), Bytes({Ack}));
        QCOMPARE(Feed(device, Bytes({ProbeCode})), Bytes({Ack}));
        QCOMPARE(device.Counts()[Command::Probe], 4);
    }

    void corruptedEchoFlipsOneBitOfOneWord_data() {
        QTest::addColumn<int>("word");
        QTest::addColumn<bool>("high");
        QTest::addColumn<int>("flippedIndex");
        QTest::newRow("first word low") << 256 << false << 0;
        QTest::newRow("third word low") << 258 << false << 4;
        QTest::newRow("last word high") << 259 << true << 7;
    }
    void corruptedEchoFlipsOneBitOfOneWord() {
        QFETCH(int, word);
        QFETCH(bool, high);
        QFETCH(int, flippedIndex);
        FaultPlan plan;
        plan.corruptEchoWord = word;
        plan.corruptEchoHighByte = high;
        DeviceCore device(DefaultIdText, plan);
        const QByteArray data = BlockData(0x10);
        QByteArray echo = data;
        echo[flippedIndex] = static_cast<char>(echo[flippedIndex] ^ 0x01);
        for (int repeat = 0; repeat < 2; ++repeat)
            QCOMPARE(Feed(device, WriteCommand(256, data)), Bytes({Ack}) + echo);
        QCOMPARE(device.ProgramWord(word),
                 (data[2 * (word - 256)] & 0xFF) | (data[2 * (word - 256) + 1] << 8));
        WriteBlock(device, 252, data);
        WriteBlock(device, 260, data);
    }

    void droppedEchoByteLeavesOneOut_data() {
        QTest::addColumn<int>("word");
        QTest::addColumn<int>("index");
        QTest::newRow("first") << 260 << 0;
        QTest::newRow("middle") << 260 << 3;
        QTest::newRow("last, named by a later word") << 263 << 7;
    }
    void droppedEchoByteLeavesOneOut() {
        QFETCH(int, word);
        QFETCH(int, index);
        FaultPlan plan;
        plan.dropEchoBlock = word;
        plan.dropEchoIndex = index;
        DeviceCore device(DefaultIdText, plan);
        const QByteArray data = BlockData(0x30);
        WriteBlock(device, 256, data);
        const QByteArray reply = Feed(device, WriteCommand(260, data));
        QCOMPARE(reply, Bytes({Ack}) + QByteArray(data).remove(index, 1));
        QCOMPARE(device.ProgramWord(263), 0x3736);
        WriteBlock(device, 264, data);
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, DeviceCore(DefaultIdText, [] {
                                     FaultPlan bad;
                                     bad.dropEchoIndex = 8;
                                     return bad;
                                 }()));
    }

    void hangUpComesAfterTheCountedAnswer() {
        FaultPlan plan;
        plan.hangUpAfterWrites = 2;
        DeviceCore device(DefaultIdText, plan);
        WriteBlock(device, 256, BlockData(0));
        QCOMPARE(Feed(device, EraseCommand(256)), Bytes({Ack, Ack}));
        QVERIFY(!device.HangUpDue());
        WriteBlock(device, 260, BlockData(8));
        QVERIFY(device.HangUpDue());
        // Nothing reaches a device that is hanging up.
        QCOMPARE(Feed(device, Bytes({ProbeCode, EepromCode, 0, 0})), QByteArray());
        QCOMPARE(device.Counts()[Command::Probe], 0);

        FaultPlan eepromPlan;
        eepromPlan.hangUpAfterEepromBytes = 3;
        DeviceCore eeprom(DefaultIdText, eepromPlan);
        QCOMPARE(Feed(eeprom, Bytes({EepromCode, 0, 1, EepromCode, 1, 2})), Bytes({Ack, Ack, Ack, Ack}));
        WriteBlock(eeprom, 256, BlockData(0));
        QVERIFY(!eeprom.HangUpDue());
        QCOMPARE(Feed(eeprom, Bytes({EepromCode, 2, 3})), Bytes({Ack, Ack}));
        QVERIFY(eeprom.HangUpDue());
    }

    void countersCountEveryCommandByte() {
        FaultPlan plan;
        plan.ignoredProbes = 1;
        plan.refusals[static_cast<std::size_t>(Command::Write)] = {true, 260};
        DeviceCore device(DefaultIdText, plan);
        Feed(device, Bytes({ProbeCode, ProbeCode, ReadCode, 208, ReadCode, 209}));
        Feed(device, EraseCommand(256) + WriteCommand(256, BlockData(0)) + Bytes({WriteCode}));
        Feed(device, Bytes({EepromCode, 0, 0, FinishCode, FinishCode, 0x00}));
        const int expected[CommandCount] = {2, 2, 1, 2, 1, 2};
        for (int i = 0; i < CommandCount; ++i)
            QCOMPARE(device.Counts()[static_cast<Command>(i)], expected[i]);
    }

    void dumpListsWhatTheDeviceHolds() {
        DeviceCore device;
        WriteBlock(device, 256, Bytes({0x01, 0x02, 0xFF, 0x3F, 0xFF, 0xFF, 0x00, 0x00}));
        Feed(device, Bytes({EepromCode, 0, 0x7E, EepromCode, 255, 1, ProbeCode, FinishCode}));
        QJsonParseError error{};
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray::fromStdString(DumpJson(device)), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        const QJsonObject dump = document.object();
        // Word 258 was sent as 0xFFFF but holds 14 bits, i.e. the erased value.
        QCOMPARE(dump["program"].toArray(), QJsonArray({QJsonArray({256, 1, 2}), QJsonArray({259, 0, 0})}));
        const QJsonArray eeprom = dump["eeprom"].toArray();
        QCOMPARE(eeprom.size(), EepromByteCount);
        QCOMPARE(eeprom[0].toInt(), 0x7E);
        QCOMPARE(eeprom[1].toInt(), 0xFF);
        QCOMPARE(eeprom[255].toInt(), 1);
        QCOMPARE(dump["finish_seen"].toBool(), true);
        QCOMPARE(dump["commands"].toObject(),
                 QJsonObject(
                     {{"probe", 1}, {"read", 0}, {"erase", 0}, {"write", 1}, {"eeprom", 2}, {"finish", 1}}));

        const QJsonObject empty =
            QJsonDocument::fromJson(QByteArray::fromStdString(DumpJson(DeviceCore()))).object();
        QVERIFY(empty["program"].isArray());
        QVERIFY(empty["program"].toArray().isEmpty());
        QCOMPARE(empty["eeprom"].toArray().size(), EepromByteCount);
        for (const QJsonValue byte : empty["eeprom"].toArray())
            QCOMPARE(byte.toInt(), 0xFF);
        QCOMPARE(empty["finish_seen"].toBool(true), false);
    }

    void instantLineAddsOnlyTheReplyDelay() {
        LinePacing line(0, 5ms);
        QCOMPARE(line.ByteTime(), LinePacing::Duration::zero());
        QCOMPARE(line.HostByteArrives(1ms), LinePacing::Duration(1ms));
        QCOMPARE(line.HostByteArrives(1ms), LinePacing::Duration(1ms));
        QCOMPARE(line.ReplyByteArrives(2ms), LinePacing::Duration(7ms));
        QCOMPARE(line.ReplyByteArrives(2ms), LinePacing::Duration(7ms));
    }

    void pacedLineSendsOneByteAtATimeEachWay() {
        LinePacing line(4800);
        const LinePacing::Duration byte = line.ByteTime();
        QCOMPARE(byte.count(), 2'083'333);
        // Three bytes written at once reach the device one wire slot after another.
        QCOMPARE(line.HostByteArrives(0ms), byte);
        QCOMPARE(line.HostByteArrives(0ms), 2 * byte);
        QCOMPARE(line.HostByteArrives(0ms), 3 * byte);
        // A byte written after the wire fell idle needs just its own slot.
        QCOMPARE(line.HostByteArrives(100ms), 100ms + byte);
        // The other direction has its own wire.
        QCOMPARE(line.ReplyByteArrives(byte), 2 * byte);
        QCOMPARE(line.ReplyByteArrives(byte), 3 * byte);

        LinePacing slow(4800, 10ms);
        QCOMPARE(slow.ReplyByteArrives(0ms), 10ms + byte);
        QCOMPARE(slow.ReplyByteArrives(1ms), 10ms + 2 * byte);
    }

    void withoutAdapterRepliesPassAsTheyArrive() {
        AdapterHold none;
        none.Take(1ms, 0xA0);
        none.Take(1ms, 0x11);
        none.Take(3ms, 0x22);
        QByteArray bytes;
        QCOMPARE(DrainTimes(none, &bytes), QList<qint64>({Nanos(1ms), Nanos(1ms), Nanos(3ms)}));
        QCOMPARE(bytes, Bytes({0xA0, 0x11, 0x22}));
    }

    void adapterHoldsALoneByteForItsLatency() {
        AdapterHold adapter(16ms);
        adapter.Take(5ms, 0xA0);
        QCOMPARE(adapter.Front().at, LinePacing::Duration(21ms));
        QCOMPARE(adapter.Front().byte, 0xA0);
        adapter.PopFront();
        QVERIFY(adapter.Empty());
    }

    // Eight echo bytes cross a 4800-baud line one slot after another, 16.7 ms in all.
    void adapterHandsAnEchoOnTogether() {
        LinePacing line(4800, 10ms);
        AdapterHold adapter(16ms);
        const QByteArray echo = Bytes({1, 2, 3, 4, 0xFC, 0xFD, 0xFE, 0xFF});
        for (const char byte : echo)
            adapter.Take(line.ReplyByteArrives(0ms), static_cast<std::uint8_t>(byte));
        // The first byte arrived after the reply delay and its own slot; the timer started then.
        const qint64 due = Nanos(10ms + line.ByteTime() + 16ms);
        QByteArray bytes;
        QCOMPARE(DrainTimes(adapter, &bytes), QList<qint64>(8, due));
        QCOMPARE(bytes, echo);

        // A timer shorter than a byte's slot runs out before the next byte comes: one at a time.
        LinePacing sameLine(4800);
        AdapterHold lowLatency(1ms);
        QList<qint64> expected;
        for (int i = 0; i < 3; ++i) {
            const LinePacing::Duration arrived = sameLine.ReplyByteArrives(0ms);
            lowLatency.Take(arrived, 0);
            expected.append(Nanos(arrived + 1ms));
        }
        QCOMPARE(DrainTimes(lowLatency), expected);
    }

    void adapterSendsAFullPacketAtOnce() {
        LinePacing line(4800);
        AdapterHold adapter(1s);
        QByteArray sent;
        for (int i = 0; i < AdapterHold::PacketBytes + 1; ++i) {
            adapter.Take(line.ReplyByteArrives(0ms), static_cast<std::uint8_t>(i));
            sent.append(static_cast<char>(i));
        }
        // The 62nd byte arrived after 62 slots and took the 61 before it along; the 63rd started
        // a new hold.
        QList<qint64> expected(AdapterHold::PacketBytes, Nanos(62 * line.ByteTime()));
        expected.append(Nanos(63 * line.ByteTime() + 1s));
        QByteArray bytes;
        QCOMPARE(DrainTimes(adapter, &bytes), expected);
        QCOMPARE(bytes, sent);

        // Bytes that arrive all at once leave in packets, the rest after the latency.
        AdapterHold burst(16ms);
        for (int i = 0; i < 2 * AdapterHold::PacketBytes + 3; ++i)
            burst.Take(5ms, 0);
        expected = QList<qint64>(2 * AdapterHold::PacketBytes, Nanos(5ms)) + QList<qint64>(3, Nanos(21ms));
        QCOMPARE(DrainTimes(burst), expected);
    }

    void aByteAfterTheHoldEndedStartsANewOne() {
        AdapterHold adapter(16ms);
        adapter.Take(0ms, 1);
        adapter.Take(10ms, 2);
        // Just as the timer runs out the adapter sends what it held; this byte waits anew.
        adapter.Take(16ms, 3);
        adapter.Take(40ms, 4);
        QCOMPARE(DrainTimes(adapter), QList<qint64>({Nanos(16ms), Nanos(16ms), Nanos(32ms), Nanos(56ms)}));

        // A packet filled later takes only its own bytes along, not those of a batch still
        // waiting for the host end.
        adapter.Take(100ms, 5);
        for (int i = 0; i < AdapterHold::PacketBytes; ++i)
            adapter.Take(120ms, 6);
        QCOMPARE(DrainTimes(adapter),
                 QList<qint64>({Nanos(116ms)}) + QList<qint64>(AdapterHold::PacketBytes, Nanos(120ms)));
    }

    void optionsTakeEveryValue() {
        const Options options = ParseOk({"--id",
                                         "Boot\\x80\\\\",
                                         "--dump",
                                         "/tmp/d.json",
                                         "--log=/tmp/l",
                                         "--baud",
                                         "4800",
                                         "--adapter-latency",
                                         "16",
                                         "--exit-after-finish",
                                         "--delay=0x10",
                                         "--silent",
                                         "--nak",
                                         "erase",
                                         "--nak=write@0x104",
                                         "--nak",
                                         "read@209",
                                         "--nak-byte",
                                         "0x00",
                                         "--ignore-probes",
                                         "2",
                                         "--corrupt-echo",
                                         "300:high",
                                         "--drop-echo",
                                         "264:0",
                                         "--hangup-after-writes",
                                         "7",
                                         "--hangup-after-eeprom=9"});
        QCOMPARE(options.portDir, std::string("/tmp"));
        QCOMPARE(options.port, std::string("COM3"));
        QCOMPARE(options.idText, std::string("Boot\x80\\"));
        QCOMPARE(options.dumpPath, std::string("/tmp/d.json"));
        QCOMPARE(options.logPath, std::string("/tmp/l"));
        QCOMPARE(options.baud, 4800);
        QCOMPARE(options.adapterLatencyMs, 16);
        QVERIFY(options.exitAfterFinish);
        const FaultPlan& plan = options.faults;
        QCOMPARE(plan.replyDelayMs, 16);
        QVERIFY(plan.silent);
        QVERIFY(plan.refusals[int(Command::Erase)].active);
        QVERIFY(!plan.refusals[int(Command::Erase)].address);
        QCOMPARE(plan.refusals[int(Command::Write)].address, std::optional<int>(0x104));
        QCOMPARE(plan.refusals[int(Command::Read)].address, std::optional<int>(209));
        QVERIFY(!plan.refusals[int(Command::Probe)].active);
        QVERIFY(!plan.refusals[int(Command::Eeprom)].active);
        QCOMPARE(plan.wrongAck, 0x00);
        QCOMPARE(plan.ignoredProbes, 2);
        QCOMPARE(plan.corruptEchoWord, std::optional<int>(300));
        QVERIFY(plan.corruptEchoHighByte);
        QCOMPARE(plan.dropEchoBlock, std::optional<int>(264));
        QCOMPARE(plan.dropEchoIndex, 0);
        QCOMPARE(plan.hangUpAfterWrites, std::optional<int>(7));
        QCOMPARE(plan.hangUpAfterEepromBytes, std::optional<int>(9));
    }

    void optionDefaults() {
        const Options options = ParseOk({});
        QCOMPARE(options.idText, std::string(DefaultIdText));
        QCOMPARE(options.baud, 0);
        QCOMPARE(options.adapterLatencyMs, 0);
        QVERIFY(!options.exitAfterFinish);
        QVERIFY(options.dumpPath.empty());
        QCOMPARE(options.faults.wrongAck, 0xA1);
        QCOMPARE(options.faults.dropEchoIndex, 7);
        QVERIFY(!ParseOk({"--corrupt-echo", "5"}).faults.corruptEchoHighByte);
        QCOMPARE(ParseOk({"--id", QByteArray(48, 'z').constData()}).idText.size(), std::size_t(48));
        // Bytes reach the device as typed: a UTF-8 "é", and a byte that is no UTF-8 at all.
        QCOMPARE(ParseOk({"--id", "\xC3\xA9\xE9"}).idText, std::string("\xC3\xA9\xE9"));
    }

    void badArgumentsAreRefused_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("reason");
        const QStringList base = {"--port-dir", "/tmp", "--port", "COM3"};
        QTest::newRow("no arguments") << QStringList() << "--port-dir is required";
        QTest::newRow("no port") << QStringList({"--port-dir", "/tmp"}) << "--port is required";
        QTest::newRow("unknown option") << base + QStringList({"--colour"}) << "unknown option '--colour'";
        QTest::newRow("stray argument") << base + QStringList({"x"}) << "unknown argument 'x'";
        QTest::newRow("missing value") << base + QStringList({"--baud"}) << "missing value after '--baud'";
        QTest::newRow("flag with value")
            << base + QStringList({"--silent=1"}) << "unexpected value after '--silent'";
        QTest::newRow("bad number") << base + QStringList({"--delay", "12ms"})
                                    << "bad number '12ms' for --delay";
        QTest::newRow("negative") << base + QStringList({"--baud", "-1"}) << "bad number '-1' for --baud";
        QTest::newRow("zero hang-up") << base + QStringList({"--hangup-after-writes", "0"})
                                      << "--hangup-after-writes must be 1 to 1000000000, not 0";
        QTest::newRow("adapter latency") << base + QStringList({"--adapter-latency=60001"})
                                         << "--adapter-latency must be 0 to 60000, not 60001";
        QTest::newRow("huge number") << base + QStringList({"--delay", "99999999999999999999"})
                                     << "bad number '99999999999999999999' for --delay";
        for (const char* name : {"COM0", "COM257", "com1", "COM01", "COM", "COMx", "LPT1", "COM1 "})
            QTest::newRow(name) << QStringList({"--port-dir", "/tmp", "--port", name})
                                << QString("bad port name '%1': give COM1 to COM256").arg(name);
        QTest::newRow("nak finish") << base + QStringList({"--nak", "finish"})
                                    << "--nak needs probe, read, erase, write or eeprom, not 'finish'";
        QTest::newRow("nak probe at")
            << base + QStringList({"--nak", "probe@1"}) << "--nak probe takes no address: a probe has none";
        QTest::newRow("nak twice") << base + QStringList({"--nak", "erase", "--nak", "erase@288"})
                                   << "--nak erase given twice";
        QTest::newRow("nak beyond program") << base + QStringList({"--nak", "write@16384"})
                                            << "the address of --nak write must be 0 to 16383, not 16384";
        QTest::newRow("nak beyond eeprom") << base + QStringList({"--nak", "eeprom@256"})
                                           << "the address of --nak eeprom must be 0 to 255, not 256";
        QTest::newRow("nak byte is ack") << base + QStringList({"--nak-byte", "0xa0"})
                                         << "--nak-byte 0xA0 is the right acknowledge, not a wrong one";
        QTest::newRow("echo byte name") << base + QStringList({"--corrupt-echo", "3:middle"})
                                        << "--corrupt-echo takes WORD, WORD:low or WORD:high, not '3:middle'";
        QTest::newRow("drop index") << base + QStringList({"--drop-echo", "256:8"})
                                    << "the byte of --drop-echo must be 0 to 7, not 8";
        QTest::newRow("id too long") << base + QStringList({"--id", QString(47, 'a') + "\\x41\\x42"})
                                     << "--id: the text has 49 bytes; at most 48 fit";
        QTest::newRow("id bad escape") << base + QStringList({"--id", "a\\n"})
                                       << "--id: a backslash must start \\xNN (two hex digits) or \\\\";
        QTest::newRow("id short escape") << base + QStringList({"--id", "a\\x4"})
                                         << "--id: a backslash must start \\xNN (two hex digits) or \\\\";
    }
    void badArgumentsAreRefused() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, reason);
        std::vector<std::string> all;
        for (const QString& argument : arguments)
            all.push_back(argument.toStdString());
        const ParsedArguments parsed = ParseArguments(all);
        QVERIFY(!parsed.options);
        QVERIFY(!parsed.helpRequested);
        QCOMPARE(QString::fromStdString(parsed.error), reason);
    }

    void helpNamesEveryOption() {
        const ParsedArguments parsed = ParseArguments({"--port", "bad", "--help"});
        QVERIFY(parsed.helpRequested);
        QVERIFY(ParseArguments({"--colour", "--version"}).versionRequested);
        const QString help = QString::fromStdString(HelpText());
        for (const char* option : {"--port-dir", "--port ", "--id", "--dump", "--log", "--exit-after-finish",
                                   "--baud", "--adapter-latency", "--help", "--silent", "--nak ",
                                   "--nak-byte", "--ignore-probes", "--corrupt-echo", "--drop-echo",
                                   "--delay", "--hangup-after-writes", "--hangup-after-eeprom", "--version"})
            QVERIFY2(help.contains(option), option);
        for (const char* option : {"--hangup-after-erases", "--memory", "--vanish-after", "--reappear-after"})
            QVERIFY2(help.contains(option), option);
    }
};

QTEST_APPLESS_MAIN(DeviceCoreTest)
#include "tst_devicecore.moc"
