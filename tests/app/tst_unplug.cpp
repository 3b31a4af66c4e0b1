// A USB adapter pulled out and plugged back in at the bench (offscreen, against a simulated device
// whose link and pty vanish and come back): the search goes on, the monitor follows the device,
// an update ends unsuccessful, and after re-plugging the device is found and updated.

#include "AppFixture.h"
#include "MessageBoxAnswerer.h"

#include "ui_AutoDetectForm.h"
#include "ui_UpdatingCompleteForm.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

using namespace rq70;

namespace {

constexpr int ShortTimeoutMs = 100;
const QString Connected = QStringLiteral("connected to RQ-70");
const QString NotConnected = QStringLiteral("not connected to RQ-70");

QString SearchLine1(const App& app) {
    return app.form->DetectionWindow().Window()->ui->Label1->text();
}

} // namespace

class UnplugTest : public QObject {
    Q_OBJECT

private slots:
    void searchGoesOnAndFindsTheDeviceAgain() {
        App app;
        app.replyTimeoutMs = ShortTimeoutMs;
        Devices devices;
        // COM1's adapter comes out as the search's first probe reaches it.
        devices.Add(app, 1, {"--vanish-after", "probe:1", "--reappear-after", "300"});
        devices.Add(app, 2);
        app.CopySampleUpdateFile();
        app.Start();
        MessageBoxAnswerer answerer;

        QTest::mouseClick(app.ui()->AutoDetectCmd, Qt::LeftButton);
        QCOMPARE(SearchLine1(app), QStringLiteral("Successfully connected to COM2"));
        QCOMPARE(app.form->UpdatePort(), 2);

        // Plugged back in under the same name: the first port wins again.
        const QString com1 = QDir(app.portFolder.path()).filePath("COM1");
        QTRY_VERIFY(QFileInfo::exists(com1));
        QTest::mouseClick(app.ui()->AutoDetectCmd, Qt::LeftButton);
        QCOMPARE(SearchLine1(app), QStringLiteral("Successfully connected to COM1"));
        QVERIFY2(answerer.boxes.isEmpty(), qPrintable(answerer.boxes.value(0).text));
    }

    void monitorFollowsTheAdapterOutAndBackIn() {
        App app;
        app.replyTimeoutMs = ShortTimeoutMs;
        Devices devices;
        SimulatedDevice& device = devices.Add(app, 1);
        app.CopySampleUpdateFile();
        app.Start();
        MessageBoxAnswerer answerer;
        QTest::mouseClick(app.ui()->AutoDetectCmd, Qt::LeftButton);
        QTRY_COMPARE(app.form->ConnectionStatus(), Connected);

        QVERIFY(device.Signal(SIGUSR1));
        QTRY_COMPARE(app.form->ConnectionStatus(), NotConnected);
        QVERIFY(device.Signal(SIGUSR2));
        QTRY_COMPARE(app.form->ConnectionStatus(), Connected);
        QVERIFY(app.ui()->Combo1->toolTip().contains("COM1: connected to RQ-70"));
        QVERIFY2(answerer.boxes.isEmpty(), qPrintable(answerer.boxes.value(0).text));
    }

    // While the found device is out, another device takes its name: neither the monitor nor OK
    // touches it. The found device plugged back in is followed again and updated.
    void aNameTakenByAnotherDeviceIsNotFollowed() {
        App app;
        app.replyTimeoutMs = ShortTimeoutMs;
        Devices devices;
        SimulatedDevice& found = devices.Add(app, 1);
        SimulatedDevice& other = devices.Add(app, 5);
        WriteUpdateFile(app.InFolder("RQ70-PATTERN.KRV"), PatternUpdateHex());
        app.Start();
        MessageBoxAnswerer answerer;
        QTest::mouseClick(app.ui()->AutoDetectCmd, Qt::LeftButton);
        QCOMPARE(SearchLine1(app), QStringLiteral("Successfully connected to COM1"));
        QTRY_COMPARE(app.form->ConnectionStatus(), Connected);

        QVERIFY(found.Signal(SIGUSR1));
        QTRY_COMPARE(app.form->ConnectionStatus(), NotConnected);
        const QString com1 = QDir(app.portFolder.path()).filePath("COM1");
        QTRY_VERIFY(!QFileInfo::exists(com1));
        QVERIFY(QFile::link(other.PtyPath(), com1));
        QSignalSpy ticks(&app.state.link.Timer2, &QTimer::timeout);
        QTRY_VERIFY(ticks.count() >= 3);
        QCOMPARE(app.form->ConnectionStatus(), NotConnected);

        QTest::mouseClick(app.ui()->OK, Qt::LeftButton);
        QCOMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes[0].title, QStringLiteral("Uploader-Error"));
        QVERIFY2(answerer.boxes[0].text.contains("COM1") &&
                     answerer.boxes[0].text.contains("not there any more"),
                 qPrintable(answerer.boxes[0].text));
        QVERIFY(!app.form->UpdateWindows().ResultWindow());

        // Plugged back in: its own link replaces the other device's.
        QVERIFY(QFile::remove(com1));
        QVERIFY(found.Signal(SIGUSR2));
        QTRY_COMPARE(app.form->ConnectionStatus(), Connected);
        QTest::mouseClick(app.ui()->OK, Qt::LeftButton);
        UpdatingCompleteForm* result = app.form->UpdateWindows().ResultWindow();
        QVERIFY(result && result->isVisible());
        QCOMPARE(result->ui->Label1->text(), QStringLiteral("The update was successful."));
        QCOMPARE(answerer.boxes.size(), 1);

        QVERIFY(found.Stop());
        const QString difference = MemoryDifference(found.Dump(), app.state.images);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        QVERIFY(other.Stop());
        for (const SimulatedDevice::LoggedByte& byte : other.Log())
            QVERIFY2(!byte.fromHost, "the device that took the name got a byte");
    }

    // The adapter comes out as a command byte reaches the device, which is then left waiting for
    // that command's parameters when it is plugged back in.
    void updatePulledInEachPhase_data() {
        QTest::addColumn<QString>("pull");
        QTest::newRow("erasing") << "erase:3";
        QTest::newRow("writing program") << "write:5";
        QTest::newRow("writing EEPROM") << "eeprom:7";
    }
    void updatePulledInEachPhase() {
        QFETCH(QString, pull);
        App app;
        app.replyTimeoutMs = ShortTimeoutMs;
        Devices devices;
        SimulatedDevice& device = devices.Add(app, 1, {"--vanish-after", pull});
        WriteUpdateFile(app.InFolder("RQ70-PATTERN.KRV"), PatternUpdateHex());
        app.Start();
        MessageBoxAnswerer answerer;
        QTest::mouseClick(app.ui()->AutoDetectCmd, Qt::LeftButton);
        QTRY_COMPARE(app.form->ConnectionStatus(), Connected);

        QTest::mouseClick(app.ui()->OK, Qt::LeftButton);
        UpdatingCompleteForm* result = app.form->UpdateWindows().ResultWindow();
        QVERIFY(result && result->isVisible());
        QCOMPARE(result->ui->Label1->text(), QStringLiteral("The update was not successful."));
        QVERIFY2(answerer.boxes.isEmpty(), qPrintable(answerer.boxes.value(0).text));
        QTRY_COMPARE(app.form->ConnectionStatus(), NotConnected);

        QVERIFY(device.Signal(SIGUSR2));
        QTRY_COMPARE(app.form->ConnectionStatus(), Connected);
        QTest::mouseClick(app.ui()->AutoDetectCmd, Qt::LeftButton);
        QCOMPARE(SearchLine1(app), QStringLiteral("Successfully connected to COM1"));
        QTest::mouseClick(app.ui()->OK, Qt::LeftButton);
        result = app.form->UpdateWindows().ResultWindow();
        QVERIFY(result && result->isVisible());
        QCOMPARE(result->ui->Label1->text(), QStringLiteral("The update was successful."));
        QCOMPARE(result->ui->Label2->text(), QStringLiteral("RQ-70 Boot 1.0"));
        QVERIFY2(answerer.boxes.isEmpty(), qPrintable(answerer.boxes.value(0).text));

        // Nothing the interrupted command was finished with is left anywhere in the device.
        QVERIFY(device.Stop());
        const QString difference = MemoryDifference(device.Dump(), app.state.images);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }
};

QTEST_MAIN(UnplugTest)
#include "tst_unplug.moc"
