#include "StationBenchParts.h"

namespace station {

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

bool StationBench::WaitFor(const std::function<bool()>& done, int timeoutMs) {
    return bench::WaitUntil(this, &StationBench::Changed, done, timeoutMs);
}

void StationBench::Pause(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
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
