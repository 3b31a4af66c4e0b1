// The application shell through its real windows (offscreen): start-up, the right button, the
// About window, shutdown, and updates started with OK against a simulated device.

#include "AppFixture.h"
#include "MessageBoxAnswerer.h"
#include "OpenFilesAsNobody.h"
#include "SimulatedDevice.h"

#include "app/MainForm.h"
#include "app/SingleInstance.h"
#include "image/ScrambledFile.h"
#include "image/ShortenPath.h"
#include "ui_InfoForm.h"
#include "ui_MainForm.h"
#include "ui_UpdatingCompleteForm.h"
#include "ui_UpdatingForm.h"

#include <QCryptographicHash>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLineEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace rq70;

namespace {

// Receives what the About window hands to the desktop instead of a browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened << url; }
};

QColor TextColor(const QWidget* widget) {
    return widget->palette().color(QPalette::WindowText);
}

QByteArray ContentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class MainFormTest : public QObject {
    Q_OBJECT

private slots:
    void startUpWithTheUpdateFileAndTwoPorts() {
        App app;
        app.AddPortEntry(3);
        app.AddPortEntry(10);
        WriteUpdateFile(app.InFolder("RQ70-0112.KRV"), ":0402000001020304xx\r\n");
        WriteUpdateFile(app.InFolder("rq70-0200.krv"), ":0402000005060708xx\r\n");
        WriteUpdateFile(app.InFolder("RQ70-0300.KRV"), ":0402000005060708xx\r\n");
        app.Start();

        QCOMPARE(app.ui()->Combo1->count(), 2);
        QCOMPARE(app.ui()->Combo1->itemText(0), QStringLiteral("COM3"));
        QCOMPARE(app.ui()->Combo1->itemText(1), QStringLiteral("COM10"));
        QCOMPARE(app.ui()->Combo1->currentText(), QStringLiteral("COM3"));
        QCOMPARE(app.ui()->Combo1->itemData(1, Qt::ToolTipRole).toString(),
                 QDir(app.portFolder.path()).filePath("COM10"));
        QVERIFY(!app.ui()->OK->isEnabled());
        QVERIFY(app.ui()->Combo1->isEnabled());
        QVERIFY(app.ui()->AutoDetectCmd->isEnabled());

        QCOMPARE(app.form->UpdateFilePath, app.InFolder("RQ70-0112.KRV"));
        QCOMPARE(app.ui()->Label1->text(),
                 QString::fromStdString(ShortenPath(app.InFolder("RQ70-0112.KRV").toStdString(), 40)));
        QVERIFY(app.ui()->Label1->font().bold());
        QCOMPARE(TextColor(app.ui()->Label1), QColor(0, 192, 0));
        // The shortened path's tooltip gives it whole and names the files passed over.
        QCOMPARE(app.ui()->Label1->toolTip(),
                 app.InFolder("RQ70-0112.KRV") +
                     "\nPassed over (only the first by name is loaded): RQ70-0300.KRV, rq70-0200.krv");
        QCOMPARE(app.ui()->Label0->text(),
                 QStringLiteral(
                     "Connect your Karvo product to an available serial port and specify that port below."));
        QCOMPARE(app.state.images.LowByte(0x100), 0x01);
        QCOMPARE(app.state.images.HighByte(0x101), 0x04);
        // Nothing is opened or probed at start.
        QVERIFY(!app.state.link.IsOpen());
        QVERIFY(!app.state.link.MonitorTimerEnabled());
    }

    // A pipe or a gigabyte under the update file's name: start-up neither waits for a writer nor
    // reads a gigabyte, and says why nothing can be written.
    void startUpWithAnUnusableUpdateFile_data() {
        QTest::addColumn<bool>("pipe");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("why");
        QTest::newRow("named pipe") << true << "Update File not found!"
                                    << "No file RQ70*.KRV in";
        QTest::newRow("a gigabyte") << false << "Update File too large!"
                                    << "too large";
    }

    void startUpWithAnUnusableUpdateFile() {
        QFETCH(bool, pipe);
        QFETCH(QString, status);
        QFETCH(QString, why);
        App app;
        const QString path = app.InFolder("RQ70X.KRV");
        if (pipe) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(1) << 30));
        }
        app.Start();
        QCOMPARE(app.ui()->Label1->text(), status);
        QCOMPARE(TextColor(app.ui()->Label1), QColor(255, 0, 0));
        QVERIFY(app.ui()->Label1->toolTip().contains(why));
        QVERIFY(!app.ui()->Combo1->isEnabled());
        QVERIFY(!app.ui()->AutoDetectCmd->isEnabled());
    }

    // A file that is there but cannot be read would load as an empty one, and OK would then erase
    // the EEPROM and call that a success: it is refused, and the tooltip says why.
    void startUpWithAnUpdateFileThatCannotBeRead_data() {
        QTest::addColumn<bool>("noPermission");
        QTest::addColumn<QString>("why");
        QTest::newRow("no permission to read it") << true << "Permission denied";
        // Reading the process's own memory from address 0 fails as a failing disk does, for root too.
        QTest::newRow("a read that fails") << false << "Input/output error";
    }
    void startUpWithAnUpdateFileThatCannotBeRead() {
        QFETCH(bool, noPermission);
        QFETCH(QString, why);
        App app;
        app.AddPortEntry(1);
        const QString path = app.InFolder("RQ70X.KRV");
        if (noPermission) {
            WriteUpdateFile(path, PatternUpdateHex());
            QVERIFY(QFile::setPermissions(path, {}));
            // Nobody may look into the program folder, as an ordinary user may look into theirs.
            QVERIFY(
                QFile::setPermissions(app.programFolder.path(), QFile::permissions(app.programFolder.path()) |
                                                                    QFile::ReadOther | QFile::ExeOther));
            OpenFilesAsNobody nobody;
            app.Start();
        } else {
            QVERIFY(QFile::link("/proc/self/mem", path));
            app.Start();
        }
        QCOMPARE(app.form->UpdateFilePath, path);
        QCOMPARE(app.ui()->Label1->text(), QStringLiteral("Update File cannot be read!"));
        QVERIFY(app.ui()->Label1->font().bold());
        QCOMPARE(TextColor(app.ui()->Label1), QColor(255, 0, 0));
        QCOMPARE(app.ui()->Label1->toolTip(), "Cannot read " + path + ": " + why);
        QVERIFY(!app.ui()->Combo1->isEnabled());
        QVERIFY(!app.ui()->AutoDetectCmd->isEnabled());
        QVERIFY(!app.ui()->OK->isEnabled());
        QVERIFY(app.state.images.IsErasedWord(256));
        QCOMPARE(app.state.images.EepromByte(0), 0xFF);
    }

    void startUpWithoutAnUpdateFile() {
        App app;
        WriteUpdateFile(app.InFolder("RQ70.HEX"), ":0400000001020304xx\r\n");
        WriteUpdateFile(app.InFolder("RQ71.KRV"), ":0400000001020304xx\r\n");
        app.Start();
        QCOMPARE(app.ui()->Label1->text(), QStringLiteral("Update File not found!"));
        QVERIFY(app.ui()->Label1->font().bold());
        QCOMPARE(TextColor(app.ui()->Label1), QColor(255, 0, 0));
        QCOMPARE(app.ui()->Label1->toolTip(), "No file RQ70*.KRV in " + app.programFolder.path());
        QVERIFY(!app.ui()->Combo1->isEnabled());
        QVERIFY(!app.ui()->AutoDetectCmd->isEnabled());
        QVERIFY(!app.ui()->OK->isEnabled());
        // No port at all: the list stays empty and shows its design text.
        QCOMPARE(app.ui()->Combo1->count(), 0);
        QCOMPARE(app.ui()->Combo1->currentText(), QStringLiteral("Combo1"));
        QVERIFY(app.state.images.IsErasedWord(0));
        QCOMPARE(app.state.images.HighestProgramWord, 0);
    }

    void aNamedUpdateFileIsLoadedInsteadOfTheSearch() {
        App app;
        app.AddPortEntry(1);
        // The folder's own update file is passed over for the one the command line names, which
        // may have any name; a relative name is taken from the working folder.
        WriteUpdateFile(app.InFolder("RQ70-0100.KRV"), ":0402000009090909xx\r\n");
        QTemporaryDir elsewhere;
        const QString named = QDir(elsewhere.path()).filePath("firmware 2.krv");
        WriteUpdateFile(named, ":0402000001020304xx\r\n");
        const QString started = QDir::currentPath();
        QVERIFY(QDir::setCurrent(elsewhere.path()));
        app.Start("firmware 2.krv");
        QDir::setCurrent(started);

        QCOMPARE(app.form->UpdateFilePath, named);
        QCOMPARE(app.ui()->Label1->text(), QString::fromStdString(ShortenPath(named.toStdString(), 40)));
        QCOMPARE(TextColor(app.ui()->Label1), QColor(0, 192, 0));
        QCOMPARE(app.ui()->Label1->toolTip(), named);
        QCOMPARE(app.state.images.LowByte(0x100), 0x01);
        QCOMPARE(app.state.images.HighByte(0x101), 0x04);
        QVERIFY(app.ui()->Combo1->isEnabled());
        QVERIFY(app.ui()->AutoDetectCmd->isEnabled());
    }

    void aNamedUpdateFileThatCannotBeLoaded_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("problem");
        QTest::newRow("missing") << "RQ70-GONE.KRV"
                                 << "no such file";
        QTest::newRow("a folder") << "RQ70-DIR.KRV"
                                  << "not a file";
    }
    void aNamedUpdateFileThatCannotBeLoaded() {
        QFETCH(QString, name);
        QFETCH(QString, problem);
        App app;
        app.AddPortEntry(1);
        // An update file in the program folder is no stand-in for the one named.
        WriteUpdateFile(app.InFolder("RQ70-0100.KRV"), ":0402000009090909xx\r\n");
        QDir(app.programFolder.path()).mkdir("RQ70-DIR.KRV");
        app.Start(app.InFolder(name));
        QCOMPARE(app.ui()->Label1->text(), QStringLiteral("Update File not found!"));
        QCOMPARE(TextColor(app.ui()->Label1), QColor(255, 0, 0));
        QCOMPARE(app.ui()->Label1->toolTip(), "Cannot load " + app.InFolder(name) + ": " + problem);
        QVERIFY(!app.ui()->Combo1->isEnabled());
        QVERIFY(!app.ui()->AutoDetectCmd->isEnabled());
        QVERIFY(!app.ui()->OK->isEnabled());
        QVERIFY(app.state.images.IsErasedWord(0x100));
    }

    void unsupportedRecordTypesAreShownInOrder() {
        App app;
        WriteUpdateFile(app.InFolder("RQ70-0112.KRV"),
                        ":00000003FD\r\n:0402000001020304xx\r\n:00000005FB\r\n");
        MessageBoxAnswerer answerer;
        app.Start();
        QCOMPARE(answerer.boxes.size(), 2);
        for (const MessageBoxAnswerer::Box& box : answerer.boxes) {
            QCOMPARE(box.title, QStringLiteral("Updater RQ-70"));
            QCOMPARE(box.icon, QMessageBox::NoIcon);
            QCOMPARE(box.buttons, QStringList{"OK"});
        }
        QCOMPARE(answerer.boxes[0].text, QStringLiteral("## Error in Hex-File, type: 3"));
        QCOMPARE(answerer.boxes[1].text, QStringLiteral("## Error in Hex-File, type: 5"));
        QCOMPARE(app.state.images.LowByte(0x100), 0x01);
    }

    void rightButtonOpensTheAboutWindow() {
        App app;
        app.AddPortEntry(1);
        app.Start();
        QSignalSpy autoDetect(app.ui()->AutoDetectCmd, &QPushButton::clicked);
        QSignalSpy cancel(app.ui()->Cancel, &QPushButton::clicked);
        const QList<QWidget*> targets = {app.form.get(),   app.ui()->Label0,        app.ui()->Label1,
                                         app.ui()->Label3, app.ui()->AutoDetectCmd, app.ui()->OK,
                                         app.ui()->Cancel};
        for (QWidget* target : targets) {
            const QPoint point = target == app.form.get() ? QPoint(300, 40) : QPoint(5, 5);
            QTest::mouseClick(target, Qt::MiddleButton, {}, point);
            QVERIFY2(!app.form->Info(), qPrintable(target->objectName()));
            QTest::mouseClick(target, Qt::RightButton, {}, point);
            QVERIFY2(app.form->Info() && app.form->Info()->isVisible(), qPrintable(target->objectName()));
            app.form->Info()->close();
            QTRY_VERIFY(!app.form->Info());
        }
        // Left presses on the window and its labels do nothing either.
        QTest::mouseClick(app.form.get(), Qt::LeftButton, {}, QPoint(300, 40));
        QTest::mouseClick(app.ui()->Label0, Qt::LeftButton);
        QVERIFY(!app.form->Info());
        // The right button pressed no button and ended nothing.
        QCOMPARE(autoDetect.count(), 0);
        QCOMPARE(cancel.count(), 0);
        QVERIFY(app.form->isVisible());

        // The port list keeps the right button to itself.
        QTest::mouseClick(app.ui()->Combo1, Qt::RightButton, {}, QPoint(app.ui()->Combo1->width() - 5, 5));
        QTest::mouseClick(app.ui()->Combo1->lineEdit(), Qt::RightButton);
        QVERIFY(!app.form->Info());
    }

    void noDefaultOrCancelButton() {
        App app;
        app.AddPortEntry(1);
        app.Start();
        app.form->Combo1_Click();
        QVERIFY(app.ui()->OK->isEnabled());
        QSignalSpy ok(app.ui()->OK, &QPushButton::clicked);
        app.ui()->Combo1->setFocus();
        QTest::keyClick(app.form.get(), Qt::Key_Return);
        QTest::keyClick(app.form.get(), Qt::Key_Escape);
        QCOMPARE(ok.count(), 0);
        QVERIFY(app.form->isVisible());
    }

    void aboutWindowIsSingleAndFollowsTheMainWindow() {
        App app;
        app.Start();
        app.form->move(120, 90);
        app.form->ShowInfoForm();
        InfoForm* info = app.form->Info();
        QCOMPARE(info->pos(), app.form->pos());
        QCOMPARE(info->ui->Label1->text(), QStringLiteral("Updater Version 1.0a"));
        QCOMPARE(info->ui->Label3->text(), QString::fromUtf8(ShopAddress));
        QCOMPARE(info->ui->Label3->cursor().hotSpot(), QPoint(12, 1));
        QCOMPARE(info->ui->picIcon->pixmap().size(), QSize(32, 32));
        QVERIFY(!info->windowIcon().isNull());
        QVERIFY(info->windowFlags() & Qt::Dialog);

        // Shown again where it is, even after the main window moved.
        app.form->move(200, 150);
        app.form->ShowInfoForm();
        QCOMPARE(app.form->Info(), info);
        QCOMPARE(info->pos(), QPoint(120, 90));

        // Every click on the address opens it once, without waiting for the browser.
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("http", &catcher, "Open");
        QTest::mouseClick(info->ui->Label3, Qt::LeftButton);
        QTest::mouseClick(info->ui->Label3, Qt::LeftButton);
        QDesktopServices::unsetUrlHandler("http");
        const QUrl shop(QStringLiteral("http://shop.karvo.example"));
        QCOMPARE(catcher.opened, (QList<QUrl>{shop, shop}));

        // Esc presses OK; the next showing lies over the main window again.
        QTest::keyClick(info, Qt::Key_Escape);
        QTRY_VERIFY(!app.form->Info());
        app.form->ShowInfoForm();
        QCOMPARE(app.form->Info()->pos(), QPoint(200, 150));
        QTest::keyClick(app.form->Info(), Qt::Key_Return);
        QTRY_VERIFY(!app.form->Info());
    }

    void cancelClosesEveryWindow() {
        App app;
        app.Start();
        app.form->ShowInfoForm();
        app.form->UpdateWindows().ShowResultWindow();
        app.form->UpdateWindows().ShowProgressWindow();
        QVERIFY(app.form->UpdateWindows().ResultWindow()->isVisible());
        QTest::mouseClick(app.ui()->Cancel, Qt::LeftButton);
        QVERIFY(!app.form->isVisible());
        QTRY_VERIFY(!app.form->Info());
        QTRY_VERIFY(!app.form->UpdateWindows().ResultWindow());
        QTRY_VERIFY(!app.form->UpdateWindows().ProgressWindow());
    }

    void closingTheResultWindowEndsTheProgram() {
        App app;
        app.Start();
        app.form->ShowInfoForm();
        app.form->UpdateWindows().ShowResultWindow();
        QTest::mouseClick(app.form->UpdateWindows().ResultWindow()->ui->OKCmd, Qt::LeftButton);
        QVERIFY(!app.form->isVisible());
        QTRY_VERIFY(!app.form->Info());
        QTRY_VERIFY(!app.form->UpdateWindows().ResultWindow());
    }

    void wholeUpdateThroughOK() {
        SimulatedDevice device;
        App app;
        QVERIFY(device.Start(1, {"--exit-after-finish"}, app.portFolder.path()));
        app.CopySampleUpdateFile();
        app.Start();
        // The technician picks COM1 in the list; that alone opens nothing.
        app.ui()->Combo1->setCurrentIndex(0);
        emit app.ui()->Combo1->activated(0);
        QVERIFY(app.ui()->OK->isEnabled());
        QVERIFY(!app.state.link.IsOpen());

        // Watch the bar's colour while the run goes on.
        QStringList colours;
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, [&] {
            if (UpdatingForm* progress = app.form->UpdateWindows().ProgressWindow()) {
                const QString sheet = progress->ui->UpdatingBar->styleSheet();
                if (colours.isEmpty() || colours.last() != sheet)
                    colours << sheet;
            }
        });
        sampler.start(1);
        QTest::mouseClick(app.ui()->OK, Qt::LeftButton);
        sampler.stop();

        UpdatingCompleteForm* result = app.form->UpdateWindows().ResultWindow();
        QVERIFY(result && result->isVisible());
        QCOMPARE(result->windowTitle(), QStringLiteral("Updating Complete"));
        QCOMPARE(result->ui->Label1->text(), QStringLiteral("The update was successful."));
        QCOMPARE(result->ui->Label2->text(), QStringLiteral("RQ-70 Boot 1.0"));
        QCOMPARE(result->pos(), app.form->pos());
        QTRY_VERIFY(!app.form->UpdateWindows().ProgressWindow());
        QVERIFY(!app.state.link.MonitorTimerEnabled());
        QVERIFY(colours.filter("#ffff00").size() == 1 && colours.filter("#6495ed").size() == 1);
        QVERIFY(colours.indexOf(colours.filter("#ffff00").first()) <
                colours.indexOf(colours.filter("#6495ed").first()));

        QVERIFY(device.WaitForExit());
        QVERIFY(device.Dump().value("finish_seen").toBool());
        QCOMPARE(device.CommandCount("eeprom"), 256);
    }

    // The file beside the program is replaced between start-up and OK: the device gets what was
    // loaded, and the record describes exactly those bytes, not what lies under the path by then.
    void theRecordDescribesTheBytesThatWereLoaded() {
        SimulatedDevice device;
        App app;
        QVERIFY(device.Start(1, {"--exit-after-finish"}, app.portFolder.path()));
        const QString path = app.InFolder("RQ70-PATTERN.KRV");
        WriteUpdateFile(path, PatternUpdateHex());
        const QByteArray loaded = ContentOf(path);
        app.Start();
        const FirmwareImages images = app.state.images;
        QCOMPARE(images.HighestProgramWord, PatternLastWord);
        WriteUpdateFile(path, ":0402000001020304xx\r\n");
        QVERIFY(ContentOf(path) != loaded);

        app.form->Combo1_Click();
        app.form->OK_Click();
        QCOMPARE(app.form->UpdateWindows().ResultWindow()->ui->Label1->text(),
                 QStringLiteral("The update was successful."));
        QVERIFY(device.WaitForExit());
        const QString difference = MemoryDifference(device.Dump(), images);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));

        const QList<QByteArray> lines = ContentOf(app.recordPath).split('\n');
        QCOMPARE(lines.size(), qsizetype(2));
        const QJsonObject record = QJsonDocument::fromJson(lines.first()).object();
        QCOMPARE(record.value("update_file").toString(), path);
        QCOMPARE(record.value("update_file_size").toInteger(), loaded.size());
        QCOMPARE(record.value("update_file_sha256").toString(),
                 QString::fromLatin1(QCryptographicHash::hash(loaded, QCryptographicHash::Sha256).toHex()));
        QCOMPARE(record.value("highest_program_word").toInt(), PatternLastWord);
    }

    void failedUpdateLeavesTheIdentificationEmpty() {
        SimulatedDevice device;
        App app;
        QVERIFY(device.Start(1, {"--nak", "write"}, app.portFolder.path()));
        app.CopySampleUpdateFile();
        app.Start();
        app.form->Combo1_Click();
        app.form->OK_Click();
        UpdatingCompleteForm* result = app.form->UpdateWindows().ResultWindow();
        QVERIFY(result);
        QCOMPARE(result->ui->Label1->text(), QStringLiteral("The update was not successful."));
        QCOMPARE(result->ui->Label2->text(), QString());
        QVERIFY(app.state.link.MonitorTimerEnabled());
        // A second run ends in the same result window, not a new one, and keeps its second line.
        result->ui->Label2->setText("kept");
        app.form->OK_Click();
        QCOMPARE(app.form->UpdateWindows().ResultWindow(), result);
        QCOMPARE(result->ui->Label2->text(), QStringLiteral("kept"));
    }

    void closingTheResultWindowWhileTheTextIsReadStillFinishes() {
        SimulatedDevice device;
        App app;
        // Slow replies keep the run inside the identification query for a while.
        QVERIFY(device.Start(1, {"--exit-after-finish", "--delay", "5"}, app.portFolder.path()));
        WriteUpdateFile(app.InFolder("RQ70-1.KRV"), ":02020000AAAAxx\r\n");
        app.Start();
        app.form->Combo1_Click();
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            UpdatingCompleteForm* result = app.form->UpdateWindows().ResultWindow();
            if (result && result->isVisible()) {
                closer.stop();
                result->ui->OKCmd->click();
            }
        });
        closer.start(1);
        app.form->OK_Click();
        QVERIFY(!app.form->isVisible());
        QTRY_VERIFY(!app.form->UpdateWindows().ResultWindow());
        QVERIFY(device.WaitForExit());
        QVERIFY(device.Dump().value("finish_seen").toBool());
    }

    void closingTheMainWindowDuringARunStopsIt() {
        SimulatedDevice device;
        App app;
        QVERIFY(device.Start(1, {"--delay", "2"}, app.portFolder.path()));
        app.CopySampleUpdateFile();
        app.Start();
        app.form->Combo1_Click();
        QTimer::singleShot(100, app.form.get(), [&] { app.form->close(); });
        app.form->OK_Click();
        QVERIFY(!app.form->isVisible());
        QCOMPARE(app.state.running, LongOperation::None);
        QTRY_VERIFY(!app.form->UpdateWindows().ProgressWindow());
        QVERIFY(!app.form->UpdateWindows().ResultWindow());
        QVERIFY(device.Stop());
        QVERIFY(!device.Dump().value("finish_seen").toBool());
        QVERIFY(device.CommandCount("eeprom") == 0);
    }

    void oneUpdaterAtATime() {
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        std::unique_ptr<QLockFile> first = ClaimSingleInstance();
        QVERIFY(first);
        QVERIFY(!ClaimSingleInstance());
        first.reset();
        QVERIFY(ClaimSingleInstance());

        // A lock left behind by an updater that crashed names a process that is gone.
        QProcess gone;
        gone.start("true");
        QVERIFY(gone.waitForStarted());
        const qint64 gonePid = gone.processId();
        QVERIFY(gone.waitForFinished());
        const QString lockPath = QDir(runtime.path()).filePath("rq70-updater.lock");
        {
            std::unique_ptr<QLockFile> held = ClaimSingleInstance();
            QVERIFY(held);
            QFile file(lockPath);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QList<QByteArray> lines = file.readAll().split('\n');
            file.close();
            lines[0] = QByteArray::number(gonePid);
            held->unlock();
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(lines.join('\n'));
        }
        QVERIFY(QFile::exists(lockPath));
        QVERIFY(ClaimSingleInstance());
        qunsetenv("XDG_RUNTIME_DIR");
    }

    void closingTheProgressWindowDoesNotStopTheRun() {
        SimulatedDevice device;
        App app;
        QVERIFY(device.Start(1, {"--delay", "1"}, app.portFolder.path()));
        WriteUpdateFile(app.InFolder("RQ70-1.KRV"), ":02080000AAAAxx\r\n");
        app.Start();
        app.form->Combo1_Click();
        bool closed = false;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            UpdatingForm* progress = app.form->UpdateWindows().ProgressWindow();
            if (!closed && progress && progress->isVisible()) {
                closed = true;
                progress->close();
            }
        });
        closer.start(1);
        app.form->OK_Click();
        QVERIFY(closed);
        QCOMPARE(app.form->UpdateWindows().ResultWindow()->ui->Label1->text(),
                 QStringLiteral("The update was successful."));
    }
};

QTEST_MAIN(MainFormTest)
#include "tst_mainform.moc"
