// The station bench's units: how they arrive, stay, leave and are judged against their plan.
#include "StationBenchParts.h"

#include "MemoryDifference.h"

namespace station {

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

} // namespace station
