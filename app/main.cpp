// The RQ-70 Updater: loads the update file (beside the executable, or the one named on the command
// line) and writes it into the device.

#include "app/CommandLine.h"
#include "app/MainForm.h"
#include "app/SingleInstance.h"
#include "common/InterruptSignal.h"
#include "common/TerminalText.h"
#include "image/UpdateFileDiscovery.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>

#include <csignal>
#include <cstdio>

int main(int argc, char* argv[]) {
    // A record file that has reached the file-size limit must fail its write, which the record
    // reports and takes back, not end the updater after an update.
    std::signal(SIGXFSZ, SIG_IGN);
    // Before any application object: --help and --version need no display, and the manual pages
    // are made from them where there is none.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const rq70::CommandLine command = rq70::ParseCommandLine(arguments, QStringLiteral(RQ70_VERSION));
    switch (command.action) {
    case rq70::CommandLine::ShowHelp:
    case rq70::CommandLine::ShowVersion:
        std::fputs(qPrintable(command.text), stdout);
        return 0;
    case rq70::CommandLine::WrongArguments:
        // The problem quotes what was typed, which may hold anything.
        std::fprintf(stderr, "rq70-updater: %s\nTry 'rq70-updater --help'.\n",
                     qPrintable(rq70::TerminalSafe(command.text)));
        return rq70::ExitWrongArguments;
    case rq70::CommandLine::Run:
        break;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("rq70-updater"));
    QApplication::setApplicationVersion(QStringLiteral(RQ70_VERSION));
    // The layouts are measured for a small dialog font; 8 pt of the desktop's font would not fit.
    QFont font = QApplication::font();
    font.setPointSizeF(rq70::ApplicationFontPointSize);
    QApplication::setFont(font);

    const std::unique_ptr<QLockFile> instance = rq70::ClaimSingleInstance();
    if (!instance) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Updater-Error"),
                        QStringLiteral("Updater allready running!"), QMessageBox::Ok);
        box.exec();
        return 0;
    }

    // Made before the state, so that it is still there while the port is closed at the end.
    rq70::InterruptSignal interrupt;
    rq70::UpdaterModul state;
    rq70::MainForm mainForm(
        state, QString::fromStdString(rq70::UpdateFileFolder(
                   QCoreApplication::applicationDirPath().toStdString(), QDir::currentPath().toStdString())));
    // Ctrl-C, SIGTERM (a logout, a service manager) and SIGHUP (the terminal it was started from
    // went away) end the program as closing the main window does: a run or search under way stops
    // after its unit, and the port gets its settings back as the program ends. Every message box
    // holds only OK; closed, it lets the procedure that showed it return.
    QObject::connect(&interrupt, &rq70::InterruptSignal::Interrupted, &mainForm, [&mainForm] {
        mainForm.Form_Unload();
        if (QWidget* box = QApplication::activeModalWidget())
            box->close();
    });
    if (!command.updateFile.isEmpty())
        mainForm.NameUpdateFile(command.updateFile);
    mainForm.Form_Load();
    mainForm.show();
    return app.exec();
}
