// "Auto Detect..." and the connection monitor through the real windows (offscreen), against
// simulated devices on pseudo-terminals mapped to COM numbers.

#include "AppFixture.h"
#include "MessageBoxAnswerer.h"
#include "SimulatedDevice.h"

#include "link/BootLoaderBytes.h"
#include "ui_AutoDetectForm.h"
#include "ui_UpdatingCompleteForm.h"

#include <QJsonArray>
#include <QSerialPort>
#include <QTest>

using namespace rq70;

namespace {

// Silent ports cost one reply wait per ping; tests keep it short.
constexpr int ShortTimeoutMs = 100;

int Probes(const SimulatedDevice& device) {
    int probes = 0;
    for (const SimulatedDevice::HostCommand& command : device.HostCommands())
        probes += command.command == ProbeCommand;
    return probes;
}

AutoDetectForm* SearchWindow(const App& app) {
    return app.form->DetectionWindow().Window();
}

} // namespace

class AutoDetectTest : public QObject {
    Q_OBJECT

private slots:
    void deviceOnCom1IsFoundAndWatched() {
        App app;
        Devices devices;
        SimulatedDevice& device = devices.Add(app, 1);
        app.AddPortEntry(2);
        WriteUpdateFile(app.InFolder("RQ70-1.KRV"), ":02020000AAAAxx\r\n");
        app.Start();
        QVERIFY(!app.state.link.MonitorTimerEnabled());

        QTest::mouseClick(app.ui()->AutoDetectCmd, Qt::LeftButton);
        AutoDetectForm* window = SearchWindow(app);
        QVERIFY(window && window->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("Auto Detect Port"));
        QCOMPARE(window->pos(), app.form->pos());
        QCOMPARE(window->ui->Label1->text(), QStringLiteral("Successfully connected to COM1"));
        QCOMPARE(window->ui->Label2->text(), QStringLiteral("Detected RQ-70 Boot 1.0"));
        QVERIFY(window->ui->OKCmd->isVisible());
        QVERIFY(!window->ui->AbortCmd->isVisible());
        QVERIFY(app.ui()->OK->isEnabled());
        QCOMPARE(app.ui()->Combo1->currentText(), QStringLiteral("COM1"));
        QVERIFY(app.state.link.IsOpen());
        QCOMPARE(app.state.link.CommPort(), 1);
        QCOMPARE(Probes(device), 1); // found on the first ping

        // From now on a probe goes out about every 200 ms, and each is answered.
        QTRY_VERIFY(Probes(device) >= 5);
        QCOMPARE(app.form->ConnectionStatus(), QStringLiteral("connected to RQ-70"));
        QVERIFY(app.ui()->Combo1->toolTip().contains("COM1: connected to RQ-70"));
        // The monitor's probes (all but the search's first) come no faster than its 200 ms beat;
        // a late tick may be followed by a quicker one, so only their mean is checked.
        QCOMPARE(app.state.link.Timer2.interval(), 200);
        QList<qint64> probeTimes;
        for (const SimulatedDevice::LoggedByte& byte : device.Log()) {
            if (byte.fromHost && byte.value == ProbeCommand)
                probeTimes << byte.micros;
        }
        const qint64 meanGap = (probeTimes.last() - probeTimes[1]) / (probeTimes.size() - 2);
        QVERIFY2(meanGap >= 150000, qPrintable(QString::number(meanGap)));

        QTest::mouseClick(window->ui->OKCmd, Qt::LeftButton);
        QTRY_VERIFY(!SearchWindow(app));
    }

    void aLateAnswerCountsAsNotConnected() {
        App app;
        Devices devices;
        // 40 ms is in time for the search's wait but not for the monitor's 25 ms pause.
        SimulatedDevice& device = devices.Add(app, 1, {"--delay", "40"});
        app.Start();
        app.form->AutoDetectCmd_Click();
        QCOMPARE(SearchWindow(app)->ui->Label1->text(), QStringLiteral("Successfully connected to COM1"));
        // By the fourth probe the earlier ticks' late answers were in the buffer: the flush threw
        // them away instead of taking them for this tick's answer.
        QTRY_VERIFY(Probes(device) >= 4);
        QCOMPARE(app.form->ConnectionStatus(), QStringLiteral("not connected to RQ-70"));
    }

    void deviceAnsweringOnlyTheSecondPing() {
        App app;
        app.replyTimeoutMs = ShortTimeoutMs;
        Devices devices;
        devices.Add(app, 2, {"--ignore-probes", "1"});
        app.Start();
        app.form->AutoDetectCmd_Click();
        QCOMPARE(SearchWindow(app)->ui->Label1->text(), QStringLiteral("Successfully connected to COM2"));
        QCOMPARE(app.state.link.CommPort(), 2);
    }

    void deviceBeyondTheListedPorts() {
        App app;
        for (int n = 1; n <= 10; ++n)
            app.AddPortEntry(n);
        Devices devices;
        devices.Add(app, 12);
        // Entries linked to /dev/null open but never answer.
        app.replyTimeoutMs = ShortTimeoutMs;
        app.Start();
        app.ui()->Combo1->setCurrentIndex(3);
        app.form->AutoDetectCmd_Click();
        QCOMPARE(SearchWindow(app)->ui->Label1->text(), QStringLiteral("Successfully connected to COM12"));
        QCOMPARE(app.state.link.CommPort(), 12);
        QCOMPARE(app.ui()->Combo1->currentText(), QStringLiteral("COM4")); // the list has no COM12
        QVERIFY(app.ui()->OK->isEnabled());
    }

    void threePortsAndNoDevice() {
        App app;
        app.replyTimeoutMs = ShortTimeoutMs;
        Devices devices;
        for (int n : {2, 5, 7})
            devices.Add(app, n, {"--silent"});
        app.Start();
        app.form->Combo1_Click();
        app.form->AutoDetectCmd_Click();
        QCOMPARE(SearchWindow(app)->ui->Label1->text(), QStringLiteral("not connected."));
        QCOMPARE(SearchWindow(app)->ui->Label2->text(), QStringLiteral("Unable to find a Karvo device."));
        QVERIFY(SearchWindow(app)->ui->OKCmd->isVisible());
        QVERIFY(!app.ui()->OK->isEnabled());
        QVERIFY(!app.state.link.MonitorTimerEnabled());
        QVERIFY(app.state.link.IsOpen());
        QCOMPARE(app.state.link.CommPort(), 7);
        int probes = 0;
        for (auto& device : devices.list) {
            QVERIFY(device->Stop());
            QCOMPARE(device->CommandCount("probe"), 2);
            probes += device->CommandCount("probe");
        }
        QCOMPARE(probes, 6);
        // A port picked by hand afterwards allows the update but leaves the port as it was.
        app.ui()->Combo1->setCurrentIndex(0);
        emit app.ui()->Combo1->activated(0);
        QVERIFY(app.ui()->OK->isEnabled());
        QCOMPARE(app.state.link.CommPort(), 7);
    }

    void noPortAtAll() {
        App app;
        app.Start();
        QStringList seen;
        QTimer watcher;
        connect(&watcher, &QTimer::timeout, [&] {
            if (AutoDetectForm* window = SearchWindow(app))
                seen << window->ui->Label1->text() + "|" + window->ui->Label2->text();
        });
        watcher.start(0);
        app.form->AutoDetectCmd_Click();
        watcher.stop();
        QCOMPARE(SearchWindow(app)->ui->Label1->text(), QString());
        QCOMPARE(SearchWindow(app)->ui->Label2->text(), QString());
        QVERIFY(SearchWindow(app)->ui->OKCmd->isVisible());
        QVERIFY(!SearchWindow(app)->ui->AbortCmd->isVisible());
        QVERIFY(!app.state.link.IsOpen());
        seen.removeDuplicates();
        QVERIFY(seen.size() <= 1);
        if (!seen.isEmpty())
            QCOMPARE(seen.first(), QStringLiteral("Label1|Searching for a Karvo device..."));
    }

    void abortWhilePort2IsPinged() {
        App app;
        app.replyTimeoutMs = 200;
        Devices devices;
        for (int n = 1; n <= 4; ++n)
            devices.Add(app, n, {"--silent"});
        app.Start();
        QTimer aborter;
        connect(&aborter, &QTimer::timeout, [&] {
            AutoDetectForm* window = SearchWindow(app);
            if (window && window->ui->Label1->text() == "Trying COM2.") {
                aborter.stop();
                QTest::mouseClick(window->ui->AbortCmd, Qt::LeftButton);
            }
        });
        aborter.start(1);
        app.form->AutoDetectCmd_Click();
        QCOMPARE(SearchWindow(app)->ui->Label1->text(), QStringLiteral("not connected."));
        QCOMPARE(SearchWindow(app)->ui->Label2->text(), QStringLiteral("Unable to find a Karvo device."));
        QCOMPARE(app.state.link.CommPort(), 2);
        for (auto& device : devices.list)
            QVERIFY(device->Stop());
        QCOMPARE(devices.list[0]->CommandCount("probe"), 2);
        QCOMPARE(devices.list[1]->CommandCount("probe"), 1); // the ping under way when Abort came
        QCOMPARE(devices.list[2]->CommandCount("probe"), 0);
        QCOMPARE(devices.list[3]->CommandCount("probe"), 0);
    }

    void portHeldByAnotherProgram() {
        App app;
        app.replyTimeoutMs = ShortTimeoutMs;
        Devices devices;
        // Another program holds COM2's device itself.
        QSerialPort other(devices.Add(app, 2).PtyPath());
        devices.Add(app, 3);
        QVERIFY(other.open(QIODevice::ReadWrite));
        app.Start();
        MessageBoxAnswerer answerer;
        app.form->AutoDetectCmd_Click();
        QCOMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes[0].title, QStringLiteral("Fehlermeldung"));
        QCOMPARE(answerer.boxes[0].icon, QMessageBox::Warning);
        QCOMPARE(answerer.boxes[0].buttons, QStringList{"OK"});
        QVERIFY2(answerer.boxes[0].text.contains("COM2") && answerer.boxes[0].text.contains("in use"),
                 qPrintable(answerer.boxes[0].text));
        QCOMPARE(SearchWindow(app)->ui->Label1->text(), QStringLiteral("Successfully connected to COM3"));
    }

    void oneLongOperationAtATime() {
        App app;
        app.replyTimeoutMs = 150;
        Devices devices;
        devices.Add(app, 1, {"--silent"});
        SimulatedDevice& device = devices.Add(app, 2);
        app.CopySampleUpdateFile();
        app.Start();
        // While the search waits on COM1, Auto Detect and OK (which the list re-enables) start nothing.
        int attempts = 0;
        QTimer intruder;
        connect(&intruder, &QTimer::timeout, [&] {
            if (app.state.running != LongOperation::Search)
                return;
            intruder.stop();
            ++attempts;
            app.form->Combo1_Click();
            QTest::mouseClick(app.ui()->OK, Qt::LeftButton);
            QTest::mouseClick(app.ui()->AutoDetectCmd, Qt::LeftButton);
        });
        intruder.start(1);
        app.form->AutoDetectCmd_Click();
        QCOMPARE(attempts, 1);
        QVERIFY(!app.form->UpdateWindows().ResultWindow());
        QCOMPARE(SearchWindow(app)->ui->Label1->text(), QStringLiteral("Successfully connected to COM2"));
        QVERIFY(device.Stop());
        QCOMPARE(device.CommandCount("erase"), 0);
    }

    void closingTheSearchWindowDoesNotStopTheSearch() {
        App app;
        app.replyTimeoutMs = ShortTimeoutMs;
        Devices devices;
        devices.Add(app, 1, {"--silent"});
        devices.Add(app, 2);
        app.Start();
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            if (AutoDetectForm* window = SearchWindow(app)) {
                closer.stop();
                window->close();
            }
        });
        closer.start(1);
        app.form->AutoDetectCmd_Click();
        QVERIFY(!SearchWindow(app));
        QCOMPARE(app.state.link.CommPort(), 2);
        QVERIFY(app.ui()->OK->isEnabled());
        QVERIFY(app.state.link.MonitorTimerEnabled());
    }

    void closingTheMainWindowDuringASearchEndsCleanly() {
        App app;
        app.replyTimeoutMs = 200;
        Devices devices;
        for (int n = 1; n <= 3; ++n)
            devices.Add(app, n, {"--silent"});
        app.Start();
        QTimer::singleShot(50, app.form.get(), [&] { app.form->close(); });
        app.form->AutoDetectCmd_Click();
        QVERIFY(!app.form->isVisible());
        QTRY_VERIFY(!SearchWindow(app));
        QCOMPARE(app.state.running, LongOperation::None);
        // The close asked the search to stop: it ended before reaching the last port.
        for (auto& device : devices.list)
            QVERIFY(device->Stop());
        QCOMPARE(devices.list[2]->CommandCount("probe"), 0);
    }

    void theWholeRoad() {
        App app;
        Devices devices;
        SimulatedDevice& device = devices.Add(app, 1, {"--exit-after-finish"});
        app.CopySampleUpdateFile();
        app.Start();

        QTest::mouseClick(app.ui()->AutoDetectCmd, Qt::LeftButton);
        QTest::mouseClick(SearchWindow(app)->ui->OKCmd, Qt::LeftButton);
        QTRY_VERIFY(!SearchWindow(app));
        // Let the monitor run a little, so its probes surround the update; OK is pressed right
        // after a tick has read its answer, as a technician's click lands between two ticks.
        QTRY_VERIFY(Probes(device) >= 3);
        bool pressed = false;
        const QMetaObject::Connection afterTick = connect(&app.state.link.Timer2, &QTimer::timeout, [&] {
            if (pressed || app.form->ConnectionStatus() != "connected to RQ-70")
                return;
            pressed = true;
            QTimer::singleShot(0, [&] { QTest::mouseClick(app.ui()->OK, Qt::LeftButton); });
        });
        QTRY_VERIFY(app.form->UpdateWindows().ResultWindow());
        disconnect(afterTick);

        UpdatingCompleteForm* result = app.form->UpdateWindows().ResultWindow();
        QVERIFY(result);
        QCOMPARE(result->ui->Label1->text(), QStringLiteral("The update was successful."));
        QCOMPARE(result->ui->Label2->text(), QStringLiteral("RQ-70 Boot 1.0"));
        QVERIFY(!app.state.link.MonitorTimerEnabled());
        QVERIFY(device.WaitForExit());

        // The device holds the file from word 256 up, and no probe landed inside the update.
        const QString difference = MemoryDifference(device.Dump(), app.state.images);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        const QList<SimulatedDevice::HostCommand> commands = device.HostCommands();
        qsizetype first = -1;
        for (qsizetype i = 0; i < commands.size(); ++i) {
            if (commands[i].command == EraseRowCommand && first < 0)
                first = i;
            if (first >= 0)
                QVERIFY2(commands[i].command != ProbeCommand, qPrintable(QString::number(i)));
        }
        QVERIFY(first > 0);
        QCOMPARE(commands.last().command, int(FinishCommand));
    }
};

QTEST_MAIN(AutoDetectTest)
#include "tst_autodetect.moc"
