// The board bench's shift: the record of earlier shifts, the station with its board, the three
// phases and their load, and the end of the shift. What a phase is measured by is in
// BoardBenchFigures.cpp.
#include "BoardBench.h"

#include "BoardRecordFill.h"
#include "StationBenchParts.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace boardbench {

namespace {

constexpr int StartTimeoutMs = 20000;
constexpr int WarmUpTimeoutMs = 120000;
constexpr int LoadStopTimeoutMs = 40000;
// After the last arrival, the units still in their slots are updated and leave.
constexpr int EmptySlotsTimeoutMs = 90000;
constexpr int ExitTimeoutMs = 30000;
// A clean unit's stay after its verdict and its slot's gap before the next: a quick swap by hand.
constexpr int CleanStayMs = 100;
constexpr int CleanGapMs = 100;
const QString Note = QStringLiteral("board bench");

station::UnitPlan CleanUnit(int number) {
    station::UnitPlan plan;
    plan.number = number;
    plan.id = station::UnitId(number);
    plan.faultText = QStringLiteral("none");
    soak::Expectation success;
    success.identifications = {plan.id};
    plan.verdicts = {success};
    plan.stayMs = CleanStayMs;
    plan.nextGapMs = CleanGapMs;
    return plan;
}

// The nice value of process `pid` as the kernel has it (field 19 of its stat line).
int NiceOf(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2).split(' ').value(16).toInt();
}

} // namespace

QString PhaseName(Phase phase) {
    switch (phase) {
    case Phase::Quiet:
        return QStringLiteral("(a) no client");
    case Phase::OneBoard:
        return QStringLiteral("(b) one board open");
    case Phase::Crowd:
        return QStringLiteral("(c) crowd");
    }
    return {};
}

BoardBench::BoardBench(const Settings& settings)
    : settings_(settings), file_(station::DrawShiftFile(settings.seed)) {
    updateFile_ = work_.filePath(QStringLiteral("RQ70-BOARD.KRV"));
    QFile file(updateFile_);
    if (!file.open(QIODevice::WriteOnly) || file.write(file_.bytes) != file_.bytes.size())
        qFatal("cannot write %s", qPrintable(updateFile_));
    load_.setProcessChannelMode(QProcess::SeparateChannels);
    const int nice = settings.loadNice;
    // The load ends with the bench, and waits for the CPU behind the station and its units.
    load_.setChildProcessModifier([nice] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::setpriority(PRIO_PROCESS, 0, nice);
    });
    connect(&load_, &QProcess::readyReadStandardError, this, [this] {
        for (const QByteArray& line : load_.readAllStandardError().split('\n')) {
            if (!line.isEmpty())
                std::printf("load generator: %s\n", line.constData());
        }
        std::fflush(stdout);
    });
    connect(&load_, &QProcess::finished, this, [this] {
        loadEnded_ = true;
        emit Changed();
    });
}

BoardBench::~BoardBench() {
    if (load_.state() != QProcess::NotRunning) {
        load_.kill();
        load_.waitForFinished();
    }
}

bool BoardBench::Worked() const {
    if (!problems_.isEmpty() || figures_.exitCode != figures_.expectedExitCode ||
        !figures_.shiftEndProblem.isEmpty() || figures_.station.hangs > 0)
        return false;
    for (const PhaseFigures& phase : figures_.phases) {
        if (phase.verdicts == 0 || (phase.phase != Phase::Quiet && phase.load.isEmpty()))
            return false;
    }
    return true;
}

qint64 BoardBench::Now() const {
    return clock_.elapsed();
}

std::optional<station::UnitPlan> BoardBench::NextUnit() {
    if (!arrivalsOpen_)
        return std::nullopt;
    ++nextNumber_;
    return settings_.faults ? station::DrawUnit(settings_.seed, nextNumber_, file_) : CleanUnit(nextNumber_);
}

void BoardBench::Run() {
    clock_.start();
    if (!Prepare()) {
        EndShift();
        return;
    }
    const qint64 warmFrom = Now();
    if (!WaitFor([this] { return figures_.station.verdicts >= WarmUpVerdicts || !station_->Running(); },
                 WarmUpTimeoutMs) ||
        !station_->Running())
        Problem(QStringLiteral("the station did not get through %1 units to warm up").arg(WarmUpVerdicts));
    figures_.warmUpSeconds = double(Now() - warmFrom) / 1000;
    for (int i = 0; i < PhaseCount && problems_.isEmpty(); ++i) {
        figures_.phases[i].phase = Phase(i);
        RunPhase(figures_.phases[i]);
    }
    EndShift();
    figures_.wallSeconds = double(Now()) / 1000;
}

bool BoardBench::Prepare() {
    station_ = std::make_unique<line::LineStation>(
        1, work_.filePath(QStringLiteral("station")), updateFile_, QString(), [this] { return NextUnit(); },
        settings_.verbose);
    EarlierShifts earlier;
    earlier.ports = station_->Ports();
    earlier.station = station_->Name();
    earlier.note = Note;
    earlier.updateFile = updateFile_;
    earlier.updateFileBytes = file_.bytes;
    earlier.highestProgramWord = file_.lastWord;
    if (const QString error = FillRecord(station_->RecordPath(), PrefilledRecords, settings_.seed, earlier);
        !error.isEmpty()) {
        Problem(error);
        return false;
    }
    figures_.recordLinesBefore = RecordLines();
    std::printf("record: %d lines of earlier shifts (%.1f MB), by the record's own line writer\n",
                figures_.recordLinesBefore, double(QFileInfo(station_->RecordPath()).size()) / 1e6);

    station_->SetOptions(
        {QStringLiteral("--http"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--note"), Note});
    connect(station_.get(), &line::LineStation::StationEvent, this, &BoardBench::OnStationEvent);
    connect(station_.get(), &line::LineStation::Changed, this, [this] {
        figures_.station = station_->Figures();
        emit Changed();
    });
    station_->Start();
    if (!WaitFor([this] { return (station_->ShiftStarted() && board_.isValid()) || !station_->Running(); },
                 StartTimeoutMs) ||
        !board_.isValid()) {
        Problem(QStringLiteral("the station did not start its shift and its board"));
        return false;
    }
    std::printf("board: %s\n", qPrintable(board_.toString()));
    std::fflush(stdout);
    return true;
}

void BoardBench::OnStationEvent(const QJsonObject& event) {
    const QString kind = event.value("event").toString();
    if (kind == QLatin1String("board"))
        board_ = QUrl(event.value("url").toString());
    else if (kind == QLatin1String("verdict"))
        verdictTimes_[event.value("slot").toInt()] << Now();
    else if (kind == QLatin1String("summary"))
        summary_ = event;
    else if (kind == QLatin1String("interrupted"))
        interrupts_ << station::Text(event.value("signal"));
}

void BoardBench::RunPhase(PhaseFigures& figures) {
    const Sample from = TakeSample();
    const bool loaded = figures.phase != Phase::Quiet;
    if (loaded && !StartLoad(figures.phase))
        return;
    if (loaded)
        figures.loadNice = NiceOf(load_.processId());
    // The phase runs its time unless the station or the load ends first.
    if (WaitFor([this, loaded] { return !station_->Running() || (loaded && loadEnded_); },
                settings_.seconds * 1000))
        Problem(!station_->Running()
                    ? QStringLiteral("the station ended during phase %1").arg(PhaseName(figures.phase))
                    : QStringLiteral("the load generator ended by itself during phase %1: %2")
                          .arg(PhaseName(figures.phase), QString::fromUtf8(load_.readAllStandardOutput())));
    Measure(figures, from, TakeSample());
    if (loaded) {
        figures.load = StopLoad();
        figures.afterLoad = bench::MeasureFootprint(station_->ProcessId());
    }
    std::printf("phase %-20s %5.1f s: %d verdicts, %.1f units/min, station CPU %.1f %% of one core\n",
                qPrintable(PhaseName(figures.phase)), figures.seconds, figures.verdicts,
                figures.unitsPerMinute,
                figures.seconds > 0 ? 100 * figures.cpuSeconds / figures.seconds : 0.0);
    std::fflush(stdout);
}

bool BoardBench::StartLoad(Phase phase) {
    QStringList arguments{QStringLiteral("--url"),
                          board_.toString(),
                          phase == Phase::OneBoard ? QStringLiteral("--board") : QStringLiteral("--crowd"),
                          QStringLiteral("--slots"),
                          QString::number(line::SlotsPerStation),
                          QStringLiteral("--records-at-least"),
                          QString::number(PrefilledRecords),
                          QStringLiteral("--streams"),
                          QString::number(settings_.streams),
                          QStringLiteral("--records-per-second"),
                          QString::number(settings_.recordsPerSecond),
                          QStringLiteral("--states-per-second"),
                          QString::number(settings_.statesPerSecond),
                          QStringLiteral("--seed"),
                          QString::number(settings_.seed)};
    loadEnded_ = false;
    load_.start(QStringLiteral(RQ70_BOARD_LOAD_PATH), arguments);
    if (!load_.waitForStarted(10000)) {
        Problem(QStringLiteral("the load generator did not start: %1").arg(load_.errorString()));
        return false;
    }
    return true;
}

QJsonObject BoardBench::StopLoad() {
    load_.write("stop\n");
    load_.closeWriteChannel();
    if (!WaitFor([this] { return loadEnded_; }, LoadStopTimeoutMs)) {
        Problem(QStringLiteral("the load generator did not end within %1 s of being told")
                    .arg(LoadStopTimeoutMs / 1000));
        load_.kill();
        load_.waitForFinished();
        return {};
    }
    const QList<QByteArray> lines = load_.readAllStandardOutput().trimmed().split('\n');
    const QJsonObject report = QJsonDocument::fromJson(lines.last()).object();
    if (load_.exitStatus() != QProcess::NormalExit || load_.exitCode() != 0 || report.isEmpty()) {
        Problem(
            QStringLiteral("the load generator ended with status %1 and no report").arg(load_.exitCode()));
        return {};
    }
    return report;
}

void BoardBench::EndShift() {
    arrivalsOpen_ = false;
    if (!station_)
        return;
    if (station_->Running()) {
        if (!WaitFor([this] { return station_->Idle() || !station_->Running(); }, EmptySlotsTimeoutMs))
            Problem(QStringLiteral("the slots did not empty within %1 s of the last arrival")
                        .arg(EmptySlotsTimeoutMs / 1000));
        // SIGTERM, as a service manager ends it: a bench started in the background has SIGINT
        // ignored, and the station keeps it so.
        station_->EndShift();
        if (!WaitFor([this] { return !station_->Running(); }, ExitTimeoutMs)) {
            Problem(
                QStringLiteral("the station did not exit within %1 s of SIGTERM").arg(ExitTimeoutMs / 1000));
            station_->Kill();
            WaitFor([this] { return !station_->Running(); }, ExitTimeoutMs);
        }
    }
    figures_.station = station_->Figures();
    problems_ << station_->Problems();
    figures_.wrongVerdicts = station_->WrongVerdicts();
    figures_.exitCode = station_->ExitCode();
    figures_.expectedExitCode = figures_.station.successes < figures_.station.verdicts ? 1 : 0;
    figures_.recordLinesAfter = RecordLines();

    QStringList wrong;
    if (figures_.exitCode != figures_.expectedExitCode)
        wrong << QStringLiteral("exit status %1, expected %2")
                     .arg(figures_.exitCode)
                     .arg(figures_.expectedExitCode);
    if (summary_.isEmpty()) {
        wrong << QStringLiteral("no summary");
    } else {
        const auto compare = [&](const char* key, int counted) {
            const int given = summary_.value(QLatin1String(key)).toInt(-1);
            if (given != counted)
                wrong << QStringLiteral("summary %1 %2, the bench counted %3")
                             .arg(QLatin1String(key))
                             .arg(given)
                             .arg(counted);
        };
        compare("units", figures_.station.verdicts);
        compare("succeeded", figures_.station.successes);
        compare("failed", figures_.station.verdicts - figures_.station.successes);
    }
    if (interrupts_.size() != 1)
        wrong << QStringLiteral("%1 interrupted events").arg(interrupts_.size());
    if (figures_.recordLinesAfter != figures_.recordLinesBefore + figures_.station.verdicts)
        wrong << QStringLiteral("%1 record lines after the shift, %2 before and %3 verdicts")
                     .arg(figures_.recordLinesAfter)
                     .arg(figures_.recordLinesBefore)
                     .arg(figures_.station.verdicts);
    figures_.shiftEndProblem = wrong.join(QStringLiteral("; "));
}

int BoardBench::RecordLines() const {
    QFile file(station_->RecordPath());
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return int(file.readAll().count('\n'));
}

bool BoardBench::WaitFor(const std::function<bool()>& done, int timeoutMs) {
    return bench::WaitUntil(this, &BoardBench::Changed, done, timeoutMs);
}

void BoardBench::Problem(const QString& text) {
    problems_ << text;
    std::printf("PROBLEM: %s\n", qPrintable(text));
    std::fflush(stdout);
}

} // namespace boardbench
