// rq70-flash update: every named port updated at the same time, each in a thread of its own.

#include "flash/Console.h"
#include "flash/DeviceRun.h"
#include "flash/DeviceSearch.h"
#include "flash/FlashCommands.h"
#include "flash/LineShipping.h"
#include "flash/UpdateFileLoad.h"
#include "flash/UpdateScreen.h"
#include "flash/WorkerThreads.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QScopeGuard>

#include <unistd.h>

namespace rq70::flash {

namespace {

UpdateScreen::Style ReportStyle(const FlashOptions& options) {
    if (options.json)
        return UpdateScreen::Style::Json;
    return ::isatty(STDOUT_FILENO) ? UpdateScreen::Style::Terminal : UpdateScreen::Style::Plain;
}

// Runs one update per port, each in a thread of its own, and reports as they go.
int UpdatePorts(const QList<ChosenPort>& ports, const LoadedFile& file, const FlashOptions& options,
                InterruptSignal& interrupt) {
    qRegisterMetaType<DeviceEvent>();
    qRegisterMetaType<DeviceOutcome>();
    qRegisterMetaType<OpenResult>();

    RunContext context;
    context.program = QStringLiteral("rq70-flash");
    context.version = QCoreApplication::applicationVersion();
    context.station = options.station;
    context.updateFile = file.path;
    context.updateFileFacts = file.facts;
    context.highestProgramWord = file.images.HighestProgramWord;

    UpdateScreen report(ReportStyle(options), ports, stdout);
    std::promise<bool> go;
    const std::shared_future<bool> goSignal = go.get_future().share();
    bool decided = false;
    const auto decide = [&](bool start) {
        if (!decided)
            go.set_value(start);
        decided = true;
    };

    WorkerThreads<DeviceRun> runs;
    QList<OpenResult> opened(ports.size());
    QList<DeviceOutcome> outcomes(ports.size());
    QStringList notices;
    int openCount = 0;
    int finishedCount = 0;
    // A hang-up lets the updates under way finish; Ctrl-C or SIGTERM stops them after their unit
    // under way. Either one before every port is open calls the run off.
    enum class Stop { None, Finish, Now } stop = Stop::None;
    bool openFailed = false;
    QEventLoop loop;

    for (qsizetype i = 0; i < ports.size(); ++i) {
        DeviceJob job{int(i), ports[i], file.images, RecordPath(options), options.requireRecord, context};
        DeviceRun* run = runs.Add(new DeviceRun(std::move(job), goSignal), &DeviceRun::Run);
        QObject::connect(run, &DeviceRun::Opened, &loop,
                         [&](int device, const OpenResult& open, const QString& notice) {
                             opened[device] = open;
                             if (!notice.isEmpty() && !notices.contains(notice)) {
                                 notices << notice;
                                 Complain(QStringLiteral("warning: ") + notice);
                             }
                             if (!open.ok())
                                 openFailed = true;
                             if (++openCount < ports.size())
                                 return;
                             if (openFailed) {
                                 for (qsizetype d = 0; d < ports.size(); ++d) {
                                     if (!opened[d].ok())
                                         report.OpenFailed(int(d), opened[d]);
                                 }
                                 decide(false);
                                 return;
                             }
                             if (stop != Stop::None) {
                                 decide(false);
                                 return;
                             }
                             QStringList paths;
                             for (const ChosenPort& port : ports)
                                 paths << port.GivenPath();
                             report.Started(paths);
                             decide(true);
                         });
        QObject::connect(run, &DeviceRun::Event, &loop,
                         [&](const DeviceEvent& event) { report.OnEvent(event); });
        QObject::connect(run, &DeviceRun::Finished, &loop, [&](const DeviceOutcome& outcome) {
            outcomes[outcome.device] = outcome;
            if (!openFailed && decided)
                report.OnFinished(outcome);
            if (++finishedCount == ports.size())
                loop.quit();
        });
    }

    QObject::connect(&interrupt, &InterruptSignal::Interrupted, &loop, [&](int signalNumber) {
        const Stop asked = IsHangUp(signalNumber) ? Stop::Finish : Stop::Now;
        if (asked <= stop)
            return;
        stop = asked;
        report.Interrupted(signalNumber);
        // Before every port is open nothing has started: the run is called off. After, each update
        // stops after the row, block or EEPROM byte under way, or, after a hang-up, runs to its end.
        if (stop == Stop::Now && openCount == ports.size())
            for (DeviceRun* run : runs.Workers())
                run->RequestStop();
    });

    const std::unique_ptr<LineShipping> shipping =
        BeginShipping(RecordPath(options), options.database, &loop, report);
    runs.StartAll();
    loop.exec();
    runs.EndAll();
    // The updates' lines get a few seconds to reach the line's database; what has not by then
    // goes with the next run or `ship`, and the exit status does not change.
    const auto shipped = qScopeGuard([&] {
        if (shipping)
            report.OnDatabase(shipping->Finish(5000));
    });

    if (openFailed) {
        // Nothing ran; the summary still says which port stopped the run.
        for (qsizetype d = 0; d < ports.size(); ++d)
            outcomes[d].open = opened[d];
        report.Summary(outcomes, ExitPortNotOpened);
        return ExitPortNotOpened;
    }
    // A stop that came after the last device's update was done takes nothing from it.
    const int status = ExitStatusOf(outcomes);
    report.Summary(outcomes, status);
    return status;
}

} // namespace

int ExitStatusOf(const QList<DeviceOutcome>& outcomes) {
    bool allUpdated = true;
    bool recordMissing = false;
    for (const DeviceOutcome& outcome : outcomes) {
        allUpdated = allUpdated && outcome.Succeeded();
        recordMissing = recordMissing || outcome.RecordMissing();
    }
    // A promise of traceability that was broken weighs more than a failed device: the failure at
    // least is on record.
    if (recordMissing)
        return ExitRecordNotWritten;
    return allUpdated ? ExitAllUpdated : ExitUpdateFailed;
}

int Update(const FlashOptions& options) {
    const std::optional<LoadedFile> file = LoadUpdateFile(options.updateFile);
    if (!file)
        return ExitNoUpdateFile;

    InterruptSignal interrupt;
    QList<ChosenPort> ports = options.ports;
    if (options.detect) {
        UpdaterModul state;
        const std::optional<SearchResult> found = Search(state, interrupt);
        if (!found)
            return NothingFoundStatus(state);
        // The update opens the device the search found, wherever it is by then.
        ports << state.link.Port();
        state.link.Close();
    }
    return UpdatePorts(ports, *file, options, interrupt);
}

} // namespace rq70::flash
