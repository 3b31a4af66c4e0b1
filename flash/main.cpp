// rq70-flash: the updater for service scripts and production lines. The same update as the
// windows run, without windows, on one or many ports at once, with a record of every update.

#include "board/BoardAccess.h"
#include "common/CommandLine.h"
#include "flash/Console.h"
#include "flash/FlashCommands.h"
#include "flash/HelpText.h"
#include "flash/StationConfig.h"
#include "link/ComPorts.h"
#include "link/PortPaths.h"
#include "record/PgConnection.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHash>
#include <QRegularExpression>

#include <csignal>
#include <cstdio>

using rq70::ParseFilterTime;
using rq70::RecordFilter;
using namespace rq70::flash;

namespace {

int WrongArguments(const QString& problem) {
    Complain(problem);
    std::fputs("Try 'rq70-flash --help'.\n", stderr);
    return ExitWrongArguments;
}

// Two arguments that lead to the same device would have two threads fighting over one port. Also
// while it is not there, as cradles are before their first unit: two names of one port folder
// entry, or two links to one node, lead to one device as soon as it comes.
QString SamePortTwice(const QList<rq70::ChosenPort>& ports) {
    QHash<QString, QString> seen;
    for (const rq70::ChosenPort& port : ports) {
        // COM names come normalised ("com1" is COM1): COMn is where it is looked for, and without a
        // port folder a COM number with nothing behind it is its name.
        const QString path = port.ComNumber() > 0 ? rq70::ComPortEntry(port.ComNumber()) : port.GivenPath();
        const QString key = path.isEmpty() ? port.Name() : rq70::WherePathLeads(path);
        if (seen.contains(key))
            return QStringLiteral("%1 and %2 are the same port").arg(seen.value(key), port.Name());
        seen.insert(key, port.Name());
    }
    return {};
}

// The kernel's names of USB serial ports move from cradle to cradle as adapters are plugged in:
// what to name the cradle by instead, with the stable links that lead to that port today. Tests
// point RQ70_DEV_SERIAL at a folder of links of their own in place of /dev/serial.
QString MovingNameRefusal(const QString& path) {
    const QString serialFolder = qEnvironmentVariable("RQ70_DEV_SERIAL", QStringLiteral("/dev/serial"));
    const rq70::StableLinks links = rq70::StableLinksTo(path, serialFolder);
    const QString refusal = QStringLiteral("station: name each cradle by a stable link, not %1: the kernel "
                                           "numbers ttyUSB and ttyACM ports in the order adapters are "
                                           "plugged in")
                                .arg(path);
    if (links.byPath.isEmpty() && links.byId.isEmpty())
        return QStringLiteral("%1; use its link in %2/by-path/ (the cradle's USB socket) or %2/by-id/ (an "
                              "adapter that travels with the unit)")
            .arg(refusal, serialFolder);
    QStringList lines{QStringLiteral("%1. What leads to %2 today:").arg(refusal, path)};
    for (const QString& link : links.byPath)
        lines << QStringLiteral("  %1  (the cradle's USB socket)").arg(link);
    for (const QString& link : links.byId)
        lines << QStringLiteral("  %1  (the adapter, which travels with the unit)").arg(link);
    return lines.join(QLatin1Char('\n'));
}

// history's filters and --csv into `options`; "" when they are right, else what is wrong.
// --station is read apart, as update and station take it too.
QString HistoryFilter(const QCommandLineParser& parser, FlashOptions& options) {
    const bool isHistory = options.command == QLatin1String("history");
    for (const QString name :
         {"shift", "verdict", "since", "until", "identification", "file-sha256", "csv"}) {
        if (parser.isSet(name) && !isHistory)
            return QStringLiteral("--%1 goes with history").arg(name);
    }
    if (!isHistory)
        return {};
    for (const QString name : {"shift", "verdict", "since", "until", "identification", "file-sha256"}) {
        if (parser.isSet(name) && parser.value(name).isEmpty())
            return QStringLiteral("--%1 takes a value").arg(name);
    }
    RecordFilter& filter = options.filter;
    filter.shift = parser.value(QStringLiteral("shift"));
    filter.verdict = parser.value(QStringLiteral("verdict"));
    if (!filter.verdict.isEmpty() && filter.verdict != QLatin1String("success") &&
        filter.verdict != QLatin1String("failure") && filter.verdict != QLatin1String("aborted"))
        return QStringLiteral("--verdict takes success, failure or aborted, not '%1'").arg(filter.verdict);
    filter.identification = parser.value(QStringLiteral("identification"));
    // Records hold it in lower case; a checksum copied from elsewhere may be in upper case.
    filter.fileSha256 = parser.value(QStringLiteral("file-sha256")).toLower();
    static const QRegularExpression sha256(QStringLiteral("^[0-9a-f]{64}$"));
    if (!filter.fileSha256.isEmpty() && !sha256.match(filter.fileSha256).hasMatch())
        return QStringLiteral("--file-sha256 takes the 64 hex digits of a SHA-256");
    for (const bool until : {false, true}) {
        const QString name = until ? QStringLiteral("until") : QStringLiteral("since");
        if (!parser.isSet(name))
            continue;
        const QString problem =
            ParseFilterTime(parser.value(name), until, until ? filter.until : filter.since);
        if (!problem.isEmpty())
            return QStringLiteral("--%1: %2").arg(name, problem);
    }
    if (filter.since.isValid() && filter.until.isValid() && filter.since > filter.until)
        return QStringLiteral("--since is after --until: no record could match");
    options.csv = parser.isSet(QStringLiteral("csv"));
    if (options.csv && options.json)
        return QStringLiteral("--csv and --json cannot go together: choose one");
    return {};
}

// --http and --http-token-file into `options`; "" when they are right, else what is wrong. A board
// that others can reach is never served without a token.
QString BoardOptions(const QCommandLineParser& parser, FlashOptions& options) {
    // The command line wins over a config file's http and http-token-file keys.
    const QString address = parser.isSet(QStringLiteral("http")) ? parser.value(QStringLiteral("http")) : options.http;
    const QString tokenPath =
        parser.isSet(QStringLiteral("http-token-file")) ? parser.value(QStringLiteral("http-token-file"))
                                                        : options.httpTokenFile;
    const bool http = !address.isEmpty();
    const bool tokenFile = !tokenPath.isEmpty();
    if ((http || tokenFile) && options.command != QLatin1String("station"))
        return QStringLiteral("--http and --http-token-file go with station");
    if (!http)
        return tokenFile ? QStringLiteral("--http-token-file goes with --http") : QString();
    quint16 port = 0;
    if (const QString problem = rq70::board::ParseBoardAddress(address, options.httpAddress, port);
        !problem.isEmpty())
        return QStringLiteral("--http: ") + problem;
    options.httpPort = port;
    if (tokenFile) {
        if (const QString problem = rq70::board::ReadTokenFile(tokenPath, options.httpToken); !problem.isEmpty())
            return QStringLiteral("--http-token-file: ") + problem;
    } else if (!options.httpAddress.isLoopback()) {
        return QStringLiteral("--http %1 serves the board to other computers: it needs --http-token-file FILE")
            .arg(address);
    }
    return {};
}

} // namespace

int main(int argc, char* argv[]) {
    // Output to a reader that went away (`| head`) must not kill updates half way: writes then
    // fail instead, and the updates run to their end.
    std::signal(SIGPIPE, SIG_IGN);
    // Likewise a record file at the file-size limit: its write fails, is reported and taken back.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rq70-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RQ70_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(HelpDescription));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("A port: COMn or a device path."), QStringLiteral("P"));
    const QCommandLineOption detectOption(QStringLiteral("detect"),
                                          QStringLiteral("update: the port that a search finds."));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("One JSON object per line."));
    const QCommandLineOption recordOption(QStringLiteral("record"),
                                          QStringLiteral("The update record to write or read."),
                                          QStringLiteral("FILE"));
    const QCommandLineOption lastOption(
        QStringLiteral("last"), QStringLiteral("history: only the last N records."), QStringLiteral("N"));
    const QCommandLineOption shiftOption(QStringLiteral("shift"),
                                         QStringLiteral("history: only the records of station shift ID."),
                                         QStringLiteral("ID"));
    const QCommandLineOption stationOption(
        QStringLiteral("station"),
        QStringLiteral("update, station: the station's name in the record (default: the host name). "
                       "history: only that station's records."),
        QStringLiteral("NAME"));
    const QCommandLineOption verdictOption(
        QStringLiteral("verdict"),
        QStringLiteral("history: only the records of success, failure or aborted."), QStringLiteral("V"));
    const QCommandLineOption sinceOption(
        QStringLiteral("since"), QStringLiteral("history: only the records that ended at TIME or later."),
        QStringLiteral("TIME"));
    const QCommandLineOption untilOption(
        QStringLiteral("until"), QStringLiteral("history: only the records that ended at TIME or earlier."),
        QStringLiteral("TIME"));
    const QCommandLineOption identificationOption(
        QStringLiteral("identification"),
        QStringLiteral("history: only the records whose identification contains TEXT."),
        QStringLiteral("TEXT"));
    const QCommandLineOption fileSha256Option(
        QStringLiteral("file-sha256"),
        QStringLiteral("history: only the updates from the update file of this SHA-256."),
        QStringLiteral("HEX"));
    const QCommandLineOption csvOption(QStringLiteral("csv"),
                                       QStringLiteral("history: the records as CSV, for a spreadsheet."));
    const QCommandLineOption noteOption(
        QStringLiteral("note"),
        QStringLiteral("station: a work order or batch, kept in every record of the shift."),
        QStringLiteral("TEXT"));
    const QCommandLineOption waitUnplugOption(
        QStringLiteral("wait-unplug"),
        QStringLiteral("station: send nothing after a verdict until the port goes away and comes back."));
    const QCommandLineOption requireRecordOption(
        QStringLiteral("require-record"),
        QStringLiteral("update, station: an update that cannot be recorded counts as failed (exit 6)."));
    const QCommandLineOption dbOption(
        QStringLiteral("db"),
        QStringLiteral("update, station, ship, db, history: the line's database (a libpq connection "
                       "string or service=NAME; else RQ70_DB)."),
        QStringLiteral("CONNINFO"));
    const QCommandLineOption httpOption(
        QStringLiteral("http"),
        QStringLiteral("station: serve the board on [ADDR:]PORT (ADDR 127.0.0.1 unless given; PORT 0: any "
                       "free port)."),
        QStringLiteral("[ADDR:]PORT"));
    const QCommandLineOption httpTokenOption(
        QStringLiteral("http-token-file"),
        QStringLiteral("station: the board's token is the first line of FILE (needed off loopback)."),
        QStringLiteral("FILE"));
    const QCommandLineOption followOption(QStringLiteral("follow"),
                                          QStringLiteral("ship: keep shipping new lines until a signal."));
    const QCommandLineOption configOption(
        QStringLiteral("config"),
        QStringLiteral("station: its options from FILE (key = value lines; the command line wins)."),
        QStringLiteral("FILE"));
    const QCommandLineOption printOption(QStringLiteral("print"),
                                         QStringLiteral("db init: print the SQL and a station's grants."));
    parser.addOptions({portOption, detectOption, jsonOption, recordOption, lastOption, noteOption,
                       waitUnplugOption, requireRecordOption, stationOption, shiftOption, verdictOption,
                       sinceOption, untilOption, identificationOption, fileSha256Option, csvOption, dbOption,
                       followOption, printOption, httpOption, httpTokenOption});
    parser.addOption(configOption);
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("ports, detect, info, update, station or history"));
    parser.addPositionalArgument(QStringLiteral("FILE.KRV"),
                                 QStringLiteral("update, station: the update file"),
                                 QStringLiteral("[FILE.KRV]"));

    const QString problem = rq70::ParseOptions(parser, QCoreApplication::arguments());
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(rq70::HelpText(parser, QStringLiteral("rq70-flash"))), stdout);
        return ExitAllUpdated;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("rq70-flash %s\n", RQ70_VERSION);
        return ExitAllUpdated;
    }
    if (!problem.isEmpty())
        return WrongArguments(problem);

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return WrongArguments(QStringLiteral("no command given"));
    FlashOptions options;
    options.command = positional.first();
    const bool isStation = options.command == QLatin1String("station");
    const bool isHistory = options.command == QLatin1String("history");
    // A station's config file stands in for each option the command line does not give.
    StationConfig config;
    if (parser.isSet(configOption)) {
        if (!isStation)
            return WrongArguments(QStringLiteral("--config goes with station"));
        config = ReadStationConfig(parser.value(configOption));
        if (!config.problem.isEmpty())
            return WrongArguments(config.problem);
    }
    const auto givenOrFromFile = [&](const QCommandLineOption& option,
                                     const std::optional<QString>& fromFile) {
        return parser.isSet(option) ? parser.value(option) : fromFile.value_or(QString());
    };
    for (const QString& given : parser.isSet(portOption) ? parser.values(portOption) : config.ports)
        options.ports << rq70::ResolvePortArgument(given);
    options.detect = parser.isSet(detectOption);
    options.json = parser.isSet(jsonOption);
    options.recordPath = givenOrFromFile(recordOption, config.record);
    options.note = givenOrFromFile(noteOption, config.note);
    options.waitUnplug = parser.isSet(waitUnplugOption) || config.waitUnplug.value_or(false);
    options.requireRecord = parser.isSet(requireRecordOption) || config.requireRecord.value_or(false);
    options.http = config.http.value_or(QString());
    options.httpTokenFile = config.httpTokenFile.value_or(QString());
    if ((parser.isSet(noteOption) || options.waitUnplug) && !isStation)
        return WrongArguments(QStringLiteral("--note and --wait-unplug go with station"));
    if (options.requireRecord && !isStation && options.command != QLatin1String("update"))
        return WrongArguments(QStringLiteral("--require-record goes with update and station"));
    if (parser.isSet(lastOption)) {
        bool number = false;
        options.last = parser.value(lastOption).toInt(&number);
        if (!number || options.last < 1)
            return WrongArguments(QStringLiteral("--last takes a whole number from 1 up"));
        if (!isHistory)
            return WrongArguments(QStringLiteral("--last goes with history"));
    }
    if (parser.isSet(stationOption)) {
        const QString station = parser.value(stationOption);
        if (station.isEmpty())
            return WrongArguments(QStringLiteral("--station takes a station's name"));
        if (isHistory)
            options.filter.station = station;
        else if (isStation || options.command == QLatin1String("update"))
            options.station = station;
        else
            return WrongArguments(QStringLiteral("--station goes with update, station and history"));
    } else if (config.station) {
        options.station = *config.station;
    }
    if (const QString problem = HistoryFilter(parser, options); !problem.isEmpty())
        return WrongArguments(problem);
    if (const QString problem = BoardOptions(parser, options); !problem.isEmpty())
        return WrongArguments(problem);
    // history reads this computer's record unless asked for the line's.
    options.database = parser.isSet(dbOption) || isHistory
                           ? parser.value(dbOption)
                           : config.db.value_or(qEnvironmentVariable("RQ70_DB"));
    options.follow = parser.isSet(followOption);
    options.print = parser.isSet(printOption);
    const bool isDb = options.command == QLatin1String("db");
    const bool isShip = options.command == QLatin1String("ship");
    const bool takesDb = isDb || isShip || isStation || options.command == QLatin1String("update") ||
                         options.command == QLatin1String("history");
    if (parser.isSet(dbOption) && !takesDb)
        return WrongArguments(QStringLiteral("--db goes with update, station, ship, db and history"));
    if (!takesDb)
        options.database.clear();
    if (options.follow && !isShip)
        return WrongArguments(QStringLiteral("--follow goes with ship"));
    if (options.print && !isDb)
        return WrongArguments(QStringLiteral("--print goes with db init"));
    if (!options.database.isEmpty()) {
        if (const QString problem = rq70::ConninfoProblem(options.database); !problem.isEmpty())
            return WrongArguments(problem);
    } else if (isShip || (isDb && !options.print)) {
        return WrongArguments(QStringLiteral("%1 needs --db CONNINFO (or RQ70_DB)").arg(options.command));
    }
    const bool takesPorts =
        options.command == QLatin1String("update") || options.command == QLatin1String("info") || isStation;
    if (!options.ports.isEmpty() && !takesPorts)
        return WrongArguments(QStringLiteral("--port goes with update, station and info"));
    if (options.detect && options.command != QLatin1String("update"))
        return WrongArguments(QStringLiteral("--detect goes with update"));
    if (positional.size() > (options.command == QLatin1String("update") || isStation || isDb ? 2 : 1))
        return WrongArguments(QStringLiteral("too many arguments for %1").arg(options.command));

    if (options.command == QLatin1String("ports"))
        return ListPorts(options);
    if (options.command == QLatin1String("detect"))
        return Detect(options);
    if (isHistory)
        return History(options);
    if (isShip)
        return Ship(options);
    if (isDb) {
        if (positional.value(1) != QLatin1String("init"))
            return WrongArguments(QStringLiteral("db takes one command: init"));
        return DbInit(options);
    }
    if (options.command == QLatin1String("info")) {
        if (options.ports.size() != 1)
            return WrongArguments(QStringLiteral("info needs exactly one --port"));
        return Info(options);
    }
    if (options.command == QLatin1String("update")) {
        if (options.detect == !options.ports.isEmpty())
            return WrongArguments(QStringLiteral("update needs --port P (one or more) or --detect"));
        if (const QString twice = SamePortTwice(options.ports); !twice.isEmpty())
            return WrongArguments(twice);
        options.updateFile = positional.value(1);
        return Update(options);
    }
    if (isStation) {
        if (options.ports.isEmpty())
            return WrongArguments(
                parser.isSet(configOption)
                    ? QStringLiteral("station needs --port P or port lines in %1 (one per cradle)")
                          .arg(parser.value(configOption))
                    : QStringLiteral("station needs --port P (one per cradle)"));
        // Without a port folder COMn is the n-th port the system lists, and that moves to
        // another adapter when one is pulled: a unit would be recorded under the wrong slot.
        for (const rq70::ChosenPort& port : options.ports) {
            if (port.ComNumber() > 0 && qEnvironmentVariableIsEmpty("RQ70_PORT_DIR"))
                return WrongArguments(QStringLiteral("station: name each cradle by its device path "
                                                     "(/dev/serial/by-id/... for a USB adapter), not %1: "
                                                     "COM numbers move to another adapter when one is pulled")
                                          .arg(port.Name()));
            if (port.ComNumber() == 0 && rq70::IsMovingKernelName(port.GivenPath()))
                return WrongArguments(MovingNameRefusal(port.GivenPath()));
        }
        if (const QString twice = SamePortTwice(options.ports); !twice.isEmpty())
            return WrongArguments(twice);
        options.updateFile = positional.size() > 1 ? positional[1] : config.file.value_or(QString());
        return Station(options);
    }
    return WrongArguments(QStringLiteral("unknown command '%1'").arg(options.command));
}
