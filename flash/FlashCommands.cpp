#include "flash/FlashCommands.h"

#include "flash/DeviceRun.h"
#include "flash/InterruptSignal.h"
#include "flash/ProgressReport.h"
#include "image/HexLoader.h"
#include "image/HexRecordLine.h"
#include "image/ScrambledFile.h"
#include "image/UpdateFileDiscovery.h"
#include "link/DetectionView.h"
#include "link/DeviceQuery.h"
#include "link/PortSearch.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <cstdio>
#include <unistd.h>

namespace rq70::flash {

namespace {

void Say(const QString& text) {
    std::fprintf(stdout, "%s\n", qPrintable(text));
    std::fflush(stdout);
}

void Complain(const QString& text) {
    std::fprintf(stderr, "rq70-flash: %s\n", qPrintable(text));
}

void SayJson(const QJsonObject& object) {
    Say(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

// A boot loader that answered but whose port failed before it gave its identification: whatever
// is on the port now, it is no device a script can rely on.
QString IdentificationLost(const QString& port) {
    return QStringLiteral("the device on %1 went away while its identification was read: no device "
                          "found (check the cable or adapter, then try again)")
        .arg(port);
}

// The search's window, without a window: only its warnings about ports that another program
// holds or that the user may not open are worth telling.
class QuietDetectionView : public DetectionView {
public:
    void ShowDetectionWindow() override {}
    void SetLines(const QString&, const QString&) override {}
    void ShowAbortButton() override {}
    void ShowOKButton() override {}
    void SetMainOKEnabled(bool) override {}
    void SelectPortEntry(const QString&) override {}
    void ShowPortWarning(const QString& description) override { Complain(description); }
};

// The same search as "Auto Detect...": COM1 to COM20, two pings each. Ctrl-C stops it after the
// ping under way. Says why when it finds nothing, or a device that went away before it told who it
// is; NothingFoundStatus then gives the exit status. The port found is left open.
std::optional<SearchResult> Search(UpdaterModul& state) {
    InterruptSignal interrupt;
    QObject::connect(&interrupt, &InterruptSignal::Interrupted, [&state] { state.AbortRequested = true; });
    QuietDetectionView view;
    state.link.ApplyLineSettings();
    const SearchResult result = SearchForDevice(state.link, state.AbortRequested, state.running, view);
    state.link.SetMonitorTimer(false);
    if (result.outcome == SearchResult::Found && !result.identification) {
        Complain(IdentificationLost(state.link.Port().Name()));
        return std::nullopt;
    }
    if (result.outcome != SearchResult::Found) {
        Complain(state.AbortRequested
                     ? QStringLiteral("interrupted")
                     : QStringLiteral("no device answered on COM1 to COM%1").arg(LastSearchedPort));
        return std::nullopt;
    }
    return result;
}

int NothingFoundStatus(const UpdaterModul& state) {
    return state.AbortRequested ? ExitUpdateFailed : ExitNoDevice;
}

ProgressReport::Style ReportStyle(const FlashOptions& options) {
    if (options.json)
        return ProgressReport::Style::Json;
    return ::isatty(STDOUT_FILENO) ? ProgressReport::Style::Terminal : ProgressReport::Style::Plain;
}

// Runs one update per port, each in a thread of its own, and reports as they go.
int UpdatePorts(const QList<ChosenPort>& ports, const LoadedFile& file, const FlashOptions& options) {
    qRegisterMetaType<DeviceEvent>();
    qRegisterMetaType<DeviceOutcome>();
    qRegisterMetaType<OpenResult>();

    RunContext context;
    context.program = QStringLiteral("rq70-flash");
    context.version = QCoreApplication::applicationVersion();
    context.updateFile = file.path;
    context.updateFileFacts = ReadUpdateFileFacts(file.path);
    context.highestProgramWord = file.images.HighestProgramWord;

    ProgressReport report(ReportStyle(options), ports, stdout);
    std::promise<bool> go;
    const std::shared_future<bool> goSignal = go.get_future().share();
    bool decided = false;
    const auto decide = [&](bool start) {
        if (!decided)
            go.set_value(start);
        decided = true;
    };

    QList<QThread*> threads;
    QList<DeviceRun*> runs;
    QList<OpenResult> opened(ports.size());
    QList<DeviceOutcome> outcomes(ports.size());
    QStringList notices;
    int openCount = 0;
    int finishedCount = 0;
    bool interrupted = false;
    bool openFailed = false;
    QEventLoop loop;

    for (qsizetype i = 0; i < ports.size(); ++i) {
        DeviceJob job{int(i), ports[i], file.images, RecordPath(options), options.requireRecord, context};
        auto* run = new DeviceRun(std::move(job), goSignal);
        auto* thread = new QThread;
        run->moveToThread(thread);
        QObject::connect(thread, &QThread::started, run, &DeviceRun::Run);
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
                             if (interrupted) {
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
        threads << thread;
        runs << run;
    }

    InterruptSignal interrupt;
    QObject::connect(&interrupt, &InterruptSignal::Interrupted, &loop, [&] {
        if (interrupted)
            return;
        interrupted = true;
        report.Interrupted();
        // Before every port is open nothing has started: call the run off. After, stop each update
        // after its unit under way.
        if (openCount == ports.size())
            for (DeviceRun* run : runs)
                run->RequestStop();
    });

    for (QThread* thread : threads)
        thread->start();
    loop.exec();
    for (qsizetype i = 0; i < threads.size(); ++i) {
        threads[i]->quit();
        threads[i]->wait();
        delete runs[i];
        delete threads[i];
    }

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

QString RecordPath(const FlashOptions& options) {
    return options.recordPath.isEmpty() ? UpdateRecordPath() : options.recordPath;
}

std::optional<LoadedFile> LoadUpdateFile(const FlashOptions& options, int& exitStatus) {
    exitStatus = ExitNoUpdateFile;
    QString path = options.updateFile;
    if (path.isEmpty()) {
        // Installed in a system folder, it looks in the folder it was started in.
        const QString folder = QString::fromStdString(UpdateFileFolder(
            QCoreApplication::applicationDirPath().toStdString(), QDir::currentPath().toStdString()));
        const std::string name = FindUpdateFile(folder.toStdString(), UpdateFilePattern);
        if (name.empty()) {
            Complain(QStringLiteral("no update file %1 in %2; name one: rq70-flash update FILE.KRV --port P")
                         .arg(QString::fromLatin1(UpdateFilePattern), QDir::toNativeSeparators(folder)));
            return std::nullopt;
        }
        path = QString::fromStdString(JoinFolderAndName(folder.toStdString(), name));
    }
    FileContent content = ReadWholeFile(path.toStdString());
    if (!content.bytes) {
        Complain(QStringLiteral("cannot read the update file '%1': %2")
                     .arg(path, QString::fromStdString(content.error)));
        return std::nullopt;
    }
    ApplyScrambleKey(*content.bytes);
    // The windows would "update" a device from such a file: all 256 EEPROM bytes erased and
    // nothing written. A script gets told instead.
    if (CountDataRecords(*content.bytes) == 0) {
        Complain(QStringLiteral("the update file '%1' holds no data record: nothing to write (is it an "
                                "update file made with 'krv pack'?)")
                     .arg(path));
        return std::nullopt;
    }
    LoadedFile loaded{QFileInfo(path).absoluteFilePath(), {}};
    LoadHexText(*content.bytes, loaded.images,
                [](const std::string& message) { Complain(QString::fromStdString(message)); });
    exitStatus = ExitAllUpdated;
    return loaded;
}

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

int ListPorts(const FlashOptions& options) {
    int listed = 0;
    for (const ChosenPort& port : ListComPorts(FirstSearchedPort, LastSearchedPort)) {
        const int n = port.ComNumber();
        const QString path = port.GivenPath();
        ++listed;
        const PortFacts facts = DescribePort(path);
        if (options.json) {
            SayJson({{"port", ComPortName(n)},
                     {"device_path", path},
                     {"manufacturer", facts.manufacturer},
                     {"product", facts.product},
                     {"serial_number", facts.serialNumber},
                     {"usb_id", facts.usbId}});
            continue;
        }
        QString line = QStringLiteral("%1  %2").arg(ComPortName(n), -5).arg(path);
        const QStringList usb =
            QStringList{facts.manufacturer, facts.product,
                        facts.serialNumber.isEmpty() ? QString() : "serial " + facts.serialNumber,
                        facts.usbId}
                .filter(QRegularExpression(QStringLiteral(".")));
        if (!usb.isEmpty())
            line += QStringLiteral("  (") + usb.join(QStringLiteral(", ")) + QLatin1Char(')');
        Say(line);
    }
    if (listed == 0 && !options.json)
        Complain(QStringLiteral("no serial port found (COM1 to COM%1)").arg(LastSearchedPort));
    return ExitAllUpdated;
}

int Detect(const FlashOptions& options) {
    UpdaterModul state;
    const std::optional<SearchResult> found = Search(state);
    if (!found)
        return NothingFoundStatus(state);
    // The device the search opened, not whatever the COM number leads to by now.
    const ChosenPort& port = state.link.Port();
    if (options.json)
        SayJson({{"port", port.Name()},
                 {"device_path", port.GivenPath()},
                 {"identification", *found->identification}});
    else
        Say(QStringLiteral("%1  %2  %3").arg(port.Name(), port.GivenPath(), *found->identification));
    return ExitAllUpdated;
}

int Info(const FlashOptions& options) {
    const ChosenPort& port = options.ports.value(0);
    SerialLink link;
    link.ApplyLineSettings();
    const OpenResult open = link.Open(port);
    if (!open.ok()) {
        Complain(OpenFailureText(open));
        return ExitPortNotOpened;
    }
    if (!FindBootLoader(link)) {
        Complain(QStringLiteral("no boot loader answers on %1").arg(port.Name()));
        return ExitNoDevice;
    }
    const std::optional<QString> identification = QueryDeviceInfo(link, DeviceInfoAddress);
    if (!identification) {
        Complain(IdentificationLost(port.Name()));
        return ExitNoDevice;
    }
    if (options.json)
        SayJson(
            {{"port", port.Name()}, {"device_path", port.GivenPath()}, {"identification", *identification}});
    else
        Say(*identification);
    return ExitAllUpdated;
}

int Update(const FlashOptions& options) {
    int status = ExitAllUpdated;
    const std::optional<LoadedFile> file = LoadUpdateFile(options, status);
    if (!file)
        return status;

    QList<ChosenPort> ports = options.ports;
    if (options.detect) {
        UpdaterModul state;
        const std::optional<SearchResult> found = Search(state);
        if (!found)
            return NothingFoundStatus(state);
        // The update opens the device the search found, wherever it is by then.
        ports << state.link.Port();
        state.link.Close();
    }
    return UpdatePorts(ports, *file, options);
}

int History(const FlashOptions& options) {
    const QString path = RecordPath(options);
    const RecordHistory history = ReadUpdateRecords(path, options.last);
    if (!history.error.isEmpty()) {
        Complain(QStringLiteral("cannot read the update record '%1': %2").arg(path, history.error));
        return ExitNoUpdateFile;
    }
    if (history.unreadableLines > 0)
        Complain(QStringLiteral("%1 unreadable line(s) in '%2' passed over")
                     .arg(history.unreadableLines)
                     .arg(path));
    if (options.json) {
        for (const QJsonObject& record : history.records)
            SayJson(record);
        return ExitAllUpdated;
    }
    if (history.records.isEmpty()) {
        Complain(QStringLiteral("no update recorded in '%1'").arg(path));
        return ExitAllUpdated;
    }
    std::fputs(qPrintable(FormatRecordTable(history.records)), stdout);
    return ExitAllUpdated;
}

} // namespace rq70::flash
