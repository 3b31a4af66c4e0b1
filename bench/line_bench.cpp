// Line soak: four `rq70-flash station` processes of eight slots each, every one shipping its record
// to one PostgreSQL server of the bench's own, and N simulated units (unpaced rq70-devsim, some
// faulty) arriving and leaving at random across the 32 slots. On the way the server is stopped at
// once (as in a crash) and started again, R times, and one station is SIGKILLed and started again
// on the same record under the same name. At the end, shifts ended and shipping drained: every
// record line is in the table exactly once (by id) and no row is without its line; the delay from
// an update's end to its row's arrival while everything was up; the stations' CPU time.
//   bench_line [N] [SEED] [--restarts R] [--no-kill] [--baseline] [--verbose]
// --baseline runs the same units again without the database, for the CPU time it costs.

#include "LineBench.h"

#include <QCoreApplication>

#include <cstdio>
#include <random>

namespace {

// Takes "--name VALUE" out of `arguments`; false when it is there without a whole number.
bool TakeNumber(QStringList& arguments, const QString& name, int& value) {
    const qsizetype at = arguments.indexOf(name);
    if (at < 0)
        return true;
    bool ok = false;
    value = arguments.value(at + 1).toInt(&ok);
    arguments.remove(at, std::min<qsizetype>(2, arguments.size() - at));
    return ok;
}

void PrintDelays(const char* what, const line::Delays& d) {
    if (d.rows == 0)
        std::printf("%s none\n", what);
    else
        std::printf("%s p50 %.3f s, p99 %.3f s, max %.3f s over %d rows\n", what, d.p50, d.p99, d.max,
                    d.rows);
}

void PrintFigures(const line::LineFigures& f) {
    std::printf("units            %d across %d stations (%d cut short by the kill), %d verdicts\n", f.units,
                line::StationCount, f.interruptedUnits, f.verdicts);
    std::printf("hangs            %d   bad events %d   wrong verdicts %d   extra verdicts %d\n", f.hangs,
                f.badEvents, f.wrongVerdicts, f.extraVerdicts);
    QStringList outages;
    for (const double seconds : f.outageSeconds)
        outages << QString::number(seconds, 'f', 1);
    std::printf("server           initdb %.2f s, first start %.2f s; %d immediate stop(s), down %s s, "
                "%.2f s of starts after them\n",
                f.initSeconds, f.firstStartSeconds, f.restarts,
                outages.isEmpty() ? "-" : qPrintable(outages.join(QStringLiteral(", "))), f.restartSeconds);
    std::printf("station kills    %d; largest backlog of a station %d lines\n", f.stationKills,
                f.largestBacklog);
    std::printf("drained          %s, %.1f s after the last unit; `rq70-flash ship` found %d more line(s)\n",
                f.drained ? "yes" : "NO", f.drainSeconds, f.rowsShippedAtEnd);
    std::printf("record lines     %d   table rows %d   (target: equal)\n", f.recordLines, f.tableRows);
    std::printf("lost             %d in the records and not in the table, %d in the table and in no record\n",
                f.lost, f.surplus);
    std::printf("duplicates       %d ids twice in the records, %d lines twice in the table\n", f.duplicateIds,
                f.duplicateRows);
    std::printf("bad lines        %d without an id, %d naming another station, %d refused by the database, "
                "%d rows under the wrong station\n",
                f.linesWithoutId, f.linesOfOtherStation, f.rejectedLines, f.wrongStation);
    PrintDelays("delay, all up   ", f.upDelays);
    PrintDelays("delay, outages  ", f.outageDelays);
    const auto perVerdict = [](double seconds, int verdicts) {
        return verdicts > 0 ? 1000 * seconds / verdicts : 0.0;
    };
    std::printf("stations' CPU    %.1f s user+sys with the database, %.1f ms per verdict\n", f.cpuSeconds,
                perVerdict(f.cpuSeconds, f.verdicts));
    if (f.baselineCpuSeconds >= 0)
        std::printf("without it       %.1f s user+sys, %.1f ms per verdict (%d verdicts, %.1f s wall)\n",
                    f.baselineCpuSeconds, perVerdict(f.baselineCpuSeconds, f.baselineVerdicts),
                    f.baselineVerdicts, f.baselineWallSeconds);
    std::printf("wall time        %.1f s for the shift with the database, %.2f units/s\n", f.wallSeconds,
                f.wallSeconds > 0 ? f.units / f.wallSeconds : 0.0);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    line::LineSettings settings;
    settings.verbose = arguments.removeAll(QStringLiteral("--verbose")) > 0;
    settings.kill = arguments.removeAll(QStringLiteral("--no-kill")) == 0;
    settings.baseline = arguments.removeAll(QStringLiteral("--baseline")) > 0;
    const bool optionsOk = TakeNumber(arguments, QStringLiteral("--restarts"), settings.restarts);
    bool countOk = true;
    if (!arguments.isEmpty())
        settings.units = arguments[0].toInt(&countOk);
    bool seedOk = true;
    settings.seed = arguments.size() > 1 ? arguments[1].toULongLong(&seedOk) : std::random_device{}();
    if (!optionsOk || !countOk || !seedOk || settings.units < 1 || settings.restarts < 0 ||
        arguments.size() > 2) {
        std::fprintf(stderr,
                     "usage: bench_line [N] [SEED] [--restarts R] [--no-kill] [--baseline] [--verbose]\n");
        return 2;
    }
    const auto seed = static_cast<unsigned long long>(settings.seed);
    std::printf("line bench: %d units over %d stations of %d slots, seed %llu, %d server restart(s), %s\n",
                settings.units, line::StationCount, line::SlotsPerStation, seed, settings.restarts,
                settings.kill ? "one station killed" : "no station killed");
    std::fflush(stdout);

    line::LineBench bench(settings);
    bench.Run();
    PrintFigures(bench.Result());
    const bool passed = bench.Passed();
    std::printf("%s (seed %llu)\n", passed ? "PASSED" : "FAILED", seed);
    return passed ? 0 : 1;
}
