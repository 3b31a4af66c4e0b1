// Which port OK updates, through the real main window (offscreen): the port the search found, a
// port picked in the list after it, and what typing into the list's edit field does.

#include "AppFixture.h"
#include "MessageBoxAnswerer.h"

#include "link/BootLoaderBytes.h"
#include "link/DeviceResync.h"
#include "ui_AutoDetectForm.h"
#include "ui_UpdatingCompleteForm.h"
#include "record/UpdateRecord.h"
#include "record/RecordHistory.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QSerialPort>
#include <QTest>

using namespace rq70;

namespace {

// Silent ports cost one reply wait per ping; tests keep it short.
constexpr int ShortTimeoutMs = 100;

// Replaces the edit field's text as a user would, then presses Enter.
void TypeIntoPortList(const App& app, const QString& text) {
    QLineEdit* field = app.ui()->Combo1->lineEdit();
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
}

QStringList Entries(const QComboBox* list) {
    QStringList entries;
    for (int index = 0; index < list->count(); ++index)
        entries << list->itemText(index);
    return entries;
}

// Everything the host sent a device that was only searched: its pings and nothing else.
QList<int> BytesFromHost(const SimulatedDevice& device) {
    QList<int> bytes;
    for (const SimulatedDevice::LoggedByte& byte : device.Log()) {
        if (byte.fromHost)
            bytes << byte.value;
    }
    return bytes;
}

UpdatingCompleteForm* ResultOf(const App& app) {
    return app.form->UpdateWindows().ResultWindow();
}

} // namespace

class UpdatePortTest : public QObject {
    Q_OBJECT

private slots:
    void theDeviceFoundBeyondTheListIsTheOneUpdated() {
        App app;
        app.replyTimeoutMs = ShortTimeoutMs;
        Devices devices;
        // COM1 is listed and selected at start-up, but nothing answers there.
        SimulatedDevice& listed = devices.Add(app, 1, {"--silent"});
        for (int n = 2; n <= 10; ++n)
            app.AddPortEntry(n);
        SimulatedDevice& device = devices.Add(app, 12, {"--exit-after-finish"});
        app.CopySampleUpdateFile();
        app.Start();
        // A pick made before the search is overruled by what the search finds.
        app.ui()->Combo1->setCurrentIndex(3);
        emit app.ui()->Combo1->activated(3);
        QCOMPARE(app.form->UpdatePort(), 4);

        MessageBoxAnswerer answerer;
        QTest::mouseClick(app.ui()->AutoDetectCmd, Qt::LeftButton);
        AutoDetectForm* search = app.form->DetectionWindow().Window();
        QCOMPARE(search->ui->Label1->text(), QStringLiteral("Successfully connected to COM12"));
        QCOMPARE(app.ui()->Combo1->currentText(), QStringLiteral("COM4")); // the list has no COM12
        QCOMPARE(app.form->UpdatePort(), 12);
        QTest::mouseClick(search->ui->OKCmd, Qt::LeftButton);

        QTest::mouseClick(app.ui()->OK, Qt::LeftButton);
        QVERIFY(ResultOf(app));
        QCOMPARE(ResultOf(app)->ui->Label1->text(), QStringLiteral("The update was successful."));
        QCOMPARE(ResultOf(app)->ui->Label2->text(), QStringLiteral("RQ-70 Boot 1.0"));
        QVERIFY2(answerer.boxes.isEmpty(), qPrintable(answerer.boxes.value(0).text));
        QVERIFY(device.WaitForExit());
        const QString difference = MemoryDifference(device.Dump(), app.state.images);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));

        // The run is on record under the port it really went to.
        const RecordHistory history = ReadUpdateRecords(app.recordPath);
        QCOMPARE(history.records.size(), 1);
        const QJsonObject record = history.records.first();
        QCOMPARE(record.value("program").toString(), QStringLiteral("rq70-updater"));
        QCOMPARE(record.value("port").toString(), QStringLiteral("COM12"));
        QCOMPARE(record.value("device_path").toString(), QDir(app.portFolder.path()).filePath("COM12"));
        QCOMPARE(record.value("verdict").toString(), QStringLiteral("success"));
        QCOMPARE(record.value("identification").toString(), QStringLiteral("RQ-70 Boot 1.0"));
        QCOMPARE(record.value("highest_program_word").toInt(), app.state.images.HighestProgramWord);
        QCOMPARE(record.value("update_file_size").toInteger(),
                 QFileInfo(app.InFolder("RQ70-DEMO.KRV")).size());

        // The listed COM1 got the search's two pings and not one byte of the update. Each went
        // behind the fill bytes: the first on a port just opened, the second after a ping that
        // was not answered.
        QVERIFY(listed.Stop());
        QList<int> pings(LongestParameters, ResyncFillByte);
        pings << ProbeCommand;
        pings += pings;
        QCOMPARE(BytesFromHost(listed), pings);
    }

    void aPortPickedAfterTheSearchWins() {
        App app;
        Devices devices;
        SimulatedDevice& found = devices.Add(app, 2);
        SimulatedDevice& picked = devices.Add(app, 3, {"--exit-after-finish"});
        app.CopySampleUpdateFile();
        app.Start();
        QTest::mouseClick(app.ui()->AutoDetectCmd, Qt::LeftButton);
        QCOMPARE(app.form->DetectionWindow().Window()->ui->Label1->text(),
                 QStringLiteral("Successfully connected to COM2"));
        QCOMPARE(app.ui()->Combo1->currentText(), QStringLiteral("COM2"));

        // The technician steps the list on to COM3 with the arrow key.
        QTest::keyClick(app.ui()->Combo1, Qt::Key_Down);
        QCOMPARE(app.ui()->Combo1->currentText(), QStringLiteral("COM3"));
        QCOMPARE(app.form->UpdatePort(), 3);
        QTest::mouseClick(app.ui()->OK, Qt::LeftButton);
        QCOMPARE(ResultOf(app)->ui->Label1->text(), QStringLiteral("The update was successful."));
        QCOMPARE(app.state.link.CommPort(), 3);
        QVERIFY(picked.WaitForExit());
        const QString difference = MemoryDifference(picked.Dump(), app.state.images);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        QVERIFY(found.Stop());
        QCOMPARE(found.CommandCount("erase"), 0);
        QCOMPARE(found.CommandCount("write"), 0);
        QCOMPARE(found.CommandCount("eeprom"), 0);
    }

    void typedTextNamingAListedPortPicksIt_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("port");
        QTest::newRow("exact") << "COM3" << 3;
        QTest::newRow("lower case") << "com10" << 10;
        QTest::newRow("blanks around") << "  Com3 " << 3;
    }

    void typedTextNamingAListedPortPicksIt() {
        QFETCH(QString, typed);
        QFETCH(int, port);
        App app;
        for (int n : {1, 3, 10})
            app.AddPortEntry(n);
        app.CopySampleUpdateFile();
        app.Start();
        QVERIFY(!app.ui()->OK->isEnabled());
        TypeIntoPortList(app, typed);
        QCOMPARE(Entries(app.ui()->Combo1), (QStringList{"COM1", "COM3", "COM10"}));
        QCOMPARE(app.ui()->Combo1->currentText(), QStringLiteral("COM%1").arg(port));
        QCOMPARE(app.form->UpdatePort(), port);
        QVERIFY(app.ui()->OK->isEnabled());
    }

    void otherTypedTextChangesNothing_data() {
        QTest::addColumn<QString>("typed");
        QTest::newRow("a word") << "hello";
        QTest::newRow("a port not listed") << "COM7";
        QTest::newRow("a listed port with more") << "COM3x";
        QTest::newRow("nothing") << "";
    }

    void otherTypedTextChangesNothing() {
        QFETCH(QString, typed);
        App app;
        for (int n : {1, 3})
            app.AddPortEntry(n);
        app.CopySampleUpdateFile();
        app.Start();
        TypeIntoPortList(app, typed);
        QCOMPARE(Entries(app.ui()->Combo1), (QStringList{"COM1", "COM3"}));
        QCOMPARE(app.ui()->Combo1->currentText(), QStringLiteral("COM1"));
        QVERIFY(!app.ui()->OK->isEnabled());

        // Nor does it undo a port that was picked: OK stays enabled and keeps its port.
        TypeIntoPortList(app, "COM3");
        QVERIFY(app.ui()->OK->isEnabled());
        TypeIntoPortList(app, typed);
        QCOMPARE(app.ui()->Combo1->count(), 2);
        QCOMPARE(app.ui()->Combo1->currentText(), QStringLiteral("COM3"));
        QCOMPARE(app.form->UpdatePort(), 3);
        QVERIFY(app.ui()->OK->isEnabled());
    }

    void leavingTheFieldUntouchedIsNoPick() {
        App app;
        Devices devices;
        app.AddPortEntry(1);
        devices.Add(app, 2);
        app.CopySampleUpdateFile();
        app.Start();
        app.form->AutoDetectCmd_Click();
        QCOMPARE(app.form->UpdatePort(), 2);
        app.form->DetectionWindow().Window()->close();
        app.form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(app.form.get()));
        // The list shows COM1 still (COM2 is its second entry, selected by the search): a click
        // into the field and away again chooses nothing.
        app.ui()->Combo1->setCurrentIndex(0);
        app.ui()->Combo1->lineEdit()->setFocus();
        QTRY_VERIFY(app.ui()->Combo1->lineEdit()->hasFocus());
        app.ui()->Cancel->setFocus();
        QTRY_VERIFY(!app.ui()->Combo1->lineEdit()->hasFocus());
        QCOMPARE(app.form->UpdatePort(), 2);
        // A port typed and left without Enter is a pick like any other.
        app.ui()->Combo1->lineEdit()->setFocus();
        QTRY_VERIFY(app.ui()->Combo1->lineEdit()->hasFocus());
        QTest::keyClick(app.ui()->Combo1->lineEdit(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(app.ui()->Combo1->lineEdit(), "com1");
        app.ui()->Cancel->setFocus();
        QTRY_COMPARE(app.form->UpdatePort(), 1);
    }

    void aListedPortThatCannotBeOpenedStartsNothing() {
        App app;
        Devices devices;
        SimulatedDevice& device = devices.Add(app, 7);
        // Another program holds the device itself.
        QSerialPort other(device.PtyPath());
        QVERIFY(other.open(QIODevice::ReadWrite));
        app.CopySampleUpdateFile();
        app.Start();
        TypeIntoPortList(app, "COM7");
        MessageBoxAnswerer answerer;
        QTest::mouseClick(app.ui()->OK, Qt::LeftButton);
        QCOMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes[0].title, QStringLiteral("Uploader-Error"));
        QVERIFY2(answerer.boxes[0].text.contains("COM7") && answerer.boxes[0].text.contains("in use"),
                 qPrintable(answerer.boxes[0].text));
        QVERIFY(!ResultOf(app));
        QVERIFY(!app.form->UpdateWindows().ProgressWindow());
        other.close();
        QVERIFY(device.Stop());
        QCOMPARE(device.CommandCount("erase"), 0);
    }
};

QTEST_MAIN(UpdatePortTest)
#include "tst_updateport.moc"
