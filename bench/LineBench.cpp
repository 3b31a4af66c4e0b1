// The line bench's shift: the server, the four stations, the outages on the way and the end.
#include "LineBench.h"

#include "StationBenchParts.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace line {

namespace {

constexpr int ShiftStartTimeoutMs = 20000;
constexpr int KilledQuietTimeoutMs = 30000;
constexpr int DrainTimeoutMs = 60000;
// While the stations drain, the table is counted again this often besides at every backlog event.
constexpr int DrainRecheckMs = 1000;
constexpr int ExitTimeoutMs = 30000;
constexpr int FlashTimeoutMs = 120000;

qint64 Now() {
    return QDateTime::currentMSecsSinceEpoch();
}

double SecondsOf(const QElapsedTimer& clock) {
    return double(clock.nsecsElapsed()) / 1e9;
}

} // namespace

LineBench::LineBench(const LineSettings& settings)
    : settings_(settings), file_(station::DrawShiftFile(settings.seed)) {
    updateFile_ = work_.filePath(QStringLiteral("RQ70-LINE.KRV"));
    QFile file(updateFile_);
    if (!file.open(QIODevice::WriteOnly) || file.write(file_.bytes) != file_.bytes.size())
        qFatal("cannot write %s", qPrintable(updateFile_));
}

LineBench::~LineBench() = default;

bool LineBench::Passed() const {
    const LineFigures& f = figures_;
    return problems_.isEmpty() && f.hangs == 0 && f.wrongVerdicts == 0 && f.badEvents == 0 && f.drained &&
           f.tableRows == f.recordLines && f.lost == 0 && f.surplus == 0 && f.duplicateIds == 0 &&
           f.duplicateRows == 0 && f.wrongStation == 0 && f.linesWithoutId == 0 &&
           f.linesOfOtherStation == 0 && f.rejectedLines == 0;
}

void LineBench::Run() {
    QElapsedTimer clock;
    clock.start();
    if (const QString error = cluster_.Init(); !error.isEmpty()) {
        Problem(QStringLiteral("the cluster: %1").arg(error));
        return;
    }
    figures_.initSeconds = SecondsOf(clock);
    clock.restart();
    if (const QString error = cluster_.Start(); !error.isEmpty()) {
        Problem(QStringLiteral("the server: %1").arg(error));
        return;
    }
    figures_.firstStartSeconds = SecondsOf(clock);
    conninfo_ = cluster_.Conninfo();
    std::printf("server: PostgreSQL from %s, initdb %.2f s, start %.2f s; %s\n",
                qPrintable(cluster_.BinDir()), figures_.initSeconds, figures_.firstStartSeconds,
                qPrintable(conninfo_));
    if (!RunFlash({QStringLiteral("db"), QStringLiteral("init"), QStringLiteral("--db"), conninfo_}))
        return;

    clock.restart();
    if (!Shift(true))
        return;
    figures_.wallSeconds = SecondsOf(clock);
    for (const auto& station : stations_) {
        const StationFigures& s = station->Figures();
        figures_.units += s.units;
        figures_.interruptedUnits += s.interruptedUnits;
        figures_.verdicts += s.verdicts;
        figures_.hangs += s.hangs;
        figures_.extraVerdicts += s.extraVerdicts;
        figures_.wrongVerdicts += s.wrongVerdicts;
        figures_.badEvents += s.badEvents;
        figures_.stationKills += s.kills;
        figures_.cpuSeconds += s.cpuSeconds;
        figures_.largestBacklog = std::max(figures_.largestBacklog, s.largestBacklog);
        problems_ << station->Problems();
    }
    ShipRemainder();
    CheckTable();

    if (settings_.baseline && problems_.isEmpty()) {
        std::printf("baseline: the same units again, without the database\n");
        std::fflush(stdout);
        clock.restart();
        if (Shift(false)) {
            figures_.baselineWallSeconds = SecondsOf(clock);
            figures_.baselineCpuSeconds = 0;
            for (const auto& station : stations_) {
                figures_.baselineCpuSeconds += station->Figures().cpuSeconds;
                figures_.baselineVerdicts += station->Figures().verdicts;
                problems_ << station->Problems();
            }
        }
    }
}

bool LineBench::Shift(bool withDatabase) {
    stations_.clear();
    launched_ = 0;
    const auto next = [this]() -> std::optional<station::UnitPlan> {
        if (launched_ >= settings_.units)
            return std::nullopt;
        return station::DrawUnit(settings_.seed, ++launched_, file_);
    };
    for (int n = 1; n <= StationCount; ++n) {
        const QString folder =
            work_.filePath(QStringLiteral("%1/station-%2")
                               .arg(withDatabase ? QStringLiteral("db") : QStringLiteral("baseline"))
                               .arg(n));
        auto station = std::make_unique<LineStation>(
            n, folder, updateFile_, withDatabase ? conninfo_ : QString(), next, settings_.verbose);
        connect(station.get(), &LineStation::Changed, this, [this] {
            TakeDueSteps();
            emit Changed();
        });
        stations_.push_back(std::move(station));
    }
    steps_ = withDatabase ? PlanSteps() : QList<Step>{};
    for (const auto& station : stations_)
        station->Start();
    const auto started = [this] {
        return std::all_of(stations_.begin(), stations_.end(),
                           [](const auto& s) { return s->ShiftStarted(); });
    };
    const auto startedOrEnded = [this] {
        return std::all_of(stations_.begin(), stations_.end(),
                           [](const auto& s) { return s->ShiftStarted() || !s->Running(); });
    };
    if (!WaitFor(startedOrEnded, ShiftStartTimeoutMs) || !started()) {
        Problem(QStringLiteral("not every station printed its shift event"));
        EndStations();
        return false;
    }
    WaitFor(
        [this] {
            const bool idle =
                std::all_of(stations_.begin(), stations_.end(), [](const auto& s) { return s->Idle(); });
            const bool down = std::any_of(stations_.begin(), stations_.end(),
                                          [](const auto& s) { return !s->Running() && !s->Killed(); });
            return down || (UnitsDone() >= settings_.units && steps_.isEmpty() && idle);
        },
        -1);
    if (UnitsDone() < settings_.units)
        Problem(QStringLiteral("a station ended during the shift, after %1 units").arg(UnitsDone()));
    if (withDatabase)
        figures_.drained = Drain();
    return EndStations();
}

QList<LineBench::Step> LineBench::PlanSteps() {
    QList<Step> steps;
    const int units = settings_.units;
    const int segment = units / (settings_.restarts + 1);
    // Long enough for every station to pile up lines while the server is away.
    const int outage = std::max(8, units / 20);
    for (int k = 1; k <= settings_.restarts; ++k) {
        const int from = k * segment;
        steps << Step{from, QStringLiteral("server stopped (immediate)"),
                      [this] { StopServer(QStringLiteral("immediate")); }};
        steps << Step{std::min(from + outage, units), QStringLiteral("server started"),
                      [this] { StartServer(); }};
    }
    if (settings_.kill) {
        // Half way through the first outage: lines of the killed process wait in its record, and
        // only the next one can ship them.
        LineStation* victim = stations_[std::size_t(settings_.seed % StationCount)].get();
        const int at = settings_.restarts > 0 ? segment + outage / 2 : segment / 2;
        steps << Step{std::max(1, at),
                      QStringLiteral("%1 killed (SIGKILL) and started again").arg(victim->Name()),
                      [this, victim] { KillStation(*victim); }};
    }
    std::stable_sort(steps.begin(), steps.end(),
                     [](const Step& a, const Step& b) { return a.atUnits < b.atUnits; });
    return steps;
}

void LineBench::TakeDueSteps() {
    if (takingStep_)
        return;
    takingStep_ = true;
    while (!steps_.isEmpty() && UnitsDone() >= steps_.first().atUnits) {
        const Step step = steps_.first();
        QStringList backlogs;
        for (const auto& station : stations_)
            backlogs << (station->Backlog() < 0 ? QStringLiteral("-") : QString::number(station->Backlog()));
        std::printf("after %d units: %s (backlogs %s)\n", UnitsDone(), qPrintable(step.what),
                    qPrintable(backlogs.join(QStringLiteral(", "))));
        std::fflush(stdout);
        step.take();
        steps_.removeFirst();
    }
    takingStep_ = false;
}

void LineBench::StopServer(const QString& how) {
    serverDownSinceMs_ = Now();
    if (const QString error = cluster_.Stop(how == QLatin1String("immediate")); !error.isEmpty())
        Problem(QStringLiteral("stopping the server: %1").arg(error));
}

void LineBench::StartServer() {
    QElapsedTimer clock;
    clock.start();
    if (const QString error = cluster_.Start(); !error.isEmpty())
        Problem(QStringLiteral("starting the server again: %1").arg(error));
    figures_.restartSeconds += SecondsOf(clock);
    ++figures_.restarts;
    const qint64 now = Now();
    outages_ << Outage{serverDownSinceMs_, now, QString(), QStringLiteral("server")};
    figures_.outageSeconds << double(now - serverDownSinceMs_) / 1000;
    serverDownSinceMs_ = -1;
}

void LineBench::KillStation(LineStation& station) {
    const qint64 since = Now();
    station.Kill();
    if (!WaitFor([&station] { return station.Quiet(); }, KilledQuietTimeoutMs)) {
        Problem(QStringLiteral("%1 and its units did not end after SIGKILL").arg(station.Name()));
        return;
    }
    station.Start();
    if (!WaitFor([&station] { return station.ShiftStarted() || !station.Running(); }, ShiftStartTimeoutMs) ||
        !station.ShiftStarted())
        Problem(QStringLiteral("%1 did not start its shift again after the kill").arg(station.Name()));
    outages_ << Outage{since, Now(), station.Name(), QStringLiteral("killed")};
}

bool LineBench::Drain() {
    QElapsedTimer clock;
    clock.start();
    // The backlog events say when to look; the table is what says the lines are there.
    QTimer recheck;
    connect(&recheck, &QTimer::timeout, this, &LineBench::Changed);
    recheck.start(DrainRecheckMs);
    bool arrived = false;
    const bool inTime = WaitFor(
        [this, &arrived] {
            const bool reported = std::all_of(stations_.begin(), stations_.end(),
                                              [](const auto& s) { return s->Backlog() <= 0; });
            arrived = reported && AllLinesInTable();
            return arrived;
        },
        DrainTimeoutMs);
    figures_.drainSeconds = SecondsOf(clock);
    if (!inTime || !arrived) {
        QStringList backlogs;
        for (const auto& station : stations_)
            backlogs << QStringLiteral("%1: %2 (%3)")
                            .arg(station->Name())
                            .arg(station->Backlog())
                            .arg(station->BacklogReason().isEmpty() ? QStringLiteral("no reason given")
                                                                    : station->BacklogReason());
        Problem(QStringLiteral("the stations had not shipped every line %1 s after the last unit: %2")
                    .arg(DrainTimeoutMs / 1000)
                    .arg(backlogs.join(QStringLiteral("; "))));
        return false;
    }
    return true;
}

bool LineBench::EndStations() {
    shiftEndMs_ = Now();
    for (const auto& station : stations_)
        station->EndShift();
    const bool ended = WaitFor(
        [this] {
            return std::none_of(stations_.begin(), stations_.end(),
                                [](const auto& s) { return s->Running(); });
        },
        ExitTimeoutMs);
    if (!ended)
        Problem(QStringLiteral("not every station ended within %1 s of SIGTERM").arg(ExitTimeoutMs / 1000));
    for (const auto& station : stations_) {
        // Exit status 1 says a unit failed, which faulty units do.
        if (!station->Running() && station->ExitCode() != 0 && station->ExitCode() != 1)
            Problem(QStringLiteral("%1 ended with exit status %2; its last notes:\n  %3")
                        .arg(station->Name())
                        .arg(station->ExitCode())
                        .arg(station->Notes().join(QStringLiteral("\n  "))));
    }
    return ended;
}

void LineBench::ShipRemainder() {
    figures_.rowsBeforeShip = TableRows();
    for (const auto& station : stations_)
        RunFlash({QStringLiteral("ship"), QStringLiteral("--db"), conninfo_, QStringLiteral("--record"),
                  station->RecordPath()});
    const int after = TableRows();
    figures_.rowsShippedAtEnd =
        figures_.rowsBeforeShip >= 0 && after >= 0 ? after - figures_.rowsBeforeShip : -1;
}

bool LineBench::RunFlash(const QStringList& arguments, QByteArray* output) {
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    station::EndWithBench(process);
    process.start(QStringLiteral(RQ70_FLASH_PATH), arguments);
    if (!process.waitForFinished(FlashTimeoutMs) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        Problem(QStringLiteral("rq70-flash %1: %2 %3")
                    .arg(arguments.mid(0, 2).join(' '))
                    .arg(process.state() != QProcess::NotRunning
                             ? QStringLiteral("did not end")
                             : QStringLiteral("exit status %1").arg(process.exitCode()))
                    .arg(QString::fromUtf8(process.readAllStandardError()).trimmed()));
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return true;
}

int LineBench::UnitsDone() const {
    int done = 0;
    for (const auto& station : stations_)
        done += station->UnitsDone();
    return done;
}

bool LineBench::WaitFor(const std::function<bool()>& done, int timeoutMs) {
    return bench::WaitUntil(this, &LineBench::Changed, done, timeoutMs);
}

void LineBench::Problem(const QString& text) {
    problems_ << text;
    std::printf("PROBLEM: %s\n", qPrintable(text));
    std::fflush(stdout);
}

} // namespace line
