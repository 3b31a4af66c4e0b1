#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <string_view>
#include <sys/stat.h>

using namespace std::literals;
using namespace Qt::StringLiterals;

namespace {

// Written out here rather than taken from the image library, so a wrong key there fails these tests.
const QByteArray Key = "570194638215";

QByteArray Scrambled(QByteArray bytes) {
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ Key[i % Key.size()]);
    return bytes;
}

struct Result {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Result Run(const QString& program, const QStringList& args) {
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return {-1, {}, "did not finish normally: " + process.errorString().toUtf8()};
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

Result Krv(const QStringList& args) {
    return Run(QStringLiteral(KRV_PATH), args);
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// What `krv dump --json` reported, or the reason the output is not the promised JSON object.
struct Dump {
    QJsonObject object;
    QString error;
};

Dump DumpJson(const QString& path) {
    const Result result = Krv({"dump", "--json", path});
    if (result.exitCode != 0)
        return {{}, QString("exit code %1: %2").arg(result.exitCode).arg(QString::fromUtf8(result.err))};
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(result.out, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return {{}, "not a JSON object: " + parseError.errorString()};
    const QJsonObject object = document.object();
    if (!object["highest_program_word"].isDouble() || !object["program"].isArray() ||
        object["eeprom"].toArray().size() != 256 || !object["messages"].isArray())
        return {{}, "missing or malformed members: " + QString::fromUtf8(result.out.left(300))};
    return {object, {}};
}

// The EEPROM bytes that are not 255, keyed by address, for compact expectations.
QJsonObject ProgrammedEeprom(const QJsonArray& eeprom) {
    QJsonObject bytes;
    for (qsizetype i = 0; i < eeprom.size(); ++i) {
        if (eeprom[i].toInt() != 255)
            bytes[QString::number(i)] = eeprom[i].toInt();
    }
    return bytes;
}

// Compact JSON text, so that comparisons print readable values when they fail.
QByteArray Json(const QJsonValue& value) {
    return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).chopped(1).mid(1);
}

// An independent reading of toolchain output as plain Intel HEX (byte addresses, type 04 giving the
// upper 16 bits), mapped onto what the device keeps: program bytes below 0x8000, two per word, and
// the even bytes of 0x1E000..0x1E1FF as EEPROM.
struct ToolchainImage {
    QJsonArray program; // words that are not erased, as [address, low, high]
    QJsonArray eeprom;
    int highest = 0;
    QMap<quint32, int> otherBytes;
    QString error;
};

ToolchainImage ReadToolchainHex(const QByteArray& hex) {
    ToolchainImage image;
    QList<QPair<int, int>> words(16384, {0xFF, 0x3F});
    QList<int> eeprom(256, 0xFF);
    quint32 upper = 0;
    for (QString line : QString::fromLatin1(hex).split('\n')) {
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        const QByteArray record = QByteArray::fromHex(line.mid(1).toLatin1());
        quint8 sum = 0;
        for (const char byte : record)
            sum += static_cast<quint8>(byte);
        if (!line.startsWith(':') || record.size() < 5 ||
            record.size() != 5 + static_cast<quint8>(record[0]) || sum != 0) {
            image.error = "bad record: " + line;
            return image;
        }
        const auto byteAt = [&record](int i) { return static_cast<quint8>(record[i]); };
        const int type = byteAt(3);
        if (type == 1)
            break;
        if (type == 4)
            upper = quint32(byteAt(4) << 8 | byteAt(5)) << 16;
        if (type != 0)
            continue;
        for (int i = 0; i < byteAt(0); ++i) {
            const quint32 address = upper + quint32(byteAt(1) << 8 | byteAt(2)) + i;
            if (address < 0x8000) {
                auto& word = words[address / 2];
                (address % 2 == 0 ? word.first : word.second) = byteAt(4 + i);
                image.highest = qMax(image.highest, int(address / 2));
            } else if (address >= 0x1E000 && address < 0x1E200) {
                if (address % 2 == 0)
                    eeprom[(address - 0x1E000) / 2] = byteAt(4 + i);
            } else {
                image.otherBytes[address] = byteAt(4 + i);
            }
        }
    }
    for (int address = 0; address < words.size(); ++address) {
        if (words[address] != QPair<int, int>{0xFF, 0x3F})
            image.program.append(QJsonArray{address, words[address].first, words[address].second});
    }
    for (const int byte : eeprom)
        image.eeprom.append(byte);
    return image;
}

} // namespace

class KrvTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString Path(const QString& name) const { return dir.filePath(name); }

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        ::umask(022);
    }

    void packWritesCrLfAndUnpackGivesItBack_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<bool>("reportsConversion");
        const auto row = [](const char* name, const QByteArray& input, const QByteArray& expected,
                            bool reported) { QTest::newRow(name) << input << expected << reported; };
        const QByteArray data = ":020000001234B8";
        const QByteArray end = ":00000001FF";
        row("LF", data + "\n" + end + "\n", data + "\r\n" + end + "\r\n", true);
        row("lone CR", data + "\r" + end + "\r", data + "\r\n" + end + "\r\n", true);
        row("CR LF", data + "\r\n" + end + "\r\n", data + "\r\n" + end + "\r\n", false);
        row("mixed", data + "\r\n" + data + "\n" + data + "\r" + end,
            data + "\r\n" + data + "\r\n" + data + "\r\n" + end, true);
        row("CR before CR LF", data + "\r\r\n" + end + "\n\r", data + "\r\n\r\n" + end + "\r\n\r\n", true);
        row("no line end at all", data, data, false);
    }
    void packWritesCrLfAndUnpackGivesItBack() {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, expected);
        QFETCH(bool, reportsConversion);
        QVERIFY(WriteFile(Path("in.hex"), input));

        const Result packed = Krv({"pack", Path("in.hex"), Path("OUT.KRV")});
        QCOMPARE(packed.exitCode, 0);
        QCOMPARE(ReadFile(Path("OUT.KRV")), Scrambled(expected));
        if (reportsConversion) {
            QVERIFY2(packed.err.contains("CR LF") && packed.err.count('\n') == 1, packed.err);
        } else {
            QCOMPARE(packed.err, QByteArray());
        }

        const Result unpacked = Krv({"unpack", Path("OUT.KRV"), Path("back.hex")});
        QCOMPARE(unpacked.exitCode, 0);
        QCOMPARE(ReadFile(Path("back.hex")), expected);
    }

    void packScramblesWithTheRepeatingKey() {
        // Records without data keep the arithmetic readable; --force lets pack take them.
        QVERIFY(WriteFile(Path("eof.hex"), ":00000001FF\r\n:00000001FF\r\n"));
        QCOMPARE(Krv({"pack", "--force", Path("eof.hex"), Path("eof.KRV")}).exitCode, 0);
        const QByteArray packed = ReadFile(Path("eof.KRV"));
        QCOMPARE(packed.size(), 26);
        QCOMPARE(quint8(packed[0]), 0x0F);  // ':' ^ '5'
        QCOMPARE(quint8(packed[1]), 0x07);  // '0' ^ '7'
        QCOMPARE(quint8(packed[12]), 0x3F); // '\n' ^ '5': the key starts over at the 13th byte
        QCOMPARE(quint8(packed[13]), 0x0D); // ':' ^ '7'
        QCOMPARE(quint8(packed[25]), 0x3D); // '\n' ^ '7'
        // Update files are handed on to others; a private temporary file's mode must not stick.
        QVERIFY(QFile::permissions(Path("eof.KRV")).testFlag(QFileDevice::ReadOther));
        // A shorter file packed over a longer one must not keep the longer one's tail.
        QVERIFY(WriteFile(Path("eof.hex"), ":00000001FF\r\n"));
        QCOMPARE(Krv({"pack", Path("eof.hex"), Path("eof.KRV"), "--force"}).exitCode, 0);
        QCOMPARE(ReadFile(Path("eof.KRV")), packed.left(13));
    }

    void unpackIsByteExact() {
        // Arbitrary bytes, line-end characters included: unpack must neither convert nor drop any.
        QByteArray bytes(5000, '\0');
        QRandomGenerator random(7);
        for (char& byte : bytes)
            byte = static_cast<char>(random.bounded(256));
        bytes.insert(100, "\r\n\n\r\r");
        QVERIFY(WriteFile(Path("random.KRV"), bytes));
        const Result result = Krv({"unpack", Path("random.KRV"), Path("random.hex")});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.err, QByteArray());
        QCOMPARE(ReadFile(Path("random.hex")), Scrambled(bytes));
    }

    void packRefusesInputWithoutDataRecord_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("refused");
        QTest::addRow("empty file") << QByteArray() << true;
        QTest::addRow("prose") << "root:x:0:0:root:/root:/bin/bash\n"_ba << true;
        QTest::addRow("end-of-file record only") << ":00000001FF\r\n"_ba << true;
        QTest::addRow("address records only")
            << ":020000040001F9\r\n:020000040000FA\r\n:00000001FF\r\n"_ba << true;
        QTest::addRow("colon line that is no record") << ":notes\r\n"_ba << true;
        QTest::addRow("indented data record") << "  :020000001234B8\r\n"_ba << true;
        QTest::addRow("data record holding a NUL") << ":020000001234B8\0\r\n"_ba << true;
        QTest::addRow("data record with a non-hex address") << ":02000Z001234B8\r\n"_ba << true;
        QTest::addRow("data record cut by a lone CR") << ":0200\r00001234B8\r\n"_ba << true;
        QTest::addRow("data record after a comment") << "; 1.0\r\n:020000001234B8\r\n"_ba << false;
        QTest::addRow("data record after end of file") << ":00000001FF\r\n:020000001234b8\r\n"_ba << false;
        QTest::addRow("data record with a wrong checksum") << ":020000001234FF\r\n"_ba << false;
    }
    void packRefusesInputWithoutDataRecord() {
        QFETCH(QByteArray, input);
        QFETCH(bool, refused);
        const QString in = Path("nodata.hex");
        const QString out = Path("NODATA.KRV");
        QFile::remove(out);
        QVERIFY(WriteFile(in, input));

        const Result result = Krv({"pack", in, out});
        if (refused) {
            QCOMPARE(result.exitCode, 1);
            QCOMPARE(result.err, "krv: '" + in.toUtf8() +
                                     "' holds no data record (a line ':LLAAAA00...'); nothing for the "
                                     "updater to write; --force packs it anyway\n");
            QCOMPARE(QDir(dir.path()).entryList({"NODATA.KRV*"}), QStringList());
        } else {
            QCOMPARE(result.exitCode, 0);
            QVERIFY2(!result.err.contains("no data record"), result.err);
            QVERIFY(QFile::exists(out));
        }
    }

    void packRefusalLeavesAnExistingOutputAlone() {
        QVERIFY(WriteFile(Path("keep.hex"), ":00000001FF\r\n"));
        QVERIFY(WriteFile(Path("KEEP.KRV"), "an earlier update file"));
        QCOMPARE(Krv({"pack", Path("keep.hex"), Path("KEEP.KRV")}).exitCode, 1);
        QCOMPARE(ReadFile(Path("KEEP.KRV")), "an earlier update file"_ba);
    }

    void forcePacksInputWithoutDataRecord_data() {
        QTest::addColumn<QStringList>("args");
        const QString in = Path("notes.txt");
        const QString out = Path("NOTES.KRV");
        QTest::newRow("before the files") << QStringList{"pack", "--force", in, out};
        QTest::newRow("between the files") << QStringList{"pack", in, "--force", out};
        QTest::newRow("after the files") << QStringList{"pack", in, out, "--force"};
    }
    void forcePacksInputWithoutDataRecord() {
        QFETCH(QStringList, args);
        QVERIFY(WriteFile(Path("notes.txt"), "firmware 1.0\nno records here\n"));
        QFile::remove(Path("NOTES.KRV"));

        const Result packed = Krv(args);
        QCOMPARE(packed.exitCode, 0);
        QVERIFY2(
            packed.err.contains("krv: warning: '" + Path("notes.txt").toUtf8() + "' holds no data record"),
            packed.err);
        QCOMPARE(Krv({"unpack", Path("NOTES.KRV"), Path("notes-back.txt")}).exitCode, 0);
        QCOMPARE(ReadFile(Path("notes-back.txt")), "firmware 1.0\r\nno records here\r\n"_ba);
    }

    void packWarnsAboutBadRecords_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArrayList>("warnings"); // each after "krv: warning: 'IN.hex' "
        const QByteArray good = ":020000001234B8\r\n";
        const auto row = [](const char* name, const QByteArray& input, const QByteArrayList& warnings) {
            QTest::newRow(name) << input << warnings;
        };
        row("correct", good + ":0400000001020304F2\r\n:00000001FF\r\n", {});
        row("lower-case hex", ":0400000001020304f2\r\n:020000001234b8\r\n", {});
        row("characters after the checksum", ":020000001234B8  ; start\r\n", {});
        row("wrong", good + ":0400000001020304FF\r\n", {"line 2: wrong checksum: expected F2, found 'FF'"});
        row("wrong in an address record", ":020000040001F8\r\n" + good,
            {"line 1: wrong checksum: expected F9, found 'F8'"});
        row("missing", ":020000001234\r\n", {"line 1: wrong checksum: expected B8, found none"});
        row("not hex", ":020000001234xx\r\n", {"line 1: wrong checksum: expected B8, found 'xx'"});
        row("control character", ":020000001234\tB\r\n",
            {"line 1: wrong checksum: expected B8, found '\\x09B'"});
        row("checksum after the announced bytes, not the words", ":03000000AABBCCDD00\r\n",
            {"line 1: wrong checksum: expected CC, found 'DD'"});
        row("data not hex", ":02000000zz34B8\r\n" + good,
            {"line 1: malformed record: data byte 1 is 'zz', not hex; no checksum can be expected"});
        row("data short", good + ":0400000012\r\n",
            {"line 2: malformed record: its byte count announces 4 data bytes, the line holds 1; "
             "no checksum can be expected"});
        row("lines the updater passes over",
            ":notes FF\r\n  :020000001234FF\r\n:020000001234FF\0\r\n"_ba + good, {});
        row("line numbers as the updater counts them",
            "; v1\r\n\r\n" + good + ":020002005678FF\r\n:020004005678FF\r\n",
            {"line 4: wrong checksum: expected 2E, found 'FF'",
             "line 5: wrong checksum: expected 2C, found 'FF'"});
        row("LF line ends count", "; v1\n\n" + good.chopped(2) + "\n:020002005678FF\n",
            {"line 4: wrong checksum: expected 2E, found 'FF'"});
    }
    void packWarnsAboutBadRecords() {
        QFETCH(QByteArray, input);
        QFETCH(QByteArrayList, warnings);
        const QString in = Path("sums.hex");
        QFile::remove(Path("SUMS.KRV"));
        QVERIFY(WriteFile(in, input));

        const Result result = Krv({"pack", in, Path("SUMS.KRV")});
        QCOMPARE(result.exitCode, 0);
        QVERIFY(QFile::exists(Path("SUMS.KRV")));
        QByteArrayList expected;
        for (const QByteArray& warning : warnings)
            expected.append("krv: warning: '" + in.toUtf8() + "' " + warning);
        QByteArrayList found;
        for (const QByteArray& line : result.err.split('\n')) {
            if (line.startsWith("krv: warning: "))
                found.append(line);
            else
                QVERIFY2(line.isEmpty() || line.contains("to CR LF"), line);
        }
        QCOMPARE(found, expected);
    }

    void packListsTenBadRecordsAndCountsTheRest_data() {
        QTest::addColumn<int>("badRecords");
        QTest::addColumn<QByteArray>("tail");
        QTest::newRow("ten") << 10 << QByteArray();
        QTest::newRow("eleven") << 11 << "and 1 more record with a wrong checksum or malformed data"_ba;
        QTest::newRow("many") << 2000 << "and 1990 more records with a wrong checksum or malformed data"_ba;
    }
    void packListsTenBadRecordsAndCountsTheRest() {
        QFETCH(int, badRecords);
        QFETCH(QByteArray, tail);
        // Wrong checksums, the last record malformed: both kinds share the one list.
        QByteArray hex;
        for (int i = 1; i < badRecords; ++i)
            hex += ":020000001234FF\r\n";
        hex += ":02000000zz34B8\r\n:00000001FF\r\n";
        QVERIFY(WriteFile(Path("broken.hex"), hex));

        const Result result = Krv({"pack", Path("broken.hex"), Path("BROKEN.KRV")});
        QCOMPARE(result.exitCode, 0);
        const QByteArrayList lines = result.err.trimmed().split('\n');
        QCOMPARE(lines.size(), tail.isEmpty() ? 10 : 11);
        const QByteArray prefix = "krv: warning: '" + Path("broken.hex").toUtf8() + "' ";
        for (int i = 0; i < 10; ++i)
            QVERIFY2(lines[i].startsWith(prefix + "line " + QByteArray::number(i + 1) + ": "), lines[i]);
        if (!tail.isEmpty())
            QCOMPARE(lines[10], "krv: warning: '" + Path("broken.hex").toUtf8() + "': " + tail);
    }

    void dumpShowsWhatTheUpdaterLoads_data() {
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<int>("highest");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("eeprom");
        QTest::addColumn<QStringList>("messages");
        // Expected program words as [address, low, high]; EEPROM bytes other than 255 by address.
        const auto row = [](const char* name, const QByteArray& hex, int highest, const char* program,
                            const char* eeprom = "{}", const QStringList& messages = {}) {
            QTest::newRow(name) << hex << highest << QString(program) << QString(eeprom) << messages;
        };
        row("low byte first", ":0400000055306712C8\r\n", 1, "[[0,85,48],[1,103,18]]");
        row("byte count 3 is 2 words", ":03000000AABBCCDD00\r\n", 1, "[[0,170,187],[1,204,221]]");
        row("byte count 1 is no word", ":01000200AABB00\r\n", 0, "[]");
        row("address 3 is word 2", ":020003001122C8\r\n", 2, "[[2,17,34]]");
        row("address 5 is word 2", ":020005001122C8\r\n", 2, "[[2,17,34]]");
        row("address 7 is word 4", ":020007001122C8\r\n", 4, "[[4,17,34]]");
        row("segment record", ":020000020100FB\r\n:02000000ABCD00\r\n", 4096, "[[4096,171,205]]");
        row("erased value still raises highest", ":027FFE00FF3F00\r\n", 16383, "[]");
        row("EEPROM window",
            ":020000040001F9\r\n:04E000001200340000\r\n:02E1FE00AB0000\r\n:02E2000077000000\r\n", 0, "[]",
            R"({"0":18,"1":52,"255":171})");
        row("config words and past program memory skipped",
            ":020000040001F9\r\n:04000E00C4CFFFDE00\r\n:020000040000FA\r\n:02800000112200\r\n", 0, "[]");
        row("unsupported types reported in order",
            ":0400000300003800C1\r\n:020000000F3000\r\n:04000005000000CD2A\r\n", 0, "[[0,15,48]]", "{}",
            {"## Error in Hex-File, type: 3", "## Error in Hex-File, type: 5"});
        row("record after end of file", ":00000001FF\r\n:020000001234B8\r\n", 0, "[[0,18,52]]");
        row("LF only: one line", ":020000001234B8\n:0400000300003800C1\n:02000200567800\n", 0, "[[0,18,52]]");
        row("lines that are no records",
            QByteArray::fromStdString(
                std::string("; by hand\r\n :020000001234B8\r\n\r\n:020002005678\0\r\n"sv)),
            0, "[]");
    }
    void dumpShowsWhatTheUpdaterLoads() {
        QFETCH(QByteArray, hex);
        QFETCH(int, highest);
        QFETCH(QString, program);
        QFETCH(QString, eeprom);
        QFETCH(QStringList, messages);
        QVERIFY(WriteFile(Path("case.KRV"), Scrambled(hex)));

        const Dump dump = DumpJson(Path("case.KRV"));
        QVERIFY2(dump.error.isEmpty(), qPrintable(dump.error));
        QCOMPARE(Json(dump.object["program"]), program.toUtf8());
        QCOMPARE(Json(ProgrammedEeprom(dump.object["eeprom"].toArray())), eeprom.toUtf8());
        QCOMPARE(dump.object["highest_program_word"].toInt(), highest);
        QCOMPARE(dump.object["messages"].toVariant().toStringList(), messages);
    }

    void dumpReadsWellWithoutJson() {
        QVERIFY(WriteFile(Path("small.KRV"),
                          Scrambled(":0400000300003800C1\r\n:020000000F3000\r\n"
                                    ":02000A005530FF\r\n:020000040001F9\r\n:02E000001200FF\r\n")));
        const Result result = Krv({"dump", Path("small.KRV")});
        QCOMPARE(result.exitCode, 0);
        const QList<QByteArray> lines = result.out.split('\n');
        QCOMPARE(lines.value(0),
                 "2 program words, highest program word 5 (0x0005), 1 EEPROM byte, 1 message"_ba);
        for (const QByteArray& row : {"  ## Error in Hex-File, type: 3"_ba, "  0x0000: 0x300F"_ba,
                                      "  0x0005: 0x3055"_ba, "  0x00: 0x12"_ba})
            QVERIFY2(lines.contains(row), row);
    }

    void sampleFirmwareSurvivesTheRoundTrip() {
        const QString gpasm = QStringLiteral(GPASM_PATH);
        const Result assembled = Run(gpasm, {"-o", Path("demo.hex"), QStringLiteral(SAMPLE_ASM_PATH)});
        QVERIFY2(assembled.exitCode == 0, assembled.out + assembled.err);
        const QByteArray hex = ReadFile(Path("demo.hex"));
        const Result packed = Krv({"pack", Path("demo.hex"), Path("RQ70-DEMO.KRV")});
        QCOMPARE(packed.exitCode, 0);
        // Real toolchain output holds data records with correct checksums: nothing to warn about.
        QVERIFY2(!packed.err.contains("warning"), packed.err);

        const Dump dump = DumpJson(Path("RQ70-DEMO.KRV"));
        QVERIFY2(dump.error.isEmpty(), qPrintable(dump.error));
        const ToolchainImage expected = ReadToolchainHex(hex);
        QVERIFY2(expected.error.isEmpty(), qPrintable(expected.error));
        const QJsonArray program = dump.object["program"].toArray();
        QCOMPARE(Json(program), Json(expected.program));
        QCOMPARE(Json(dump.object["eeprom"]), Json(expected.eeprom));
        QCOMPARE(dump.object["highest_program_word"].toInt(), expected.highest);
        QCOMPARE(Json(dump.object["messages"]), "[]"_ba);

        // Encodings known from the instruction set, not from either reading of the file.
        QCOMPARE(Json(program.first()), Json(QJsonArray{0, 0x05, 0x28}));     // goto start (word 5)
        QVERIFY(program.contains(QJsonArray{4, 0x09, 0x00}));                 // retfie
        QVERIFY(program.contains(QJsonArray{5, 0x55, 0x30}));                 // movlw 0x55
        QCOMPARE(Json(program.last()), Json(QJsonArray{0x3FFF, 0x34, 0x12})); // dw 0x1234 at the top
        QCOMPARE(dump.object["highest_program_word"].toInt(), 0x3FFF);
        QByteArray eepromText;
        for (int i = 0; i < 15; ++i)
            eepromText.append(char(dump.object["eeprom"].toArray()[i].toInt()));
        QCOMPARE(eepromText, "\x12RQ70 demo 1.0\0"_ba);
        // The configuration words sit at byte 0x1000E; read as if the upper address were ignored
        // they would land on program words 7 and 8.
        QVERIFY(expected.otherBytes.contains(0x1000E));
        QVERIFY(!program.contains(QJsonArray{7, expected.otherBytes[0x1000E], expected.otherBytes[0x1000F]}));
    }

    void missingInputIsAFileError() {
        const QString missing = Path("no-such-file.hex");
        const QByteArray message =
            ("krv: cannot read '" + missing + "': No such file or directory\n").toUtf8();
        for (const QStringList& args :
             {QStringList{"pack", missing, Path("never.KRV")},
              QStringList{"unpack", missing, Path("never.KRV")}, QStringList{"dump", "--json", missing}}) {
            const Result result = Krv(args);
            QCOMPARE(result.exitCode, 1);
            QCOMPARE(result.err, message);
            QCOMPARE(result.out, QByteArray());
        }
        QVERIFY(!QFile::exists(Path("never.KRV")));
    }

    void unwritableOutputLeavesNothingBehind_data() {
        QTest::addColumn<QString>("output");
        QTest::newRow("folder missing") << "missing/OUT.KRV";
        QTest::newRow("output is a folder") << "folder";
        QTest::newRow("parent is a file") << "plain.hex/OUT.KRV";
    }
    void unwritableOutputLeavesNothingBehind() {
        QFETCH(QString, output);
        QTemporaryDir scratch;
        QVERIFY(WriteFile(scratch.filePath("plain.hex"), ":020000001234B8\n"));
        QVERIFY(QDir(scratch.path()).mkdir("folder"));
        const QStringList before = QDir(scratch.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

        const Result result = Krv({"pack", scratch.filePath("plain.hex"), scratch.filePath(output)});
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.startsWith(("krv: cannot write '" + scratch.filePath(output) + "': ").toUtf8()) &&
                     result.err.count('\n') == 1,
                 result.err);
        QCOMPARE(QDir(scratch.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
        QVERIFY(QDir(scratch.filePath("folder")).isEmpty());
    }

    void wrongArgumentsAreUsageErrors_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("reason");
        const QString twoFiles = "needs an input and an output file";
        QTest::newRow("nothing") << QStringList() << "no command given";
        QTest::newRow("unknown command") << QStringList{"scramble", "a", "b"} << "unknown command 'scramble'";
        QTest::newRow("pack without output") << QStringList{"pack", "a.hex"} << "pack " + twoFiles;
        QTest::newRow("pack with extra") << QStringList{"pack", "a.hex", "b.KRV", "c"} << "pack " + twoFiles;
        QTest::newRow("pack forced without output")
            << QStringList{"pack", "--force", "a.hex"} << "pack " + twoFiles;
        QTest::newRow("pack with --json")
            << QStringList{"pack", "a.hex", "b.KRV", "--json"} << "--json goes with dump";
        QTest::newRow("unpack alone") << QStringList{"unpack"} << "unpack " + twoFiles;
        QTest::newRow("unpack forced")
            << QStringList{"unpack", "--force", "a", "b"} << "--force goes with pack";
        QTest::newRow("dump alone") << QStringList{"dump", "--json"} << "dump needs exactly one file";
        QTest::newRow("dump two files")
            << QStringList{"dump", "a.KRV", "b.KRV"} << "dump needs exactly one file";
        QTest::newRow("dump unknown option")
            << QStringList{"dump", "--xml", "a.KRV"} << "unknown option '--xml'";
        QTest::newRow("unknown short option") << QStringList{"dump", "-x", "a.KRV"} << "unknown option '-x'";
    }
    void wrongArgumentsAreUsageErrors() {
        QFETCH(QStringList, args);
        QFETCH(QString, reason);
        const Result result = Krv(args);
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.startsWith("krv: " + reason.toUtf8() + "\nUsage: krv"), result.err);
        QCOMPARE(result.out, QByteArray());
    }

    void helpAndVersionGoToStandardOutput() {
        for (const QStringList& args :
             {QStringList{"help"}, QStringList{"--help"}, QStringList{"dump", "-h"}}) {
            const Result result = Krv(args);
            QCOMPARE(result.exitCode, 0);
            QVERIFY(result.out.startsWith("Usage: krv"));
            QCOMPARE(result.err, QByteArray());
        }
        const Result version = Krv({"--version"});
        QCOMPARE(version.exitCode, 0);
        QCOMPARE(version.out, QByteArray("krv " RQ70_VERSION "\n"));
        QCOMPARE(version.err, QByteArray());
    }

    void dumpOfGarbageStaysValid() {
        // Random bytes with record starts of every type mixed in, so the loader gets past its first checks.
        QRandomGenerator random(1939);
        QByteArray garbage;
        while (garbage.size() < 200000) {
            garbage.append(char(random.bounded(256)));
            if (random.bounded(40) == 0)
                garbage.append(
                    "\r\n:" + QByteArray::number(random.bounded(0x10000000u) | 0x10000000u, 16).mid(1) + "0" +
                    QByteArray::number(random.bounded(6)));
        }
        QVERIFY(WriteFile(Path("garbage.KRV"), Scrambled(garbage)));

        const Dump dump = DumpJson(Path("garbage.KRV"));
        QVERIFY2(dump.error.isEmpty(), qPrintable(dump.error));
        int previous = -1;
        for (const QJsonValue entry : dump.object["program"].toArray()) {
            const QJsonArray word = entry.toArray();
            QVERIFY(word.size() == 3 && word[0].toInt() > previous && word[0].toInt() < 16384);
            QVERIFY(word[1].toInt() >= 0 && word[1].toInt() < 256 && word[2].toInt() >= 0 &&
                    word[2].toInt() < 256);
            previous = word[0].toInt();
        }
        QVERIFY(!dump.object["messages"].toArray().isEmpty());
        for (const QJsonValue message : dump.object["messages"].toArray())
            QVERIFY(message.toString().startsWith("## Error in Hex-File, type: "));
        QCOMPARE(Krv({"dump", Path("garbage.KRV")}).exitCode, 0);
    }
};

QTEST_GUILESS_MAIN(KrvTest)
#include "tst_krv.moc"
