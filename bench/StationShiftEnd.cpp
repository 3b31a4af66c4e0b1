// The station bench's footprint checkpoints and the end of the shift: the summary and the record.
#include "StationBenchParts.h"

namespace station {

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

} // namespace station
