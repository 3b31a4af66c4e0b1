// Station soak: one long `rq70-flash station` process with eight slots, and N simulated units
// (unpaced rq70-devsim) arriving in them at random, each with a fault drawn from the simulator's
// options or pulled by the bench mid-update, staying a while (or swapped at once) and taken out.
// After every unit: its verdicts match its fault, a success left the update file's images in the
// device, no unit was updated twice without having left. At the end: one record line per verdict,
// the station's descriptors, threads and memory flat, its CPU time on idle slots, and its exit
// and summary after Ctrl-C agreeing with what the bench counted.
//   bench_station N [SEED] [--first UNIT] [--idle SECONDS] [--verbose]
// Unit U draws from SEED and its own number alone, so `bench_station 1 SEED --first U` replays it.

#include "StationBench.h"
#include "StationCase.h"

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

void PrintFigures(const station::BenchSettings& settings, const station::Figures& f, int rows, int blocks) {
    std::printf("units            %d (%d never answering), %d updates by the station: %d successes, %d "
                "failures\n",
                f.units, f.silentUnits, f.updates, f.successes, f.failures);
    std::printf("wrong verdicts   %d\ndouble updates   %d\nstray words      %d\n", f.wrongVerdicts,
                f.doubleUpdates, f.strayWords);
    std::printf("lost record lines %d   (surplus %d, without the shift's keys %d, record warnings %d)\n",
                f.lostRecordLines, f.surplusRecordLines, f.badRecordLines, f.recordWarnings);
    std::printf("hangs            %d   device errors %d   bad events %d   open failures %d (retried)\n",
                f.hangs, f.deviceErrors, f.badEvents, f.openFailures);
    std::printf("pulls            %d by the bench, %d of them after the run had ended; %d contact breaks\n",
                f.pulls, f.latePulls, f.contactBreaks);
    if (f.baselineTaken) {
        std::printf("after %d units   %d descriptors, %d threads, %ld kB resident (idle: 4 silent units, 4 "
                    "absent ports)\n",
                    f.baselineAfter, f.baseline.descriptors, f.baseline.threads, f.baseline.residentKb);
        std::printf("growth           descriptors %+d, threads %+d, RSS %+ld kB at the end (max %+ld kB)   "
                    "(targets 0, 0, < %ld kB)\n",
                    f.descriptorGrowth, f.threadGrowth, f.finalRssGrowthKb, f.maxRssGrowthKb,
                    station::RssGrowthLimitKb);
    } else {
        std::printf("growth           not measured: too few units for a baseline\n");
    }
    const bool judged = settings.idleSeconds >= station::JudgedIdleSeconds;
    if (f.idleCpuSeconds >= 0 && f.idleSeconds > 0)
        std::printf("idle CPU         %.3f %% of one core (%.2f s user+sys over %.1f s, 4 silent units + 4 "
                    "absent ports)   (target <= %.1f %%%s)\n",
                    100 * f.idleCpuSeconds / f.idleSeconds, f.idleCpuSeconds, f.idleSeconds,
                    station::IdleCpuLimitPercent,
                    judged ? "" : "; reported only: interval too short to judge");
    else
        std::printf("idle CPU         not measured\n");
    std::printf("shift end        SIGINT: exit status %d (expected %d); summary %s\n", f.exitCode,
                f.expectedExitCode, f.shiftEndProblem.isEmpty() ? "agrees" : qPrintable(f.shiftEndProblem));
    std::printf("wall time        %.1f s up to the last unit, idle checkpoints on the way included (%d erase "
                "rows, %d "
                "write blocks each), %.2f units/s\n",
                f.wallSeconds, rows, blocks, f.wallSeconds > 0 ? f.units / f.wallSeconds : 0.0);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    station::BenchSettings settings;
    settings.verbose = arguments.removeAll(QStringLiteral("--verbose")) > 0;
    const bool optionsOk = TakeNumber(arguments, QStringLiteral("--first"), settings.first) &&
                           TakeNumber(arguments, QStringLiteral("--idle"), settings.idleSeconds);
    bool countOk = false;
    settings.units = arguments.value(0).toInt(&countOk);
    bool seedOk = true;
    settings.seed = arguments.size() > 1 ? arguments[1].toULongLong(&seedOk) : std::random_device{}();
    if (!optionsOk || !countOk || !seedOk || settings.units < 1 || settings.first < 1 ||
        settings.idleSeconds < 0 || arguments.size() > 2) {
        std::fprintf(stderr, "usage: bench_station N [SEED] [--first UNIT] [--idle SECONDS] [--verbose]\n");
        return 2;
    }
    const auto seed = static_cast<unsigned long long>(settings.seed);
    std::printf("station bench: %d units from unit %d, seed %llu (replay unit U: bench/station 1 %llu "
                "--first U --idle 0)\n",
                settings.units, settings.first, seed, seed);
    const station::ShiftFile file = station::DrawShiftFile(settings.seed);
    const soak::Blocks blocks(file.lastWord);
    std::printf("update file: program words 0..%d and 256 EEPROM bytes\n", file.lastWord);
    std::fflush(stdout);

    station::StationBench bench(settings, file);
    bench.Run();
    PrintFigures(settings, bench.Result(), file.EraseRows(), blocks.count);
    const bool passed = bench.Passed();
    if (!passed && !bench.StationNotes().isEmpty())
        std::printf("the station's last notes:\n  %s\n", qPrintable(bench.StationNotes().join("\n  ")));
    std::printf("%s (seed %llu)\n", passed ? "PASSED" : "FAILED", seed);
    return passed ? 0 : 1;
}
