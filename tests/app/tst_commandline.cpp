// The updater's command line and where it looks for the update file: the parser, the rule for the
// installed program, and the built program itself without a display.

#include "app/CommandLine.h"
#include "app/SingleInstance.h"
#include "image/UpdateFileDiscovery.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace rq70;

class CommandLineTest : public QObject {
    Q_OBJECT

private slots:
    void parse_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("action");
        QTest::addColumn<QString>("updateFile");
        QTest::addColumn<QString>("text"); // a part of the text
        QTest::newRow("nothing") << QStringList{} << int(CommandLine::Run) << ""
                                 << "";
        QTest::newRow("a file") << QStringList{"../RQ70 new.KRV"} << int(CommandLine::Run)
                                << "../RQ70 new.KRV"
                                << "";
        QTest::newRow("a file like an option")
            << QStringList{"--", "-x.krv"} << int(CommandLine::Run) << "-x.krv"
            << "";
        QTest::newRow("help") << QStringList{"--help"} << int(CommandLine::ShowHelp) << ""
                              << "Usage: rq70-updater [options] [FILE.KRV]\n";
        QTest::newRow("help beside an unknown option")
            << QStringList{"a.krv", "-h", "--bogus"} << int(CommandLine::WrongArguments) << ""
            << "Unknown option 'bogus'.";
        QTest::newRow("version") << QStringList{"-v"} << int(CommandLine::ShowVersion) << ""
                                 << "rq70-updater 9.8.7\n";
        QTest::newRow("unknown") << QStringList{"--bogus"} << int(CommandLine::WrongArguments) << ""
                                 << "Unknown option 'bogus'.";
        // Qt's own window options are not taken either, and one of them is one unknown option.
        QTest::newRow("qt option") << QStringList{"-platform", "xcb"} << int(CommandLine::WrongArguments)
                                   << ""
                                   << "Unknown option 'platform'.";
        QTest::newRow("two files") << QStringList{"a.krv", "b.krv"} << int(CommandLine::WrongArguments) << ""
                                   << "only one update file";
    }
    void parse() {
        QFETCH(QStringList, arguments);
        QFETCH(int, action);
        QFETCH(QString, updateFile);
        QFETCH(QString, text);
        const CommandLine command =
            ParseCommandLine(QStringList{"/opt/x/rq70-updater"} + arguments, QStringLiteral("9.8.7"));
        QCOMPARE(int(command.action), action);
        QCOMPARE(command.updateFile, updateFile);
        QVERIFY2(command.text.contains(text), qPrintable(command.text));
    }

    void helpStatesWhereTheFileIsLookedFor() {
        const QString help = ParseCommandLine({"rq70-updater", "--help"}, "1").text;
        for (const char* folder : {"/usr/bin", "/usr/local/bin", "/bin"})
            QVERIFY2(help.contains(QLatin1String(folder)), folder);
        QVERIFY(help.contains("current working folder"));
    }

    void theInstalledUpdaterLooksInTheWorkingFolder_data() {
        QTest::addColumn<QString>("programFolder");
        QTest::addColumn<bool>("system");
        QTest::newRow("/usr/bin") << "/usr/bin" << true;
        QTest::newRow("/usr/local/bin/") << "/usr/local/bin/" << true;
        QTest::newRow("/bin") << "/bin" << true;
        QTest::newRow("/usr/lib/../bin") << "/usr/lib/../bin" << true;
        QTest::newRow("a copy in a folder of its own") << "/home/tech/rq70" << false;
        QTest::newRow("below /usr/bin") << "/usr/bin/rq70" << false;
        QTest::newRow("/usr/sbin") << "/usr/sbin" << false;
        QTest::newRow("the root") << "/" << false;
    }
    void theInstalledUpdaterLooksInTheWorkingFolder() {
        QFETCH(QString, programFolder);
        QFETCH(bool, system);
        QCOMPARE(IsSystemFolder(programFolder.toStdString()), system);
        QCOMPARE(QString::fromStdString(UpdateFileFolder(programFolder.toStdString(), "/home/tech/job")),
                 system ? "/home/tech/job" : programFolder);
    }

    // The built program answers without a display (the manual pages are made that way), even
    // while another updater runs.
    void theProgramAnswersWithoutADisplay() {
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        const std::unique_ptr<QLockFile> running = ClaimSingleInstance();
        QVERIFY(running);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            environment.remove(name);

        struct Case {
            QStringList arguments;
            int status;
            QByteArray out, err; // a part of each
        };
        const Case cases[] = {
            {{"--version"}, 0, "rq70-updater " RQ70_VERSION "\n", ""},
            {{"--help"}, 0, "[FILE.KRV]", ""},
            {{"--bogus"}, 2, "", "rq70-updater: Unknown option 'bogus'.\nTry 'rq70-updater --help'.\n"},
        };
        for (const Case& c : cases) {
            QProcess program;
            program.setProcessEnvironment(environment);
            program.start(RQ70_UPDATER_PATH, c.arguments);
            QVERIFY(program.waitForFinished(30000));
            const QByteArray out = program.readAllStandardOutput(), err = program.readAllStandardError();
            QCOMPARE(program.exitStatus(), QProcess::NormalExit);
            QCOMPARE(program.exitCode(), c.status);
            QVERIFY2(c.status == 0 ? out.contains(c.out) : out.isEmpty(), out.constData());
            QVERIFY2(c.err.isEmpty() ? err.isEmpty() : err == c.err, err.constData());
        }
        qunsetenv("XDG_RUNTIME_DIR");
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_commandline.moc"
