#include "StationBench.h"

#include "MemoryDifference.h"

#include "update/UpdateProcedure.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QTimer>

#include <sys/prctl.h>

#include <csignal>
#include <cstdio>

namespace station {

namespace {

constexpr int SlotCount = 8;
// Units through the station before its footprint is taken as the baseline: the first updates on
// each slot's thread fill caches and the allocator's arenas.
constexpr int WarmUpUnits = 40;
// How often the shift pauses for an idle footprint on the way.
constexpr int CheckpointEvery = 100;
// A unit whose verdicts have not all come by then is counted as a hang and taken out; after a few
// of them the station is taken to be stuck and no more units arrive.
constexpr int UnitTimeoutMs = 60000;
constexpr int HangsBeforeGivingUp = 3;
constexpr int SettleTimeoutMs = 20000;
constexpr int ExitTimeoutMs = 30000;
constexpr int StationNotesKept = 40;
constexpr int StallReportMs = 30000;

rq70::UpdatePhase PhaseFromName(const QString& name) {
    for (const rq70::UpdatePhase phase :
         {rq70::UpdatePhase::Erase, rq70::UpdatePhase::Program, rq70::UpdatePhase::Eeprom}) {
        if (rq70::PhaseName(phase) == name)
            return phase;
    }
    return rq70::UpdatePhase::None;
}

int PhaseOrder(const QString& name) {
    return static_cast<int>(PhaseFromName(name));
}

QString Text(const QJsonValue& value) {
    return value.isString() ? value.toString() : QString();
}

int Word(const QJsonValue& value) {
    return value.isDouble() ? value.toInt() : -1;
}

// One verdict as its event and its record line both give it.
QString VerdictKey(int slot, const QJsonObject& object) {
    return QStringLiteral("slot %1, %2, identification \"%3\", phase \"%4\", word %5")
        .arg(slot)
        .arg(Text(object.value("verdict")), Text(object.value("identification")),
             Text(object.value("failed_phase")))
        .arg(Word(object.value("failed_word")));
}

// The station and the simulators end with the bench, however it ends (a test's time limit, say).
void EndWithBench(QProcess& process) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

void Signal(QProcess& process, int number) {
    if (process.state() == QProcess::Running)
        ::kill(static_cast<pid_t>(process.processId()), number);
}

} // namespace

// A simulated unit in a slot, from its arrival until it has left and been judged.
class StationBench::Unit : public QObject {
public:
    UnitPlan plan;
    Slot* slot = nullptr;
    // A silent unit that holds a port open while the station idles; not one of the shift's.
    bool idle = false;
    QProcess process;
    QString dumpPath;
    QByteArray notes;
    // Its link is in place.
    bool present = false;
    bool verdictsComplete = false;
    bool staying = false;
    bool takenOut = false;
    bool ended = false;
    bool hung = false;
    bool judged = false;
    bool pulled = false;
    bool doubleUpdated = false;
    bool wrong = false;
    int starts = 0;
    QList<soak::Observation> verdicts;
    // The run under way, as its events come.
    soak::Observation current;
    QElapsedTimer since;
    QTimer watchdog;
};

struct StationBench::Slot {
    int number = 0;
    QString port;
    // The unit the bench has put in, until it is judged.
    Unit* unit = nullptr;
    // The unit of the station's last start event in this slot, until its verdict.
    Unit* updating = nullptr;
    int startsSinceLeft = 0;
    QString lastEvent;
    QTimer arrival;
    // As the station's summary must count them.
    int updates = 0;
    int successes = 0;
};

StationBench::StationBench(const BenchSettings& settings, const ShiftFile& file)
    : settings_(settings), file_(file) {
    // Arrival gaps of a slot's first unit after a pause: from the seed, apart from every unit's draw.
    std::seed_seq sequence{quint32(settings.seed), quint32(settings.seed >> 32), 0xFFFFFFFFu};
    arrivals_.seed(sequence);
    portDir_ = work_.filePath(QStringLiteral("ports"));
    QDir().mkpath(portDir_);
    QDir().mkpath(work_.filePath(QStringLiteral("dumps")));
    recordPath_ = work_.filePath(QStringLiteral("record.jsonl"));
    note_ = QStringLiteral("bench %1").arg(settings.seed);
    for (int n = 1; n <= SlotCount; ++n) {
        auto slot = std::make_unique<Slot>();
        slot->number = n;
        slot->port = QDir(portDir_).filePath(QStringLiteral("COM%1").arg(n));
        slot->arrival.setSingleShot(true);
        Slot* raw = slot.get();
        connect(&slot->arrival, &QTimer::timeout, this, [this, raw] { Arrive(*raw); });
        slots_.push_back(std::move(slot));
    }
    station_.setProcessChannelMode(QProcess::SeparateChannels);
    EndWithBench(station_);
}

StationBench::~StationBench() {
    if (station_.state() != QProcess::NotRunning) {
        station_.kill();
        station_.waitForFinished();
    }
    for (const auto& slot : slots_)
        delete slot->unit;
}

bool StationBench::Passed() const {
    const Figures& f = figures_;
    const bool idleJudged = settings_.idleSeconds >= JudgedIdleSeconds;
    return problems_.isEmpty() && f.wrongVerdicts == 0 && f.doubleUpdates == 0 && f.strayWords == 0 &&
           f.hangs == 0 && f.deviceErrors == 0 && f.badEvents == 0 && f.recordWarnings == 0 &&
           f.lostRecordLines == 0 && f.surplusRecordLines == 0 && f.badRecordLines == 0 &&
           f.descriptorGrowth <= 0 && f.threadGrowth <= 0 &&
           (!bench::RssIsMeaningful || f.finalRssGrowthKb < RssGrowthLimitKb) &&
           f.shiftEndProblem.isEmpty() &&
           (!idleJudged ||
            (f.idleCpuSeconds >= 0 && 100 * f.idleCpuSeconds / f.idleSeconds <= IdleCpuLimitPercent));
}

void StationBench::Run() {
    QElapsedTimer clock;
    clock.start();
    StartStation();
    if (!WaitFor([this] { return !shiftId_.isUndefined() || stationEnded_; }, SettleTimeoutMs))
        Problem(QStringLiteral("the station printed no shift event"));

    const int warm = std::min(WarmUpUnits, settings_.units / 3);
    QList<int> checkpoints;
    if (warm > 0)
        checkpoints << warm;
    for (int at = CheckpointEvery; at < settings_.units; at += CheckpointEvery) {
        if (at > warm)
            checkpoints << at;
    }
    checkpoints << settings_.units;
    for (const int at : checkpoints) {
        RunUnitsUpTo(at);
        if (stationEnded_ || figures_.hangs >= HangsBeforeGivingUp)
            break;
        const bool last = at == settings_.units;
        figures_.wallSeconds = double(clock.elapsed()) / 1000;
        IdleCheckpoint(at, last);
        if (!last)
            EndIdle();
    }
    EndShift();
}

void StationBench::StartStation() {
    const QString updateFile = work_.filePath(QStringLiteral("RQ70-BENCH.KRV"));
    QFile file(updateFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(file_.bytes) != file_.bytes.size())
        qFatal("cannot write %s", qPrintable(updateFile));
    file.close();

    QStringList arguments{QStringLiteral("station"), updateFile};
    for (const auto& slot : slots_)
        arguments << QStringLiteral("--port") << slot->port;
    arguments << QStringLiteral("--json") << QStringLiteral("--record") << recordPath_
              << QStringLiteral("--note") << note_;
    // The ports are named by their paths; a record written anywhere but --record stays here too.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("RQ70_PORT_DIR"));
    environment.insert(QStringLiteral("RQ70_UPDATE_RECORD"),
                       work_.filePath(QStringLiteral("elsewhere.jsonl")));
    station_.setProcessEnvironment(environment);
    connect(&station_, &QProcess::readyReadStandardOutput, this, &StationBench::TakeStationOutput);
    connect(&station_, &QProcess::readyReadStandardError, this, [this] {
        for (const QByteArray& line : station_.readAllStandardError().split('\n')) {
            if (line.isEmpty())
                continue;
            if (settings_.verbose)
                std::printf("station: %s\n", line.constData());
            stationNotes_ << QString::fromUtf8(line);
            if (stationNotes_.size() > StationNotesKept)
                stationNotes_.removeFirst();
        }
    });
    connect(&station_, &QProcess::finished, this, [this](int, QProcess::ExitStatus status) {
        TakeStationOutput();
        if (status == QProcess::CrashExit)
            Problem(QStringLiteral("the station crashed"));
        stationEnded_ = true;
        emit Changed();
    });
    std::printf("station: %s %s\n", RQ70_FLASH_PATH, qPrintable(arguments.join(' ')));
    std::fflush(stdout);
    station_.start(QStringLiteral(RQ70_FLASH_PATH), arguments);
    if (!station_.waitForStarted(10000)) {
        Problem(QStringLiteral("the station did not start: %1").arg(station_.errorString()));
        stationEnded_ = true;
    }
}

void StationBench::TakeStationOutput() {
    while (station_.canReadLine()) {
        const QByteArray line = station_.readLine().trimmed();
        if (line.isEmpty())
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (!document.isObject()) {
            ++figures_.badEvents;
            Problem(
                QStringLiteral("a line of the station is no JSON object: %1").arg(QString::fromUtf8(line)));
            continue;
        }
        lastEvent_ = document.object();
        OnEvent(lastEvent_);
        emit Changed();
    }
}

void StationBench::OnEvent(const QJsonObject& event) {
    const QString kind = event.value("event").toString();
    if (kind == QLatin1String("shift")) {
        shiftId_ = event.value("shift");
        QJsonArray ports;
        for (const auto& slot : slots_)
            ports.append(slot->port);
        if (Text(event.value("note")) != note_ || event.value("ports").toArray() != ports) {
            ++figures_.badEvents;
            Problem(QStringLiteral("the shift event names other ports or another note: %1")
                        .arg(QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact))));
        }
        return;
    }
    if (kind == QLatin1String("summary")) {
        summary_ = event;
        return;
    }
    if (kind == QLatin1String("interrupted")) {
        interruptStages_ << event.value("stage").toInt();
        return;
    }
    const int number = event.value("slot").toInt();
    if (number < 1 || number > SlotCount) {
        ++figures_.badEvents;
        Problem(QStringLiteral("an event without a slot of the shift: %1")
                    .arg(QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact))));
        return;
    }
    OnSlotEvent(*slots_[std::size_t(number - 1)], kind, event);
}

void StationBench::OnSlotEvent(Slot& slot, const QString& kind, const QJsonObject& event) {
    if (event.value("port").toString() != slot.port) {
        ++figures_.badEvents;
        Problem(QStringLiteral("slot %1: a %2 event names port %3")
                    .arg(slot.number)
                    .arg(kind, Text(event.value("port"))));
    }
    if (kind == QLatin1String("port_gone") || kind == QLatin1String("port_back") ||
        kind == QLatin1String("waiting") || kind == QLatin1String("identification")) {
        // The verdict repeats the identification; the rest says where the slot is.
    } else if (kind == QLatin1String("open_failed")) {
        ++figures_.openFailures;
    } else if (kind == QLatin1String("unit_left")) {
        slot.startsSinceLeft = 0;
    } else if (kind == QLatin1String("start")) {
        ++figures_.updates;
        ++slot.updates;
        if (event.value("unit").toInt() != slot.updates) {
            ++figures_.badEvents;
            Problem(QStringLiteral("slot %1: start of unit %2, the slot's unit %3")
                        .arg(slot.number)
                        .arg(event.value("unit").toInt())
                        .arg(slot.updates));
        }
        const bool again = slot.startsSinceLeft++ > 0;
        Unit* unit = slot.unit;
        slot.updating = unit;
        if (!unit) {
            ++figures_.doubleUpdates;
            Problem(QStringLiteral("slot %1: a start with no unit in the slot").arg(slot.number));
            return;
        }
        ++unit->starts;
        unit->current = {};
        if (unit->plan.verdicts.isEmpty()) {
            unit->wrong = true;
            ++figures_.wrongVerdicts;
            Report(*unit, "WRONG START", QStringLiteral("a device that never answers was taken for a unit"));
        } else if ((again || unit->starts > unit->plan.verdicts.size()) && !unit->doubleUpdated) {
            unit->doubleUpdated = true;
            ++figures_.doubleUpdates;
            Report(*unit, "DOUBLE UPDATE",
                   again ? QStringLiteral("a second start in the slot without unit_left between")
                         : QStringLiteral("start %1 of a unit that arrived %2 time(s)")
                               .arg(unit->starts)
                               .arg(unit->plan.verdicts.size()));
        }
    } else if (kind == QLatin1String("phase") || kind == QLatin1String("progress")) {
        Unit* unit = slot.updating;
        const QString phase = event.value("phase").toString();
        if (unit && unit->plan.fault == Fault::Pull && !unit->pulled &&
            (PhaseOrder(phase) > PhaseOrder(unit->plan.pullPhase) ||
             (phase == unit->plan.pullPhase && event.value("percent").toInt() >= unit->plan.pullPercent))) {
            unit->pulled = true;
            ++figures_.pulls;
            Signal(unit->process, SIGUSR1);
            QTimer::singleShot(unit->plan.plugBackMs, unit, [unit] { Signal(unit->process, SIGUSR2); });
        }
    } else if (kind == QLatin1String("verify_failed")) {
        if (slot.updating)
            slot.updating->current.verifyMessages << event.value("message").toString();
    } else if (kind == QLatin1String("verdict")) {
        OnVerdict(slot, event);
    } else {
        ++figures_.badEvents;
        Problem(QStringLiteral("slot %1: an event of unknown kind \"%2\"").arg(slot.number).arg(kind));
    }
    slot.lastEvent = kind;
}

void StationBench::OnVerdict(Slot& slot, const QJsonObject& event) {
    const QString verdict = event.value("verdict").toString();
    ++verdictKeys_[VerdictKey(slot.number, event)];
    const bool success = verdict == QLatin1String("success");
    ++(success ? figures_.successes : figures_.failures);
    slot.successes += success;
    if (!event.value("record_warning").isNull()) {
        ++figures_.recordWarnings;
        Problem(QStringLiteral("slot %1: record warning: %2")
                    .arg(slot.number)
                    .arg(Text(event.value("record_warning"))));
    }
    Unit* unit = slot.updating;
    slot.updating = nullptr;
    if (!unit) {
        ++figures_.badEvents;
        Problem(QStringLiteral("slot %1: a verdict without a start").arg(slot.number));
        return;
    }
    soak::Observation seen = unit->current;
    seen.success = success;
    if (!success && verdict != QLatin1String("failure"))
        seen.problem = QStringLiteral("the verdict was \"%1\"").arg(verdict);
    seen.phase = PhaseFromName(Text(event.value("failed_phase")));
    seen.word = Word(event.value("failed_word"));
    seen.identification = Text(event.value("identification"));
    const qsizetype index = unit->verdicts.size();
    unit->verdicts << seen;
    if (index < unit->plan.verdicts.size()) {
        QString mismatch;
        if (const auto& expect = unit->plan.verdicts[index])
            mismatch = soak::Mismatch(*expect, seen);
        else
            mismatch = seen.problem;
        if (!mismatch.isEmpty()) {
            if (!unit->wrong)
                ++figures_.wrongVerdicts;
            unit->wrong = true;
            Report(*unit, "WRONG VERDICT", QStringLiteral("verdict %1: %2").arg(index + 1).arg(mismatch));
        }
        // A pull aimed at a run that ended first: the unit leaves and comes back all the same.
        if (unit->plan.fault == Fault::Pull && index == 0) {
            figures_.latePulls += success;
            if (!unit->pulled) {
                unit->pulled = true;
                ++figures_.pulls;
                Signal(unit->process, SIGUSR1);
                QTimer::singleShot(unit->plan.plugBackMs, unit, [unit] { Signal(unit->process, SIGUSR2); });
            }
        }
    }
    if (unit->verdicts.size() == unit->plan.verdicts.size()) {
        unit->verdictsComplete = true;
        unit->watchdog.stop();
        StayThenLeave(*unit);
    }
}

void StationBench::ScheduleArrival(Slot& slot, int gapMs) {
    slot.arrival.start(gapMs);
}

void StationBench::Arrive(Slot& slot) {
    if (slot.unit || launched_ >= launchLimit_ || stationEnded_ || figures_.hangs >= HangsBeforeGivingUp)
        return;
    const UnitPlan plan = DrawUnit(settings_.seed, settings_.first + launched_, file_);
    ++launched_;
    ++figures_.units;
    figures_.silentUnits += plan.fault == Fault::Silent;
    figures_.contactBreaks += plan.fault == Fault::ContactBreak;
    Launch(slot, plan, false);
}

StationBench::Unit* StationBench::Launch(Slot& slot, const UnitPlan& plan, bool idle) {
    auto* unit = new Unit;
    unit->plan = plan;
    unit->slot = &slot;
    unit->idle = idle;
    unit->dumpPath =
        work_.filePath(QStringLiteral("dumps/%1-%2.json").arg(idle ? "idle" : "unit").arg(plan.number));
    unit->verdictsComplete = plan.verdicts.isEmpty();
    unit->since.start();
    slot.unit = unit;
    slot.lastEvent.clear();

    QProcess& process = unit->process;
    EndWithBench(process);
    connect(&process, &QProcess::readyReadStandardOutput, unit, [this, unit] {
        // Each line is the pty's path: the link is in place (again).
        unit->process.readAllStandardOutput();
        if (!unit->present) {
            unit->present = true;
            StayThenLeave(*unit);
            emit Changed();
        }
    });
    connect(&process, &QProcess::readyReadStandardError, unit,
            [unit] { unit->notes += unit->process.readAllStandardError(); });
    connect(&process, &QProcess::finished, unit, [this, unit] { OnUnitEnded(*unit); });
    connect(&process, &QProcess::errorOccurred, unit, [this, unit](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        ++figures_.deviceErrors;
        Report(*unit, "device error", QStringLiteral("the simulator did not start"));
        unit->ended = unit->verdictsComplete = unit->hung = true;
        Judge(*unit);
    });
    if (!idle) {
        unit->watchdog.setSingleShot(true);
        connect(&unit->watchdog, &QTimer::timeout, unit, [this, unit] { OnHang(*unit); });
        if (!unit->verdictsComplete)
            unit->watchdog.start(UnitTimeoutMs);
    }
    process.start(QStringLiteral(RQ70_DEVSIM_PATH),
                  QStringList{QStringLiteral("--port-dir"), portDir_, QStringLiteral("--port"),
                              QStringLiteral("COM%1").arg(slot.number), QStringLiteral("--id"), plan.id,
                              QStringLiteral("--dump"), unit->dumpPath}
                      << plan.deviceOptions);
    return unit;
}

void StationBench::StayThenLeave(Unit& unit) {
    if (!unit.present || !unit.verdictsComplete || unit.staying || unit.idle)
        return;
    unit.staying = true;
    QTimer::singleShot(unit.plan.stayMs, &unit, [this, &unit] { TakeOut(unit); });
}

void StationBench::TakeOut(Unit& unit) {
    if (unit.takenOut)
        return;
    unit.takenOut = true;
    // SIGTERM: the simulator removes its link and closes its pty, and writes its memory. One that
    // hung up has ended already, maybe before its verdict came.
    Signal(unit.process, SIGTERM);
    if (unit.ended && (unit.verdictsComplete || unit.hung))
        Judge(unit);
}

void StationBench::OnUnitEnded(Unit& unit) {
    unit.ended = true;
    unit.notes += unit.process.readAllStandardError();
    if (!unit.takenOut && !unit.plan.hangsUp && !unit.hung) {
        ++figures_.deviceErrors;
        Report(unit, "device error",
               QStringLiteral("the simulator ended by itself: %1")
                   .arg(QString::fromLocal8Bit(unit.notes).trimmed()));
        unit.hung = true;
    }
    if (unit.verdictsComplete || unit.hung)
        Judge(unit);
}

void StationBench::OnHang(Unit& unit) {
    if (unit.verdictsComplete || unit.hung)
        return;
    unit.hung = true;
    ++figures_.hangs;
    Report(unit, "HANG",
           QStringLiteral("%1 of %2 verdicts after %3 s; the slot's last event: %4")
               .arg(unit.verdicts.size())
               .arg(unit.plan.verdicts.size())
               .arg(UnitTimeoutMs / 1000)
               .arg(unit.slot->lastEvent.isEmpty() ? QStringLiteral("none since it arrived")
                                                   : unit.slot->lastEvent));
    TakeOut(unit);
}

void StationBench::Judge(Unit& unit) {
    if (unit.judged)
        return;
    unit.judged = true;
    QFile file(unit.dumpPath);
    const QJsonObject dump =
        file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
    bool fine = !unit.wrong && !unit.doubleUpdated && !unit.hung;
    if (dump.isEmpty()) {
        ++figures_.deviceErrors;
        Report(unit, "device error", QStringLiteral("no memory dump"));
        fine = false;
    } else {
        // Every run the unit was there for erases each row once; more is a run too many.
        const int erases = dump.value("commands").toObject().value("erase").toInt();
        const qsizetype most = unit.plan.verdicts.size() * file_.EraseRows();
        if (erases > most && !unit.doubleUpdated) {
            unit.doubleUpdated = true;
            ++figures_.doubleUpdates;
            Report(unit, "DOUBLE UPDATE",
                   QStringLiteral("the device took %1 erase commands, %2 run(s) of %3 rows at most")
                       .arg(erases)
                       .arg(unit.plan.verdicts.size())
                       .arg(file_.EraseRows()));
            fine = false;
        }
        // Outside the rows an update writes, nothing but stray bytes could have written a word.
        if (const QString stray = WordOutsideRows(dump, file_.images); !stray.isEmpty()) {
            ++figures_.strayWords;
            Report(unit, "STRAY WORD", stray);
            fine = false;
        }
        if (!unit.hung && !unit.verdicts.isEmpty() && unit.verdicts.last().success) {
            if (const QString difference = MemoryDifference(dump, file_.images); !difference.isEmpty()) {
                if (!unit.wrong)
                    ++figures_.wrongVerdicts;
                unit.wrong = true;
                Report(unit, "FALSE SUCCESS", difference);
                fine = false;
            }
        }
    }
    if (fine && settings_.verbose && !unit.idle) {
        QStringList verdicts;
        for (const soak::Observation& seen : unit.verdicts)
            verdicts << (seen.success ? QStringLiteral("success") : QStringLiteral("failure"));
        Report(unit, "as expected",
               QStringLiteral("%1 in %2 ms")
                   .arg(verdicts.isEmpty() ? QStringLiteral("never a unit") : verdicts.join(", "))
                   .arg(unit.since.elapsed()));
    }
    Slot& slot = *unit.slot;
    if (slot.unit == &unit)
        slot.unit = nullptr;
    if (slot.updating == &unit)
        slot.updating = nullptr;
    if (unit.idle) {
        --idleUnits_;
    } else {
        ++judged_;
        ScheduleArrival(slot, unit.plan.nextGapMs);
    }
    unit.deleteLater();
    emit Changed();
}

void StationBench::RunUnitsUpTo(int units) {
    launchLimit_ = units;
    for (const auto& slot : slots_) {
        if (!slot->unit && !slot->arrival.isActive())
            ScheduleArrival(*slot, std::uniform_int_distribution<int>(0, 300)(arrivals_));
    }
    // Should the shift stand still, say where every slot is, to tell a stuck station from a stuck
    // bench.
    QTimer stall;
    int judgedBefore = judged_;
    connect(&stall, &QTimer::timeout, this, [this, &judgedBefore] {
        if (judged_ == judgedBefore)
            PrintSlots(QStringLiteral("no unit judged for %1 s").arg(StallReportMs / 1000));
        judgedBefore = judged_;
    });
    stall.start(StallReportMs);
    WaitFor(
        [this] {
            return stationEnded_ || (judged_ == launched_ &&
                                     (launched_ == launchLimit_ || figures_.hangs >= HangsBeforeGivingUp));
        },
        -1);
}

void StationBench::PrintSlots(const QString& why) {
    std::printf("%s: %d units launched, %d judged, up to %d\n", qPrintable(why), launched_, judged_,
                launchLimit_);
    for (const auto& slot : slots_) {
        const Unit* unit = slot->unit;
        const QString what = unit
                                 ? QStringLiteral("unit %1 (%2; %3%4%5%6%7, verdicts %8 of %9)")
                                       .arg(unit->plan.number)
                                       .arg(unit->plan.faultText, unit->present ? "present" : "not there yet",
                                            unit->takenOut ? ", taken out" : "", unit->ended ? ", ended" : "",
                                            unit->hung ? ", hung" : "", unit->idle ? ", idle" : "")
                                       .arg(unit->verdicts.size())
                                       .arg(unit->plan.verdicts.size())
                                 : QStringLiteral("empty");
        std::printf("  slot %d: %s, last event %s%s\n", slot->number, qPrintable(what),
                    slot->lastEvent.isEmpty() ? "none" : qPrintable(slot->lastEvent),
                    slot->arrival.isActive() ? ", arrival due" : "");
    }
    std::fflush(stdout);
}

void StationBench::IdleCheckpoint(int unitsDone, bool last) {
    const std::size_t half = slots_.size() / 2;
    for (std::size_t i = 0; i < half; ++i) {
        UnitPlan plan;
        plan.number = int(i) + 1;
        plan.id = QStringLiteral("RQ-70 idle %1").arg(plan.number);
        plan.fault = Fault::Silent;
        plan.faultText = QStringLiteral("--silent (idle)");
        plan.deviceOptions = {QStringLiteral("--silent")};
        Launch(*slots_[i], plan, true);
        ++idleUnits_;
    }
    const auto settled = [this, half] {
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            const Slot& slot = *slots_[i];
            if (i < half ? !(slot.unit && slot.unit->present && slot.lastEvent == QLatin1String("waiting"))
                         : slot.lastEvent != QLatin1String("port_gone"))
                return false;
        }
        return true;
    };
    if (!WaitFor([&] { return stationEnded_ || settled(); }, SettleTimeoutMs) || !settled()) {
        QStringList states;
        for (const auto& slot : slots_)
            states << QStringLiteral("%1: %2").arg(slot->number).arg(slot->lastEvent);
        Problem(QStringLiteral("after unit %1 the station did not settle on idle slots within %2 s (%3)")
                    .arg(settings_.first + unitsDone - 1)
                    .arg(SettleTimeoutMs / 1000)
                    .arg(states.join(", ")));
        return;
    }
    const bench::Footprint now = SettledFootprint();
    const bool baseline = !figures_.baselineTaken && !last;
    if (baseline) {
        figures_.baseline = now;
        figures_.baselineTaken = true;
        figures_.baselineAfter = unitsDone;
    } else if (figures_.baselineTaken) {
        const int descriptors = now.descriptors - figures_.baseline.descriptors;
        const int threads = now.threads - figures_.baseline.threads;
        const long rss = now.residentKb - figures_.baseline.residentKb;
        std::printf("after %d units: %d descriptors, %d threads, %ld kB resident, %ld kB of it anonymous "
                    "(%+d, %+d, %+ld kB, %+ld kB)\n",
                    unitsDone, now.descriptors, now.threads, now.residentKb, now.anonymousKb, descriptors,
                    threads, rss, now.anonymousKb - figures_.baseline.anonymousKb);
        figures_.descriptorGrowth = std::max(figures_.descriptorGrowth, descriptors);
        figures_.threadGrowth = std::max(figures_.threadGrowth, threads);
        figures_.maxRssGrowthKb = std::max(figures_.maxRssGrowthKb, rss);
        figures_.finalRssGrowthKb = rss;
    }
    if (baseline)
        std::printf("after %d units: %d descriptors, %d threads, %ld kB resident, %ld kB of it anonymous "
                    "(baseline)\n",
                    unitsDone, now.descriptors, now.threads, now.residentKb, now.anonymousKb);
    std::fflush(stdout);
    if (last)
        MeasureIdleCpu();
}

void StationBench::EndIdle() {
    for (const auto& slot : slots_) {
        if (slot->unit && slot->unit->idle)
            TakeOut(*slot->unit);
    }
    if (!WaitFor([this] { return idleUnits_ == 0; }, SettleTimeoutMs))
        Problem(QStringLiteral("the idle units did not end"));
}

void StationBench::MeasureIdleCpu() {
    const qint64 pid = station_.processId();
    const int updatesBefore = figures_.updates;
    QElapsedTimer clock;
    const double before = bench::CpuSecondsOf(pid);
    clock.start();
    Pause(settings_.idleSeconds * 1000);
    const double after = bench::CpuSecondsOf(pid);
    figures_.idleSeconds = double(clock.elapsed()) / 1000;
    figures_.idleCpuSeconds = before < 0 || after < 0 ? -1 : after - before;
    if (figures_.updates != updatesBefore)
        Problem(QStringLiteral("the station started %1 update(s) on idle slots")
                    .arg(figures_.updates - updatesBefore));
}

void StationBench::EndShift() {
    figures_.expectedExitCode = figures_.failures > 0 ? 1 : 0;
    if (stationEnded_) {
        Problem(QStringLiteral("the station ended before the end of the shift"));
    } else {
        // Ctrl-C once: the station is idle, so it ends at once with its summary.
        Signal(station_, SIGINT);
        if (!WaitFor([this] { return stationEnded_; }, ExitTimeoutMs)) {
            Problem(
                QStringLiteral("the station did not exit within %1 s of SIGINT").arg(ExitTimeoutMs / 1000));
            station_.kill();
            station_.waitForFinished();
        }
    }
    EndIdle();
    figures_.exitCode = station_.exitStatus() == QProcess::NormalExit ? station_.exitCode() : -1;
    CheckSummary(figures_.exitCode);
    CheckRecord();
}

void StationBench::CheckSummary(int exitCode) {
    QStringList wrong;
    if (exitCode != figures_.expectedExitCode)
        wrong << QStringLiteral("exit status %1, expected %2").arg(exitCode).arg(figures_.expectedExitCode);
    if (interruptStages_ != QList<int>{1}) {
        QStringList stages;
        for (const int stage : interruptStages_)
            stages << QString::number(stage);
        wrong << QStringLiteral("interrupted events of stages [%1], expected [1]").arg(stages.join(", "));
    }
    if (summary_.isEmpty()) {
        wrong << QStringLiteral("no summary");
    } else {
        if (lastEvent_ != summary_)
            wrong << QStringLiteral("the summary is not the last line");
        const auto compare = [&](const QString& where, const QJsonObject& object, const char* key,
                                 int counted) {
            const int given = object.value(QLatin1String(key)).toInt(-1);
            if (given != counted)
                wrong << QStringLiteral("%1%2 %3, the bench counted %4")
                             .arg(where, QLatin1String(key))
                             .arg(given)
                             .arg(counted);
        };
        compare({}, summary_, "units", figures_.updates);
        compare({}, summary_, "succeeded", figures_.successes);
        compare({}, summary_, "failed", figures_.failures);
        compare({}, summary_, "exit_status", exitCode);
        if (summary_.value("shift") != shiftId_)
            wrong << QStringLiteral("the summary names another shift");
        const QJsonArray perSlot = summary_.value("slots").toArray();
        if (perSlot.size() != qsizetype(slots_.size()))
            wrong << QStringLiteral("the summary has %1 slots").arg(perSlot.size());
        for (const QJsonValue& value : perSlot) {
            const QJsonObject entry = value.toObject();
            const int number = entry.value("slot").toInt();
            if (number < 1 || number > SlotCount) {
                wrong << QStringLiteral("the summary names slot %1").arg(number);
                continue;
            }
            const Slot& slot = *slots_[std::size_t(number - 1)];
            const QString where = QStringLiteral("slot %1 ").arg(number);
            if (entry.value("port").toString() != slot.port)
                wrong << where + QStringLiteral("has port %1").arg(entry.value("port").toString());
            compare(where, entry, "units", slot.updates);
            compare(where, entry, "succeeded", slot.successes);
            compare(where, entry, "failed", slot.updates - slot.successes);
        }
    }
    figures_.shiftEndProblem = wrong.join(QStringLiteral("; "));
}

void StationBench::CheckRecord() {
    QHash<QString, int> slotOfPort;
    for (const auto& slot : slots_)
        slotOfPort.insert(slot->port, slot->number);
    QFile file(recordPath_);
    QHash<QString, int> records;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (line.trimmed().isEmpty())
                continue;
            // Matched to its verdict by the port, which every record names; the station's own keys
            // are checked apart, so that a line without them still counts as written.
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            const int number = slotOfPort.value(record.value("port").toString());
            const bool keys = record.value("shift") == shiftId_ && record.value("note").toString() == note_ &&
                              record.value("slot").toInt() == number;
            if (number == 0 || !keys) {
                if (++figures_.badRecordLines <= 3)
                    Problem(QStringLiteral("a record line without this shift's keys (shift, slot, note): %1")
                                .arg(QString::fromUtf8(line)));
            }
            if (number > 0)
                ++records[VerdictKey(number, record)];
        }
    }
    for (auto it = verdictKeys_.cbegin(); it != verdictKeys_.cend(); ++it) {
        const int missing = it.value() - records.value(it.key());
        if (missing > 0) {
            figures_.lostRecordLines += missing;
            Problem(QStringLiteral("%1 record line(s) missing for %2").arg(missing).arg(it.key()));
        }
    }
    for (auto it = records.cbegin(); it != records.cend(); ++it) {
        const int surplus = it.value() - verdictKeys_.value(it.key());
        if (surplus > 0) {
            figures_.surplusRecordLines += surplus;
            Problem(QStringLiteral("%1 record line(s) without a verdict: %2").arg(surplus).arg(it.key()));
        }
    }
}

bool StationBench::WaitFor(const std::function<bool()>& done, int timeoutMs) {
    if (done())
        return true;
    QEventLoop loop;
    bool timedOut = false;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    connect(this, &StationBench::Changed, &loop, [&] {
        if (done())
            loop.quit();
    });
    if (timeoutMs >= 0)
        limit.start(timeoutMs);
    loop.exec();
    return !timedOut;
}

void StationBench::Pause(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bench::Footprint StationBench::SettledFootprint() {
    // Threads and descriptors that come and go (a port being opened, say) settle within moments;
    // three equal samples in a row are what the station holds.
    const qint64 pid = station_.processId();
    bench::Footprint now = bench::MeasureFootprint(pid);
    for (int same = 0, samples = 0; same < 2 && samples < 20; ++samples) {
        Pause(250);
        const bench::Footprint next = bench::MeasureFootprint(pid);
        same = next.descriptors == now.descriptors && next.threads == now.threads ? same + 1 : 0;
        now = next;
    }
    return now;
}

void StationBench::Report(const Unit& unit, const char* what, const QString& detail) {
    std::printf("unit %d (slot %d, %s): %s: %s\n", unit.plan.number, unit.slot->number,
                qPrintable(unit.plan.faultText), what, qPrintable(detail));
    std::fflush(stdout);
}

void StationBench::Problem(const QString& text) {
    problems_ << text;
    std::printf("PROBLEM: %s\n", qPrintable(text));
    std::fflush(stdout);
}

} // namespace station
