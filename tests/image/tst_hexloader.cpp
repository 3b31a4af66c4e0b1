// The Intel HEX loader: the line rules, the address arithmetic of this device, the record types,
// and what it does with input that is not a well-formed update file.

#include "image/HexLoader.h"
#include "image/ScrambledFile.h"
#include "image/ShortenPath.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <string>
#include <vector>

using namespace rq70;

namespace {

struct Loaded {
    FirmwareImages images;
    std::vector<std::string> messages;
};

Loaded Load(const std::string& text) {
    Loaded result;
    LoadHexText(text, result.images, [&](const std::string& message) { result.messages.push_back(message); });
    return result;
}

std::string Lines(std::initializer_list<const char*> lines, const char* separator = "\r\n") {
    std::string text;
    for (const char* line : lines)
        text += std::string(line) + separator;
    return text;
}

int Word(const FirmwareImages& images, int address) {
    return images.HighByte(address) << 8 | images.LowByte(address);
}

int ProgrammedWordCount(const FirmwareImages& images) {
    int count = 0;
    for (int address = 0; address < ProgramWordCount; ++address)
        count += !images.IsErasedWord(address);
    return count;
}

int ChangedEepromCount(const FirmwareImages& images) {
    int count = 0;
    for (int address = 0; address < EepromByteCount; ++address)
        count += images.EepromByte(address) != ErasedEepromByte;
    return count;
}

bool IsUntouched(const Loaded& loaded) {
    return ProgrammedWordCount(loaded.images) == 0 && ChangedEepromCount(loaded.images) == 0 &&
           loaded.images.HighestProgramWord == 0;
}

} // namespace

class HexLoaderTest : public QObject {
    Q_OBJECT

private slots:
    void planesAreLowByteThenHighByte() {
        const Loaded loaded = Load(Lines({":0400000001020304F2"}));
        QCOMPARE(loaded.images.LowByte(0), 0x01);
        QCOMPARE(loaded.images.HighByte(0), 0x02);
        QCOMPARE(Word(loaded.images, 1), 0x0403);
        QCOMPARE(loaded.images.HighestProgramWord, 1);
        QCOMPARE(ProgrammedWordCount(loaded.images), 2);
        QVERIFY(loaded.messages.empty());
    }

    void highByteIsNotMaskedAndLaterRecordsWin() {
        const Loaded loaded = Load(Lines({":020010001122BB", ":02001000FFFFxx", ":0200120033440x"}));
        QCOMPARE(loaded.images.HighByte(8), 0xFF);
        QCOMPARE(loaded.images.LowByte(8), 0xFF);
        QCOMPARE(Word(loaded.images, 9), 0x4433);
    }

    void byteCountAndLoadAddressAreHalvedToEven_data() {
        QTest::addColumn<QString>("record");
        QTest::addColumn<int>("firstWord");
        QTest::addColumn<int>("wordCount");
        // Byte counts 1, 3, 5, 7 give 0, 2, 2, 4 words; the checksum digits supply a missing high byte.
        QTest::newRow("count 1") << ":01000000AA55" << 0 << 0;
        QTest::newRow("count 3") << ":03000000A1B2C3D4" << 0 << 2;
        QTest::newRow("count 5") << ":05000000A1B2C3D4E5F6" << 0 << 2;
        QTest::newRow("count 7") << ":07000000A1B2C3D4E5F60718" << 0 << 4;
        QTest::newRow("count 2") << ":02000000A1B2C3" << 0 << 1;
        // Load addresses 1, 3, 5, 7 give word offsets 0, 2, 2, 4.
        QTest::newRow("address 1") << ":02000100A1B2C3" << 0 << 1;
        QTest::newRow("address 3") << ":02000300A1B2C3" << 2 << 1;
        QTest::newRow("address 5") << ":02000500A1B2C3" << 2 << 1;
        QTest::newRow("address 7") << ":02000700A1B2C3" << 4 << 1;
        QTest::newRow("address 0x7FFE") << ":027FFE00A1B2C3" << 16383 << 1;
    }
    void byteCountAndLoadAddressAreHalvedToEven() {
        QFETCH(QString, record);
        QFETCH(int, firstWord);
        QFETCH(int, wordCount);
        const Loaded loaded = Load(record.toStdString() + "\r\n");
        QCOMPARE(ProgrammedWordCount(loaded.images), wordCount);
        if (wordCount == 0)
            return;
        QCOMPARE(Word(loaded.images, firstWord), 0xB2A1);
        QCOMPARE(loaded.images.HighestProgramWord, firstWord + wordCount - 1);
        if (wordCount >= 2)
            QCOMPARE(Word(loaded.images, firstWord + 1), 0xD4C3);
    }

    void oddByteCountTakesTheLastHighByteFromTheChecksum() {
        const Loaded loaded = Load(Lines({":03000000A1B2C37E"}));
        QCOMPARE(Word(loaded.images, 1), 0x7EC3);
    }

    void lastProgramWordAndTheEndOfProgramMemory() {
        // Load address 0x7FFE is word 16383; 0x8000 (word 16384) with linear value 0 is outside
        // every window and stores nothing.
        const Loaded loaded = Load(Lines({":047FFC0011223344xx", ":04800000556677880x"}));
        QCOMPARE(Word(loaded.images, 16382), 0x2211);
        QCOMPARE(Word(loaded.images, 16383), 0x4433);
        QCOMPARE(loaded.images.HighestProgramWord, 16383);
        QCOMPARE(ProgrammedWordCount(loaded.images), 2);
        QCOMPARE(ChangedEepromCount(loaded.images), 0);
    }

    void eepromWindowTakesTheLowByteOnly() {
        const Loaded loaded = Load(Lines({":020000040001F9", ":04E00000AA00BB00xx"}));
        QCOMPARE(loaded.images.EepromByte(0), 0xAA);
        QCOMPARE(loaded.images.EepromByte(1), 0xBB);
        QCOMPARE(ChangedEepromCount(loaded.images), 2);
        QCOMPARE(ProgrammedWordCount(loaded.images), 0);
        QCOMPARE(loaded.images.HighestProgramWord, 0);
    }

    void eepromWindowEdges_data() {
        QTest::addColumn<QString>("linear");
        QTest::addColumn<QString>("data");
        QTest::addColumn<int>("eepromAddress"); // -1: nothing stored anywhere
        QTest::newRow("0x17000, first byte") << "0001"
                                             << ":02E00000C300xx" << 0;
        QTest::newRow("0x170FF, last byte") << "0001"
                                            << ":02E1FE00C300xx" << 255;
        QTest::newRow("0x17100, window above the image") << "0001"
                                                         << ":02E20000C300xx" << -1;
        QTest::newRow("0x173FF, window's last address") << "0001"
                                                        << ":02E7FE00C300xx" << -1;
        QTest::newRow("0x16FFF, just below") << "0001"
                                             << ":02DFFE00C300xx" << -1;
        QTest::newRow("0x10007, configuration word") << "0001"
                                                     << ":02000E00C300xx" << -1;
        QTest::newRow("0x4000, beyond program memory") << "0000"
                                                       << ":02800000C300xx" << -1;
        QTest::newRow("linear 0x8000") << "8000"
                                       << ":02E00000C300xx" << -1;
        QTest::newRow("linear 0xFFFF") << "FFFF"
                                       << ":02FFFE00C300xx" << -1;
    }
    void eepromWindowEdges() {
        QFETCH(QString, linear);
        QFETCH(QString, data);
        QFETCH(int, eepromAddress);
        const Loaded loaded =
            Load(Lines({(":02000004" + linear + "xx").toLatin1().constData(), data.toLatin1().constData()}));
        QCOMPARE(ProgrammedWordCount(loaded.images), 0);
        QCOMPARE(loaded.images.HighestProgramWord, 0);
        QCOMPARE(ChangedEepromCount(loaded.images), eepromAddress < 0 ? 0 : 1);
        if (eepromAddress >= 0)
            QCOMPARE(loaded.images.EepromByte(eepromAddress), 0xC3);
    }

    void recordsAcrossTheEepromWindowEndStopAtTheImage() {
        // Four words at window addresses 0xFE..0x101: the two inside the image land, the rest do not.
        const Loaded loaded = Load(Lines({":020000040001F9", ":08E1FC0011002200330044000x"}));
        QCOMPARE(loaded.images.EepromByte(254), 0x11);
        QCOMPARE(loaded.images.EepromByte(255), 0x22);
        QCOMPARE(ChangedEepromCount(loaded.images), 2);
    }

    void segmentValueCountsSixteenWordsAndPersists() {
        // Segment 0x0010 moves the data by 0x100 words; segment 0x1700 reaches the EEPROM window.
        const Loaded loaded = Load(Lines(
            {":020000020010EC", ":0200000012340x", ":0200020056780x", ":020000021700xx", ":020004009A00xx"}));
        QCOMPARE(Word(loaded.images, 0x100), 0x3412);
        QCOMPARE(Word(loaded.images, 0x101), 0x7856);
        QCOMPARE(loaded.images.EepromByte(2), 0x9A);
        QCOMPARE(loaded.images.HighestProgramWord, 0x101);
    }

    void segmentAndLinearValuesAdd() {
        // Segment 0x0100, linear 1, load address 0x6000: 0x1000 + 0x10000 + 0x3000 = 0x14000, skipped;
        // with segment 0x0400 instead: 0x4000 + 0x10000 + 0x3000 = 0x17000, the first EEPROM byte.
        const Loaded skipped = Load(Lines({":020000040001F9", ":020000020100xx", ":02600000AA00xx"}));
        QVERIFY(IsUntouched(skipped));
        const Loaded eeprom = Load(Lines({":020000040001F9", ":020000020400xx", ":02600000AA00xx"}));
        QCOMPARE(eeprom.images.EepromByte(0), 0xAA);
    }

    void highestProgramWordOnlyRises() {
        const Loaded loaded = Load(Lines({":0203FE00AAAAxx", ":02020000BBBBxx"}));
        QCOMPARE(loaded.images.HighestProgramWord, 0x1FF);

        // Clearing the images does not reset it: a second load keeps the first file's highest word.
        FirmwareImages images;
        LoadHexText(Lines({":0203FE00AAAAxx"}), images, {});
        LoadHexText(Lines({":02000000CCCCxx"}), images, {});
        QCOMPARE(images.HighestProgramWord, 0x1FF);
        QVERIFY(images.IsErasedWord(0x1FF));
        QCOMPARE(Word(images, 0), 0xCCCC);
    }

    void onlyWordZeroLeavesHighestAtZero() {
        const Loaded loaded = Load(Lines({":02000000AA0Bxx"}));
        QCOMPARE(loaded.images.HighestProgramWord, 0);
        QCOMPARE(Word(loaded.images, 0), 0x0BAA);
    }

    void unsupportedTypesAreReportedAndSkipped() {
        const Loaded loaded =
            Load(Lines({":0400000305060708xx", ":02000400AA00xx", ":0200000511220x", ":00000001FF",
                        ":02000200BB00xx", ":00000007F9", ":020000FF1234xx"}));
        const std::vector<std::string> expected = {
            "## Error in Hex-File, type: 3", "## Error in Hex-File, type: 5", "## Error in Hex-File, type: 7",
            "## Error in Hex-File, type: 255"};
        QCOMPARE(loaded.messages, expected);
        // The data records around them, including the one after the end-of-file record, are loaded.
        QCOMPARE(Word(loaded.images, 2), 0x00AA);
        QCOMPARE(Word(loaded.images, 1), 0x00BB);
        QCOMPARE(ProgrammedWordCount(loaded.images), 2);
    }

    void linesEndOnlyAtCrLf() {
        // LF alone: the whole text is one line, and only its first record is read.
        const Loaded lf = Load(Lines({":02000000AAAAxx", ":02000200BBBBxx"}, "\n"));
        QCOMPARE(ProgrammedWordCount(lf.images), 1);
        QCOMPARE(Word(lf.images, 0), 0xAAAA);
        // A lone CR stays inside its line, as does a CR LF split as LF CR.
        const Loaded cr = Load(Lines({":02000000AAAAxx", ":02000200BBBBxx"}, "\r"));
        QCOMPARE(ProgrammedWordCount(cr.images), 1);
        const Loaded lfcr = Load(Lines({":02000000AAAAxx", ":02000200BBBBxx"}, "\n\r"));
        QCOMPARE(ProgrammedWordCount(lfcr.images), 1);
        // The last line needs no line end.
        const Loaded unterminated = Load(":02000000AAAAxx\r\n:02000200BBBBxx");
        QCOMPARE(ProgrammedWordCount(unterminated.images), 2);
    }

    void linesThatAreNotRecordsAreSkipped() {
        const Loaded loaded =
            Load(Lines({"", "; comment", " :02000200BBBBxx", "\t:02000400CCCCxx", ":02000000AAAAxx", "",
                        "x:02000600DDDDxx", "  ", ":02000800eeffxx"}));
        QCOMPARE(ProgrammedWordCount(loaded.images), 2);
        QCOMPARE(Word(loaded.images, 0), 0xAAAA);
        QCOMPARE(Word(loaded.images, 4), 0xFFEE); // lower-case digits are hex too
        QVERIFY(loaded.messages.empty());
    }

    void aNulAnywhereDropsItsLine() {
        std::string text = Lines({":02000000AAAAxx", ":02000200BBBBxx", ":0200000311110x"});
        text[3] = '\0';                           // in the header of the first record
        text[text.find("xx\r\n:0200000")] = '\0'; // after the data of the second
        text += std::string("\0:02000400CCCCxx\r\n", 18);
        text += std::string(":02000600DDDDxx\0\r\n", 18);
        const Loaded loaded = Load(text);
        QVERIFY(IsUntouched(loaded));
        QCOMPARE(loaded.messages.size(), std::size_t(1)); // the type 3 line has no NUL
    }

    void emptyTextLeavesTheImagesErased() {
        FirmwareImages images;
        images.StoreProgramWord(5, 1, 2);
        images.StoreEepromByte(7, 3);
        LoadHexText("", images, {});
        QCOMPARE(ProgrammedWordCount(images), 0);
        QCOMPARE(ChangedEepromCount(images), 0);
    }

    void malformedRecordsStoreNothing_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("data shorter than its byte count") << ":08000000112233";
        QTest::newRow("one digit missing") << ":040000001122334";
        QTest::newRow("non-hex data") << ":0400000011G23344xx";
        QTest::newRow("non-hex byte count") << ":0G00000011223344xx";
        QTest::newRow("non-hex address") << ":04x0000011223344xx";
        QTest::newRow("sign in a field") << ":04-0000011223344xx";
        QTest::newRow("header only") << ":0400000";
        QTest::newRow("colon only") << ":";
        QTest::newRow("short linear record, then data") << ":02000004001\r\n:02000000AA00xx";
        QTest::newRow("non-hex linear value, then data") << ":020000040Z01\r\n:02000000AA00xx";
        QTest::newRow("short segment record, then data") << ":020000021\r\n:02000000AA00xx";
    }
    void malformedRecordsStoreNothing() {
        QFETCH(QString, text);
        const Loaded loaded = Load(text.toStdString());
        // A broken address record leaves the address where it was: the data after it lands in
        // program word 0, not where a partly read value would put it.
        const bool dataAfter = text.contains("\r\n");
        QCOMPARE(ChangedEepromCount(loaded.images), 0);
        QCOMPARE(ProgrammedWordCount(loaded.images), dataAfter ? 1 : 0);
        if (dataAfter)
            QCOMPARE(Word(loaded.images, 0), 0x00AA);
        QVERIFY(loaded.messages.empty());
    }

    void loadingGoesOnAfterABrokenRecord() {
        const Loaded loaded = Load(Lines({":08000000112233", ":02000200BBBBxx"}));
        QCOMPARE(ProgrammedWordCount(loaded.images), 1);
        QCOMPARE(Word(loaded.images, 1), 0xBBBB);
    }

    void manyLinesAndBinaryGarbage() {
        // Far beyond any real file and beyond a 16-bit line counter: 36000 filler lines, then
        // every word written twice.
        std::string text;
        for (int i = 0; i < 36000; ++i)
            text += ":00000001FF\r\n";
        for (int pass = 0; pass < 2; ++pass) {
            for (int word = 0; word < ProgramWordCount; word += 8) {
                char line[64];
                std::snprintf(line, sizeof line, ":10%04X00", word * 2);
                text += line;
                for (int j = 0; j < 8; ++j) {
                    std::snprintf(line, sizeof line, "%02X%02X", (word + j) & 0xFF, pass);
                    text += line;
                }
                text += "xx\r\n";
            }
        }
        const Loaded loaded = Load(text);
        QCOMPARE(ProgrammedWordCount(loaded.images), ProgramWordCount);
        QCOMPARE(Word(loaded.images, 12345), 0x0100 | (12345 & 0xFF));
        QCOMPARE(loaded.images.HighestProgramWord, 16383);

        // Random bytes with colons and CR LF sprinkled in: whatever is stored stays inside the images.
        QRandomGenerator random(70);
        for (int round = 0; round < 200; ++round) {
            std::string garbage(4096, '\0');
            for (char& c : garbage) {
                const quint32 pick = random.bounded(100u);
                c = pick < 5    ? ':'
                    : pick < 10 ? '\r'
                    : pick < 15 ? '\n'
                    : pick < 60 ? "0123456789ABCDEF"[random.bounded(16u)]
                                : char(random.bounded(256u));
            }
            const Loaded any = Load(garbage);
            QVERIFY(any.images.HighestProgramWord >= 0 && any.images.HighestProgramWord < ProgramWordCount);
        }
    }

    void loadHexFileDescramblesAndNamesThePath() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const std::string path = QDir(folder.path()).filePath("RQ70-0112.KRV").toStdString();
        std::string bytes =
            Lines({":0400000001020304F2", ":020000040001F9", ":02E0000042000x", ":0000000301"});
        ApplyScrambleKey(bytes);
        QFile file(QString::fromStdString(path));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes.data(), qint64(bytes.size()));
        file.close();

        FirmwareImages images;
        std::vector<std::string> messages;
        const HexFileLoad loaded =
            LoadHexFile(path, images, [&](const std::string& m) { messages.push_back(m); });
        QCOMPARE(loaded.status, ShortenPath(path, 40));
        // The bytes as read, still scrambled.
        QVERIFY(loaded.file.bytes);
        QCOMPARE(*loaded.file.bytes, bytes);
        QCOMPARE(Word(images, 1), 0x0403);
        QCOMPARE(images.EepromByte(0), 0x42);
        QCOMPARE(messages, std::vector<std::string>{"## Error in Hex-File, type: 3"});

        // A file that vanished after it was found says why it cannot be read, and leaves the images
        // erased.
        QVERIFY(file.remove());
        const HexFileLoad again = LoadHexFile(path, images, {});
        QCOMPARE(again.status, loaded.status);
        QVERIFY(!again.file.bytes);
        QCOMPARE(again.file.error, std::string("No such file or directory"));
        QCOMPARE(ProgrammedWordCount(images), 0);
        QCOMPARE(ChangedEepromCount(images), 0);
    }
};

QTEST_APPLESS_MAIN(HexLoaderTest)
#include "tst_hexloader.moc"
