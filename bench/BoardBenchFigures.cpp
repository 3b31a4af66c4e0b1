// The board bench's figures: a sample of the station and the machine at each phase's ends, and
// what a phase's two samples and its verdicts come to.
#include "BoardBench.h"

#include <QFile>

#include <algorithm>
#include <numeric>
#include <unistd.h>

namespace boardbench {

namespace {

// The machine's CPU time so far, from the first line of /proc/stat, in clock ticks: busy (user,
// nice, system, irq, softirq, steal) and the part of it at a lowered priority (nice).
void MachineTicks(qint64& busy, qint64& niced) {
    QFile stat(QStringLiteral("/proc/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return;
    const QList<QByteArray> fields = stat.readLine().simplified().split(' ');
    if (fields.size() < 9 || fields[0] != "cpu")
        return;
    busy = 0;
    for (const int field : {1, 2, 3, 6, 7, 8})
        busy += fields[field].toLongLong();
    niced = fields[2].toLongLong();
}

} // namespace

BoardBench::Sample BoardBench::TakeSample() {
    const qint64 pid = station_->ProcessId();
    Sample sample;
    sample.ms = Now();
    sample.cpuSeconds = bench::CpuSecondsOf(pid);
    sample.threads = bench::ThreadCpuOf(pid);
    sample.footprint = bench::MeasureFootprint(pid);
    MachineTicks(sample.busyTicks, sample.nicedTicks);
    return sample;
}

void BoardBench::Measure(PhaseFigures& figures, const Sample& from, const Sample& until) {
    const qint64 pid = station_->ProcessId();
    const QHash<qint64, bench::ThreadTime>& threadsBefore = from.threads;
    const QHash<qint64, bench::ThreadTime>& threadsAfter = until.threads;
    const qint64 fromMs = from.ms;
    const qint64 untilMs = until.ms;
    figures.start = from.footprint;
    figures.end = until.footprint;
    figures.seconds = double(untilMs - fromMs) / 1000;
    figures.cpuSeconds =
        from.cpuSeconds < 0 || until.cpuSeconds < 0 ? -1 : until.cpuSeconds - from.cpuSeconds;
    if (from.busyTicks >= 0 && until.busyTicks >= 0 && figures.seconds > 0) {
        const double ticks = double(::sysconf(_SC_CLK_TCK)) * figures.seconds;
        figures.machineBusyCores = double(until.busyTicks - from.busyTicks) / ticks;
        figures.machineNicedCores = double(until.nicedTicks - from.nicedTicks) / ticks;
    }

    // By thread name: the main thread (where the board and the station's screen run), then the
    // others, busiest first; what is left of the process's time is that of threads that ended.
    QList<std::pair<QString, double>> byName;
    QHash<QString, int> counts;
    double main = 0;
    double threads = 0;
    for (auto it = threadsAfter.cbegin(); it != threadsAfter.cend(); ++it) {
        const double seconds = it.value().seconds - threadsBefore.value(it.key()).seconds;
        threads += seconds;
        if (it.key() == pid) {
            main = seconds;
            continue;
        }
        ++counts[it.value().name];
        const auto found = std::find_if(byName.begin(), byName.end(),
                                        [&](const auto& entry) { return entry.first == it.value().name; });
        if (found == byName.end())
            byName.append({it.value().name, seconds});
        else
            found->second += seconds;
    }
    // Qt's thread pool names its threads so; the board reads records in its own pool.
    const double pooled =
        std::accumulate(byName.begin(), byName.end(), 0.0, [](double sum, const auto& entry) {
            return entry.first == QLatin1String("Thread (pooled)") ? sum + entry.second : sum;
        });
    figures.boardThreadSeconds =
        figures.cpuSeconds >= 0 ? main + pooled + std::max(0.0, figures.cpuSeconds - threads) : -1;
    std::sort(byName.begin(), byName.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    for (auto& entry : byName)
        entry.first = QStringLiteral("%1 x%2").arg(entry.first).arg(counts.value(entry.first));
    byName.prepend({QStringLiteral("main thread"), main});
    if (figures.cpuSeconds >= 0)
        byName.append({QStringLiteral("threads that ended"), std::max(0.0, figures.cpuSeconds - threads)});
    figures.threadSeconds = byName;

    figures.verdicts = 0;
    for (const QList<qint64>& times : std::as_const(verdictTimes_))
        figures.verdicts += int(std::count_if(times.begin(), times.end(),
                                              [&](qint64 at) { return at >= fromMs && at < untilMs; }));
    figures.unitsPerMinute = UnitsPerMinute(fromMs, untilMs);
    // The same in each quarter of the phase: how far the pace wanders by itself.
    figures.quarterUnitsPerMinute.clear();
    for (int quarter = 0; quarter < 4; ++quarter)
        figures.quarterUnitsPerMinute << UnitsPerMinute(fromMs + (untilMs - fromMs) * quarter / 4,
                                                        fromMs + (untilMs - fromMs) * (quarter + 1) / 4);
}

double BoardBench::UnitsPerMinute(qint64 fromMs, qint64 untilMs) const {
    // Each slot's pace from the first to the last of its verdicts within the span, summed: units
    // in flight at either end count for nothing. A span too short for two verdicts in every slot
    // gets its verdicts' count instead.
    double perMinute = 0;
    int count = 0;
    int paced = 0;
    for (const QList<qint64>& times : std::as_const(verdictTimes_)) {
        QList<qint64> within;
        for (const qint64 at : times) {
            if (at >= fromMs && at < untilMs)
                within << at;
        }
        count += int(within.size());
        if (within.size() >= 2 && within.last() > within.first()) {
            perMinute += double(within.size() - 1) * 60000 / double(within.last() - within.first());
            ++paced;
        }
    }
    if (paced == line::SlotsPerStation)
        return perMinute;
    return untilMs > fromMs && count > 0 ? double(count) * 60000 / double(untilMs - fromMs) : -1;
}

} // namespace boardbench
