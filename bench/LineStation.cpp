// One station of the line bench: its process and its events, and the units in its slots.
#include "LineStation.h"

#include "BenchSupport.h"
#include "StationBenchParts.h"

#include <QDir>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace line {

namespace {

// A unit whose verdicts have not all come by then is counted as a hang and taken out.
constexpr int UnitTimeoutMs = 60000;
constexpr int NotesKept = 40;

} // namespace

struct LineStation::Unit : public QObject {
    station::UnitPlan plan;
    Slot* slot = nullptr;
    QProcess process;
    QByteArray notes;
    int verdicts = 0;
    // Of the run under way.
    QStringList verifyMessages;
    bool present = false;
    bool staying = false;
    bool takenOut = false;
    bool ended = false;
    bool hung = false;
    bool pulled = false;
    // In a slot when the station was killed: what became of it is nobody's verdict.
    bool interrupted = false;
    QTimer watchdog;
};

struct LineStation::Slot {
    int number = 0;
    QString port;
    Unit* unit = nullptr;
    QTimer arrival;
};

LineStation::LineStation(int number, const QString& folder, const QString& updateFile,
                         const QString& conninfo, NextUnit next, bool verbose)
    : number_(number), name_(QStringLiteral("line-%1").arg(number)), folder_(folder),
      portDir_(QDir(folder).filePath(QStringLiteral("ports"))),
      recordPath_(QDir(folder).filePath(QStringLiteral("record.jsonl"))), updateFile_(updateFile),
      conninfo_(conninfo), next_(std::move(next)), verbose_(verbose) {
    QDir().mkpath(portDir_);
    for (int n = 1; n <= SlotsPerStation; ++n) {
        auto slot = std::make_unique<Slot>();
        slot->number = n;
        slot->port = QDir(portDir_).filePath(QStringLiteral("COM%1").arg(n));
        slot->arrival.setSingleShot(true);
        Slot* raw = slot.get();
        connect(&slot->arrival, &QTimer::timeout, this, [this, raw] { Arrive(*raw); });
        slots_.push_back(std::move(slot));
    }
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    station::EndWithBench(process_);
    connect(&process_, &QProcess::readyReadStandardOutput, this, &LineStation::TakeOutput);
    connect(&process_, &QProcess::readyReadStandardError, this, [this] {
        for (const QByteArray& line : process_.readAllStandardError().split('\n')) {
            if (line.isEmpty())
                continue;
            if (verbose_)
                std::printf("%s: %s\n", qPrintable(name_), line.constData());
            notes_ << QString::fromUtf8(line);
            if (notes_.size() > NotesKept)
                notes_.removeFirst();
        }
    });
    connect(&process_, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        TakeOutput();
        exitCode_ = status == QProcess::NormalExit ? code : -1;
        if (status == QProcess::CrashExit && !killed_)
            Problem(QStringLiteral("the station crashed"));
        arrivalsOpen_ = false;
        emit Changed();
    });
}

LineStation::~LineStation() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished();
    }
    for (const auto& slot : slots_)
        delete slot->unit;
}

QStringList LineStation::Ports() const {
    QStringList ports;
    for (const auto& slot : slots_)
        ports << slot->port;
    return ports;
}

bool LineStation::Quiet() const {
    return !Running() && Idle();
}

bool LineStation::Idle() const {
    for (const auto& slot : slots_) {
        if (slot->unit)
            return false;
    }
    return true;
}

void LineStation::Start() {
    killed_ = false;
    shiftStarted_ = false;
    backlog_ = -1;
    backlogReason_.clear();
    ++figures_.starts;
    QStringList arguments{QStringLiteral("station"), updateFile_};
    for (const auto& slot : slots_)
        arguments << QStringLiteral("--port") << slot->port;
    arguments << QStringLiteral("--json") << QStringLiteral("--record") << recordPath_
              << QStringLiteral("--station") << name_;
    if (!conninfo_.isEmpty())
        arguments << QStringLiteral("--db") << conninfo_;
    arguments << options_;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("RQ70_PORT_DIR"));
    environment.remove(QStringLiteral("RQ70_DB"));
    environment.insert(QStringLiteral("RQ70_UPDATE_RECORD"),
                       QDir(folder_).filePath(QStringLiteral("elsewhere.jsonl")));
    process_.setProcessEnvironment(environment);
    // Every station's command differs only in its folder and its name.
    if (verbose_ || (figures_.starts == 1 && number_ == 1))
        std::printf("%s: %s %s\n", qPrintable(name_), RQ70_FLASH_PATH, qPrintable(arguments.join(' ')));
    std::fflush(stdout);
    process_.start(QStringLiteral(RQ70_FLASH_PATH), arguments);
    if (!process_.waitForStarted(10000)) {
        Problem(QStringLiteral("the station did not start: %1").arg(process_.errorString()));
        return;
    }
    arrivalsOpen_ = true;
    for (const auto& slot : slots_) {
        if (!slot->unit)
            slot->arrival.start(37 * slot->number);
    }
}

void LineStation::Kill() {
    TakeCpu();
    ++figures_.kills;
    killed_ = true;
    arrivalsOpen_ = false;
    station::Signal(process_, SIGKILL);
    for (const auto& slot : slots_) {
        slot->arrival.stop();
        if (Unit* unit = slot->unit) {
            unit->interrupted = true;
            ++figures_.interruptedUnits;
            unit->watchdog.stop();
            TakeOut(*unit);
        }
    }
}

void LineStation::EndShift() {
    TakeCpu();
    arrivalsOpen_ = false;
    for (const auto& slot : slots_)
        slot->arrival.stop();
    station::Signal(process_, SIGTERM);
}

void LineStation::TakeCpu() {
    const double seconds = bench::CpuSecondsOf(process_.processId());
    if (Running() && seconds >= 0)
        figures_.cpuSeconds += seconds;
}

void LineStation::TakeOutput() {
    while (process_.canReadLine()) {
        const QByteArray line = process_.readLine().trimmed();
        if (line.isEmpty())
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (!document.isObject()) {
            ++figures_.badEvents;
            Problem(QStringLiteral("a line that is no JSON object: %1").arg(QString::fromUtf8(line)));
            continue;
        }
        OnEvent(document.object());
        emit StationEvent(document.object());
        emit Changed();
    }
}

void LineStation::OnEvent(const QJsonObject& event) {
    const QString kind = event.value("event").toString();
    if (kind == QLatin1String("shift")) {
        shiftStarted_ = true;
    } else if (kind == QLatin1String("db_backlog")) {
        backlog_ = event.value("lines").toInt(-1);
        backlogReason_ = station::Text(event.value("reason"));
        figures_.largestBacklog = std::max(figures_.largestBacklog, backlog_);
        if (verbose_)
            std::printf("%s: backlog %d%s\n", qPrintable(name_), backlog_,
                        backlogReason_.isEmpty() ? ""
                                                 : qPrintable(QStringLiteral(" (%1)").arg(backlogReason_)));
    } else if (event.contains(QLatin1String("slot"))) {
        const int number = event.value("slot").toInt();
        if (number < 1 || number > SlotsPerStation) {
            ++figures_.badEvents;
            Problem(QStringLiteral("an event of slot %1: %2")
                        .arg(number)
                        .arg(QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact))));
            return;
        }
        OnSlotEvent(*slots_[std::size_t(number - 1)], kind, event);
    }
}

void LineStation::OnSlotEvent(Slot& slot, const QString& kind, const QJsonObject& event) {
    Unit* unit = slot.unit;
    if (kind == QLatin1String("start") && !unit) {
        ++figures_.badEvents;
        Problem(QStringLiteral("slot %1: a start with no unit in the slot").arg(slot.number));
    } else if (kind == QLatin1String("start")) {
        unit->verifyMessages.clear();
    } else if (kind == QLatin1String("verify_failed") && unit) {
        unit->verifyMessages << event.value("message").toString();
    } else if ((kind == QLatin1String("phase") || kind == QLatin1String("progress")) && unit &&
               unit->plan.fault == station::Fault::Pull && !unit->pulled) {
        const QString phase = event.value("phase").toString();
        if (station::PhaseOrder(phase) > station::PhaseOrder(unit->plan.pullPhase) ||
            (phase == unit->plan.pullPhase && event.value("percent").toInt() >= unit->plan.pullPercent))
            Pull(*unit);
    } else if (kind == QLatin1String("verdict")) {
        ++figures_.verdicts;
        figures_.successes += event.value("verdict").toString() == QLatin1String("success");
        if (!unit) {
            ++figures_.badEvents;
            Problem(QStringLiteral("slot %1: a verdict with no unit in the slot").arg(slot.number));
            return;
        }
        Judge(*unit, event);
        ++unit->verdicts;
        figures_.extraVerdicts += unit->verdicts > unit->plan.verdicts.size();
        // A pull aimed at a run that ended first: the unit leaves and comes back all the same.
        if (unit->plan.fault == station::Fault::Pull && !unit->pulled)
            Pull(*unit);
        LeaveWhenDone(*unit);
    }
}

void LineStation::Judge(const Unit& unit, const QJsonObject& event) {
    // An empty expectation takes any verdict, and one beyond the plan is counted apart.
    if (unit.verdicts >= unit.plan.verdicts.size() || !unit.plan.verdicts[unit.verdicts])
        return;
    soak::Observation seen;
    const QString verdict = station::Text(event.value("verdict"));
    seen.success = verdict == QLatin1String("success");
    if (!seen.success && verdict != QLatin1String("failure"))
        seen.problem = QStringLiteral("the verdict was \"%1\"").arg(verdict);
    seen.phase = station::PhaseFromName(station::Text(event.value("failed_phase")));
    seen.word = station::Word(event.value("failed_word"));
    seen.identification = station::Text(event.value("identification"));
    seen.verifyMessages = unit.verifyMessages;
    const QString mismatch = soak::Mismatch(*unit.plan.verdicts[unit.verdicts], seen);
    if (mismatch.isEmpty())
        return;
    ++figures_.wrongVerdicts;
    const QString reason = station::Text(event.value("reason"));
    const QString line =
        QStringLiteral("%1: unit %2 (%3) in slot %4: verdict %5: %6%7")
            .arg(name_)
            .arg(unit.plan.number)
            .arg(unit.plan.faultText)
            .arg(unit.slot->number)
            .arg(unit.verdicts + 1)
            .arg(mismatch, reason.isEmpty() ? QString() : QStringLiteral(" (\"%1\")").arg(reason));
    wrongVerdicts_ << line;
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

void LineStation::Arrive(Slot& slot) {
    if (slot.unit || !arrivalsOpen_)
        return;
    const std::optional<station::UnitPlan> plan = next_();
    if (!plan)
        return;
    ++figures_.units;
    auto* unit = new Unit;
    unit->plan = *plan;
    unit->slot = &slot;
    slot.unit = unit;
    QProcess& process = unit->process;
    station::EndWithBench(process);
    connect(&process, &QProcess::readyReadStandardOutput, unit, [this, unit] {
        // Each line is the pty's path: the link is in place (again).
        unit->process.readAllStandardOutput();
        if (!unit->present) {
            unit->present = true;
            LeaveWhenDone(*unit);
        }
    });
    connect(&process, &QProcess::readyReadStandardError, unit,
            [unit] { unit->notes += unit->process.readAllStandardError(); });
    connect(&process, &QProcess::finished, unit, [this, unit] { OnUnitEnded(*unit); });
    connect(&process, &QProcess::errorOccurred, unit, [this, unit](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        Problem(QStringLiteral("unit %1: the simulator did not start").arg(unit->plan.number));
        unit->hung = true;
        OnUnitEnded(*unit);
    });
    unit->watchdog.setSingleShot(true);
    connect(&unit->watchdog, &QTimer::timeout, unit, [this, unit] {
        if (unit->verdicts >= unit->plan.verdicts.size())
            return;
        unit->hung = true;
        ++figures_.hangs;
        Problem(QStringLiteral("unit %1 (%2) in slot %3: %4 of %5 verdicts after %6 s")
                    .arg(unit->plan.number)
                    .arg(unit->plan.faultText)
                    .arg(unit->slot->number)
                    .arg(unit->verdicts)
                    .arg(unit->plan.verdicts.size())
                    .arg(UnitTimeoutMs / 1000));
        TakeOut(*unit);
    });
    unit->watchdog.start(UnitTimeoutMs);
    process.start(QStringLiteral(RQ70_DEVSIM_PATH),
                  QStringList{QStringLiteral("--port-dir"), portDir_, QStringLiteral("--port"),
                              QStringLiteral("COM%1").arg(slot.number), QStringLiteral("--id"), plan->id}
                      << plan->deviceOptions);
}

void LineStation::LeaveWhenDone(Unit& unit) {
    if (!unit.present || unit.verdicts < unit.plan.verdicts.size() || unit.staying)
        return;
    unit.staying = true;
    unit.watchdog.stop();
    QTimer::singleShot(unit.plan.stayMs, &unit, [this, &unit] { TakeOut(unit); });
}

void LineStation::TakeOut(Unit& unit) {
    if (unit.takenOut)
        return;
    unit.takenOut = true;
    // SIGTERM: the simulator removes its link and closes its pty. One that hung up has ended
    // already.
    station::Signal(unit.process, SIGTERM);
    if (unit.ended)
        OnUnitEnded(unit);
}

void LineStation::OnUnitEnded(Unit& unit) {
    if (!unit.ended) {
        unit.ended = true;
        unit.notes += unit.process.readAllStandardError();
        if (!unit.takenOut && !unit.plan.hangsUp && !unit.hung && !unit.interrupted) {
            Problem(QStringLiteral("unit %1: the simulator ended by itself: %2")
                        .arg(unit.plan.number)
                        .arg(QString::fromLocal8Bit(unit.notes).trimmed()));
            unit.hung = true;
        }
    }
    // One that hung up stays in its slot until its verdicts are in.
    if (!unit.takenOut && !unit.hung)
        return;
    Slot& slot = *unit.slot;
    if (slot.unit != &unit)
        return;
    slot.unit = nullptr;
    ++unitsDone_;
    unit.deleteLater();
    if (arrivalsOpen_)
        slot.arrival.start(unit.plan.nextGapMs);
    emit Changed();
}

void LineStation::Pull(Unit& unit) {
    unit.pulled = true;
    station::Signal(unit.process, SIGUSR1);
    QTimer::singleShot(unit.plan.plugBackMs, &unit, [&unit] { station::Signal(unit.process, SIGUSR2); });
}

void LineStation::Problem(const QString& text) {
    const QString line = QStringLiteral("%1: %2").arg(name_, text);
    problems_ << line;
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

} // namespace line
