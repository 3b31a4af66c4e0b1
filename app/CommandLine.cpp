#include "app/CommandLine.h"
#include "common/CommandLine.h"

#include <QCommandLineParser>

namespace rq70 {

namespace {

constexpr const char* Description =
    R"(Brings new firmware into a Karvo RQ-70 device over a serial port: loads the
update file, finds the device's boot loader ("Auto Detect..."), and erases,
writes and verifies the device when OK is pressed.

The update file: without FILE.KRV the updater loads the first file named
RQ70*.KRV (letter case ignored, first by name) in the folder that holds its
executable. When that folder is /usr/bin, /usr/local/bin or /bin, as for the
installed updater, it looks in the current working folder instead. FILE.KRV
names the file to load, under any name, in place of that search.

Ports: COM1, COM2, ... are the serial ports the system reports (/dev/ttyS*, then
/dev/ttyUSB*, /dev/ttyACM* and the rest); with RQ70_PORT_DIR set, COMn is the
entry COMn of that folder. Every update is recorded as one JSON line in
$XDG_STATE_HOME/rq70-updater/updates.jsonl (~/.local/state/... when unset), or
in the file RQ70_UPDATE_RECORD names.

Signals: SIGINT (Ctrl-C), SIGTERM and SIGHUP (the terminal it was started
from went away) end the updater as closing its main window does: an update
under way stops after the row, block or EEPROM byte under way, and the port
gets back the settings the updater changed. One that the updater was started
with ignored (nohup) stays ignored.

Exit status: 0 when the windows are closed (or for --help and --version), 2 for
wrong arguments.)";

} // namespace

CommandLine ParseCommandLine(const QStringList& arguments, const QString& version) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(Description));
    // "-platform" is one unknown option, not the seven letters p, l, a, ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Displays this help and exits."));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("Displays the version and exits."));
    parser.addOptions({helpOption, versionOption});
    parser.addPositionalArgument(QStringLiteral("FILE.KRV"),
                                 QStringLiteral("The update file to load instead of searching for one."),
                                 QStringLiteral("[FILE.KRV]"));

    CommandLine result;
    if (!parser.parse(arguments)) {
        result.action = CommandLine::WrongArguments;
        result.text = parser.errorText();
        return result;
    }
    if (parser.isSet(helpOption)) {
        result.action = CommandLine::ShowHelp;
        result.text = HelpText(parser, QStringLiteral("rq70-updater"));
        return result;
    }
    if (parser.isSet(versionOption)) {
        result.action = CommandLine::ShowVersion;
        result.text = QStringLiteral("rq70-updater %1\n").arg(version);
        return result;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        result.action = CommandLine::WrongArguments;
        result.text = QStringLiteral("only one update file can be named, not %1").arg(files.size());
        return result;
    }
    if (!files.isEmpty())
        result.updateFile = files.first();
    return result;
}

} // namespace rq70
