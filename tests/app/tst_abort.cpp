// The progress window's Abort button, pressed as a technician presses it during each phase of an
// update (offscreen, against a simulated device): the unit under way completes, the run ends
// without a message box, and the device holds exactly what was sent up to there.

#include "AppFixture.h"
#include "MessageBoxAnswerer.h"

#include "link/BootLoaderBytes.h"
#include "ui_UpdatingCompleteForm.h"
#include "ui_UpdatingForm.h"
#include "record/UpdateRecord.h"
#include "record/RecordHistory.h"

#include <QTest>

using namespace rq70;

namespace {

constexpr int LastWord = PatternLastWord;

// The addresses of the commands of one kind that the device took in whole, in order.
QList<int> AddressesOf(const SimulatedDevice& device, int command) {
    QList<int> addresses;
    for (const SimulatedDevice::HostCommand& sent : device.HostCommands()) {
        if (sent.command == command)
            addresses << sent.address;
    }
    return addresses;
}

QList<int> Steps(int first, int last, int step) {
    QList<int> steps;
    for (int value = first; value <= last; value += step)
        steps << value;
    return steps;
}

} // namespace

class AbortTest : public QObject {
    Q_OBJECT

private slots:
    void abortEndsTheRunAfterTheUnitUnderWay_data() {
        QTest::addColumn<QString>("phase");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("presses");
        QTest::newRow("erasing") << "Erasing Flash..." << 288 << 1;
        QTest::newRow("writing program") << "Writing program data..." << 300 << 1;
        QTest::newRow("writing EEPROM, pressed twice") << "Writing EEPROM data..." << 10 << 2;
    }

    void abortEndsTheRunAfterTheUnitUnderWay() {
        QFETCH(QString, phase);
        QFETCH(int, from);
        QFETCH(int, presses);
        App app;
        Devices devices;
        // Replies held 2 ms keep every phase on screen long enough to be pressed in.
        SimulatedDevice& device = devices.Add(app, 1, {"--delay", "2"});
        WriteUpdateFile(app.InFolder("RQ70-ABORT.KRV"), PatternUpdateHex());
        app.Start();
        QCOMPARE(app.state.images.HighestProgramWord, LastWord);
        app.ui()->Combo1->setCurrentIndex(0);
        emit app.ui()->Combo1->activated(0);

        // Abort is pressed once the bar has reached `from` in the phase; the bar's value then
        // names the unit under way, which is the last one the device may see.
        int pressedAt = -1;
        QList<QPoint> progressPlaces;
        QTimer presser;
        connect(&presser, &QTimer::timeout, [&] {
            UpdatingForm* progress = app.form->UpdateWindows().ProgressWindow();
            if (!progress || !progress->isVisible())
                return;
            progressPlaces << progress->pos();
            if (pressedAt >= 0 || progress->ui->Label2->text() != phase ||
                progress->ui->UpdatingBar->value() < from)
                return;
            pressedAt = progress->ui->UpdatingBar->value();
            for (int press = 0; press < presses; ++press)
                QTest::mouseClick(progress->ui->AbortCmd, Qt::LeftButton);
        });
        presser.start(1);
        MessageBoxAnswerer answerer;
        QTest::mouseClick(app.ui()->OK, Qt::LeftButton);
        presser.stop();

        QVERIFY(pressedAt >= from);
        UpdatingCompleteForm* result = app.form->UpdateWindows().ResultWindow();
        QVERIFY(result && result->isVisible());
        QCOMPARE(result->ui->Label1->text(), QStringLiteral("The update was not successful."));
        QCOMPARE(result->ui->Label2->text(), QString());
        QVERIFY2(answerer.boxes.isEmpty(), qPrintable(answerer.boxes.value(0).text));
        QTRY_VERIFY(!app.form->UpdateWindows().ProgressWindow());
        QVERIFY(app.state.link.MonitorTimerEnabled());
        // The progress window lay over the main window all along.
        QVERIFY(!progressPlaces.isEmpty());
        QCOMPARE(progressPlaces.first(), app.form->pos());
        QCOMPARE(QSet<QPoint>(progressPlaces.begin(), progressPlaces.end()).size(), 1);

        QVERIFY(device.Stop());
        const QList<int> rows = AddressesOf(device, EraseRowCommand);
        const QList<int> blocks = AddressesOf(device, WriteProgramCommand);
        const QList<int> eeprom = AddressesOf(device, WriteEepromCommand);
        QVERIFY(!device.Dump().value("finish_seen").toBool());
        if (phase == "Erasing Flash...") {
            QCOMPARE(rows, Steps(256, pressedAt, 32));
            QVERIFY(blocks.isEmpty() && eeprom.isEmpty());
            QCOMPARE(device.CommandCount("erase"), rows.size());
        } else if (phase == "Writing program data...") {
            QCOMPARE(rows, Steps(256, LastWord, 32));
            QCOMPARE(blocks, Steps(256, pressedAt, 4));
            QVERIFY(eeprom.isEmpty());
        } else {
            QCOMPARE(blocks, Steps(256, LastWord, 4));
            QCOMPARE(eeprom, Steps(0, pressedAt, 1));
        }
        // The device's memory: every unit up to the one under way is complete, nothing beyond.
        const int lastWritten = phase == "Writing program data..."  ? pressedAt + 3
                                : phase == "Writing EEPROM data..." ? LastWord
                                                                    : 255;
        const int lastEeprom = phase == "Writing EEPROM data..." ? pressedAt : -1;
        FirmwareImages expected = app.state.images;
        for (int word = lastWritten + 1; word < ProgramWordCount; ++word)
            expected.StoreProgramWord(word, 0xFF, 0x3F);
        for (int address = lastEeprom + 1; address < EepromByteCount; ++address)
            expected.StoreEepromByte(address, ErasedEepromByte);
        const QString difference = MemoryDifference(device.Dump(), expected);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));

        // The record keeps the abort and where it came.
        const RecordHistory history = ReadUpdateRecords(app.recordPath);
        QCOMPARE(history.records.size(), 1);
        QCOMPARE(history.records[0].value("verdict").toString(), QStringLiteral("aborted"));
        const QString recordedPhase = phase == EraseCaption     ? "erase"
                                      : phase == ProgramCaption ? "program"
                                                                : "eeprom";
        QCOMPARE(history.records[0].value("failed_phase").toString(), recordedPhase);
    }
};

QTEST_MAIN(AbortTest)
#include "tst_abort.moc"
