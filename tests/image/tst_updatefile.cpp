// Finding the update file, reading it through the scramble key, and the status-line path.

#include "image/ScrambledFile.h"
#include "image/ShortenPath.h"
#include "image/UpdateFileDiscovery.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <string>
#include <sys/stat.h>

using namespace rq70;

namespace {

std::string WriteFile(const QTemporaryDir& folder, const QString& name, const QByteArray& bytes) {
    const QString path = QDir(folder.path()).filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path.toStdString();
}

} // namespace

class UpdateFileTest : public QObject {
    Q_OBJECT

private slots:
    void keyCyclesEveryTwelveBytes() {
        // Thirteen ':' bytes: byte 13 is scrambled with the first key digit again.
        std::string bytes(13, ':');
        ApplyScrambleKey(bytes);
        const std::string key = "570194638215";
        for (int i = 0; i < 13; ++i)
            QCOMPARE(static_cast<unsigned char>(bytes[i]), static_cast<unsigned char>(':' ^ key[i % 12]));
        QCOMPARE(static_cast<unsigned char>(bytes[0]), 0x0F);
        QCOMPARE(bytes[12], bytes[0]);
    }

    void everyByteValueSurvivesTheRoundTrip() {
        std::string bytes;
        for (int i = 0; i < 3 * 256; ++i)
            bytes += static_cast<char>(i & 0xFF);
        std::string scrambled = bytes;
        ApplyScrambleKey(scrambled);
        QVERIFY(scrambled != bytes);
        // High-bit bytes keep their high bit: the key digits are all below 0x80.
        QCOMPARE(static_cast<unsigned char>(scrambled[0xC8]),
                 0xC8 ^ static_cast<unsigned char>("570194638215"[0xC8 % 12]));
        ApplyScrambleKey(scrambled);
        QCOMPARE(scrambled, bytes);
    }

    void decodeReadsTheFileByteForByte() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        // A byte equal to its key digit decodes to NUL; CR and LF are decoded like any byte.
        const QByteArray file = QByteArray("57\r\n\xff", 5);
        const DecodedFile decoded = DecodeScrambledFile(WriteFile(folder, "RQ70.KRV", file));
        QCOMPARE(decoded.text, std::string("\0\0\x3d\x3b\xc6", 5));
        // The bytes as read stay beside the text.
        QCOMPARE(decoded.file.bytes, std::optional<std::string>(file.toStdString()));

        const DecodedFile empty = DecodeScrambledFile(WriteFile(folder, "empty.KRV", {}));
        QCOMPARE(empty.text, std::string());
        QCOMPARE(empty.file.bytes, std::optional<std::string>(std::string()));
        // What cannot be read says so instead of passing for an empty file.
        for (const std::string& path :
             {QDir(folder.path()).filePath("missing.KRV").toStdString(), folder.path().toStdString()}) {
            const DecodedFile unread = DecodeScrambledFile(path);
            QCOMPARE(unread.text, std::string());
            QVERIFY(!unread.file.bytes && !unread.file.error.empty());
        }
    }

    void readWholeFileTellsWhyItFailed() {
        const FileContent missing = ReadWholeFile("/nonexistent-folder/RQ70.KRV");
        QVERIFY(!missing.bytes);
        QCOMPARE(QString::fromStdString(missing.error), QStringLiteral("No such file or directory"));
    }

    // Whatever lies under an update file's name, reading it neither blocks nor takes more memory
    // than the largest update file.
    void readWholeFileRefusesWhatCannotBeAnUpdateFile() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QDir dir(folder.path());
        const std::string pipe = dir.filePath("RQ70-PIPE.KRV").toStdString();
        QCOMPARE(::mkfifo(pipe.c_str(), 0600), 0);
        const std::string zeros = dir.filePath("RQ70-ZERO.KRV").toStdString();
        QVERIFY(QFile::link("/dev/zero", QString::fromStdString(zeros)));
        const auto sparse = [&](const char* name, qint64 size) {
            QFile file(dir.filePath(name));
            if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
                qFatal("cannot make %s", name);
            return file.fileName().toStdString();
        };
        const std::string huge = sparse("RQ70-HUGE.KRV", qint64(1) << 30);
        const std::string justOver = sparse("RQ70-OVER.KRV", MaxUpdateFileBytes + 1);
        const std::string atLimit = sparse("RQ70-FULL.KRV", MaxUpdateFileBytes);

        for (const std::string& path : {pipe, zeros}) {
            QCOMPARE(UpdateFileRefusal(path).kind, FileRefusal::Kind::NotRegular);
            const FileContent content = ReadWholeFile(path);
            QVERIFY(!content.bytes);
            QVERIFY(content.error.find("not a regular file") != std::string::npos);
        }
        for (const std::string& path : {huge, justOver}) {
            QCOMPARE(UpdateFileRefusal(path).kind, FileRefusal::Kind::TooLarge);
            QVERIFY(ReadWholeFile(path).error.find("too large") != std::string::npos);
        }
        QCOMPARE(UpdateFileRefusal(atLimit).kind, FileRefusal::Kind::None);
        const FileContent full = ReadWholeFile(atLimit);
        QVERIFY(full.bytes);
        QCOMPARE(static_cast<long long>(full.bytes->size()), MaxUpdateFileBytes);
        // Refused files load as nothing: erased images, nothing to write.
        QCOMPARE(DecodeScrambledFile(pipe).text, std::string());
    }

    void patternMatching_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("matches");
        QTest::newRow("plain") << "RQ70-0112.KRV" << true;
        QTest::newRow("star matches nothing") << "RQ70.KRV" << true;
        QTest::newRow("letter case ignored") << "rq70-beta.krv" << true;
        QTest::newRow("star spans dots") << "RQ70.v2.KRV" << true;
        QTest::newRow("other extension") << "RQ70.HEX" << false;
        QTest::newRow("other model") << "RQ71.KRV" << false;
        QTest::newRow("extension not last") << "RQ70.KRV.bak" << false;
        QTest::newRow("prefix missing") << "xRQ70.KRV" << false;
        QTest::newRow("empty") << "" << false;
    }
    void patternMatching() {
        QFETCH(QString, name);
        QFETCH(bool, matches);
        QCOMPARE(MatchesPattern(name.toStdString(), UpdateFilePattern), matches);
    }

    void findUpdateFileTakesTheFirstFileByName() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        WriteFile(folder, "RQ70-b.KRV", "b");
        WriteFile(folder, "RQ70-a.KRV", "a");
        WriteFile(folder, "RQ70.HEX", "h");
        QVERIFY(QDir(folder.path()).mkdir("RQ70-0dir.KRV")); // a folder is no update file
        const std::string path = folder.path().toStdString();
        int yields = 0;
        QCOMPARE(FindUpdateFile(path, UpdateFilePattern, [&] { ++yields; }), std::string("RQ70-a.KRV"));
        QCOMPARE(yields, 1);
        QCOMPARE(FindUpdateFiles(path, UpdateFilePattern),
                 (std::vector<std::string>{"RQ70-a.KRV", "RQ70-b.KRV"}));
        // With or without the trailing separator the same folder is searched.
        QCOMPARE(FindUpdateFile(path + "/", UpdateFilePattern), std::string("RQ70-a.KRV"));
    }

    void findUpdateFileFindsNothing() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        WriteFile(folder, "RQ70.HEX", "h");
        WriteFile(folder, "RQ71.KRV", "k");
        int yields = 0;
        QCOMPARE(FindUpdateFile(folder.path().toStdString(), UpdateFilePattern, [&] { ++yields; }),
                 std::string());
        QCOMPARE(yields, 0);
        QCOMPARE(FindUpdateFile(folder.path().toStdString() + "/missing", UpdateFilePattern), std::string());
    }

    void fileExists() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const std::string empty = WriteFile(folder, "RQ70.KRV", {});
        QVERIFY(FileExists(empty));
        QVERIFY(!FileExists(empty + "/"));
        QVERIFY(!FileExists(folder.path().toStdString()));
        QVERIFY(!FileExists(folder.path().toStdString() + "/"));
        QVERIFY(!FileExists(folder.path().toStdString() + "/missing.KRV"));
        QVERIFY(!FileExists(""));
        QCOMPARE(JoinFolderAndName(folder.path().toStdString(), "RQ70.KRV"), empty);
        QCOMPARE(JoinFolderAndName("/", "RQ70.KRV"), std::string("/RQ70.KRV"));
    }

    void shortenPath_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("maxLength");
        QTest::addColumn<QString>("expected");
        QTest::newRow("short drive path") << "C:\\Updates\\RQ70.KRV" << 40 << "C:\\Updates\\RQ70.KRV";
        QTest::newRow("drive path, two folders kept") << "C:\\Programs\\Device Tools\\Firmware\\RQ70-12.KRV"
                                                      << 40 << "C:\\...\\Device Tools\\Firmware\\RQ70-12.KRV";
        QTest::newRow("drive path, one folder kept")
            << "D:\\Service\\Customer Files\\2024\\RQ70 firmware release.KRV" << 40
            << "D:\\...\\2024\\RQ70 firmware release.KRV";
        QTest::newRow("name alone too long") << "C:\\a\\RQ70_with_a_very_long_file_name_0112.KRV" << 40
                                             << "C:\\a\\RQ70_with_a_very_long_file_name_0112.KRV";
        QTest::newRow("exactly the limit") << "C:\\abcdefghij\\klmnopqrstu\\RQ70-0112.KRV" << 39
                                           << "C:\\abcdefghij\\klmnopqrstu\\RQ70-0112.KRV";
        QTest::newRow("shortened to exactly the limit")
            << "C:\\abcdefghij\\klmnopqrstu\\RQ70-0112.KRV" << 32 << "C:\\...\\klmnopqrstu\\RQ70-0112.KRV";
        QTest::newRow("one under that")
            << "C:\\abcdefghij\\klmnopqrstu\\RQ70-0112.KRV" << 31 << "C:\\...\\RQ70-0112.KRV";
        QTest::newRow("no separator") << "RQ70_with_a_very_long_file_name_0112.KRV!" << 40
                                      << "RQ70_with_a_very_long_file_name_0112.KRV!";
        QTest::newRow("posix path") << "/home/service/firmware/updates/2024/RQ70-0112.KRV" << 40
                                    << "/.../firmware/updates/2024/RQ70-0112.KRV";
        QTest::newRow("posix path, one over")
            << "/home/service/firmware/updates/2024/RQ70-0112.KRV" << 39 << "/.../updates/2024/RQ70-0112.KRV";
        QTest::newRow("posix, name alone too long") << "/opt/RQ70_with_a_very_long_file_name_0112.KRV" << 40
                                                    << "/opt/RQ70_with_a_very_long_file_name_0112.KRV";
        QTest::newRow("characters, not bytes")
            << "/home/jürgen/Überprüfung/RQ70-0112.KRV" << 38 << "/home/jürgen/Überprüfung/RQ70-0112.KRV";
        QTest::newRow("negative limit") << "/a/b" << -1 << "/a/b";
    }
    void shortenPath() {
        QFETCH(QString, path);
        QFETCH(int, maxLength);
        QFETCH(QString, expected);
        const QString result = QString::fromStdString(ShortenPath(path.toStdString(), maxLength));
        QCOMPARE(result, expected);
        if (result != path)
            QVERIFY(result.size() <= maxLength);
    }
};

QTEST_APPLESS_MAIN(UpdateFileTest)
#include "tst_updatefile.moc"
