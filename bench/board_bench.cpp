// Board bench: what the station's board costs a busy station. One `rq70-flash station` of eight
// slots serving its board (--http 127.0.0.1:0), its record holding 10,000 lines of earlier
// shifts, updates unpaced simulated units (rq70-devsim) that arrive, are updated, leave and are
// replaced throughout one shift of three phases: (a) no client, (b) one board open as a browser
// has it, (c) a crowd of stream clients with steady requests to /api/records and /api/state. The
// load runs in a child process at the lowest priority. Reports per phase the pace of verdicts,
// the station's CPU time and memory, and the requests' latency in (c), each against its target;
// the exit status says only whether the run itself worked.
//   bench_board [--seconds S] [--seed N] [--faults] [--streams N] [--records-per-second N]
//               [--states-per-second N] [--load-nice N] [--verbose]

#include "BoardBench.h"

#include <QCoreApplication>
#include <QJsonArray>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

namespace {

using boardbench::Phase;
using boardbench::PhaseFigures;

constexpr double PaceLossLimitPercent = 2;
constexpr double BoardCpuLimitPercent = 0.3;
constexpr double LatencyLimitMs = 50;
constexpr long MemoryGrowthLimitKb = 10 * 1024;

// Takes "--name VALUE" out of `arguments`; false when it is there without a whole number.
bool TakeNumber(QStringList& arguments, const QString& name, qint64& value) {
    const qsizetype at = arguments.indexOf(name);
    if (at < 0)
        return true;
    bool ok = false;
    value = arguments.value(at + 1).toLongLong(&ok);
    arguments.remove(at, std::min<qsizetype>(2, arguments.size() - at));
    return ok;
}

struct Verdicts {
    int met = 0;
    int missed = 0;
    const char* operator()(bool ok) {
        ++(ok ? met : missed);
        return ok ? "met" : "MISSED";
    }
};

double Share(double seconds, double wall) {
    return wall > 0 ? 100 * seconds / wall : 0;
}

QString Threads(const PhaseFigures& phase) {
    QStringList parts;
    for (const auto& [name, seconds] : phase.threadSeconds)
        parts << QStringLiteral("%1 %2 %").arg(name).arg(Share(seconds, phase.seconds), 0, 'f', 2);
    return parts.join(QStringLiteral(", "));
}

double Number(const QJsonObject& object, const char* path) {
    QJsonValue value = object;
    for (const QString& key : QString::fromLatin1(path).split(u'.'))
        value = value.toObject().value(key);
    return value.toDouble(-1);
}

QString Statuses(const QJsonObject& tally) {
    QStringList parts;
    const QJsonObject statuses = tally.value("statuses").toObject();
    for (auto it = statuses.begin(); it != statuses.end(); ++it)
        parts << QStringLiteral("%1 x%2").arg(it.key()).arg(it.value().toInt());
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
}

void PrintProblems(const QJsonObject& tally, const char* indent = "                 ") {
    for (const QJsonValue& problem : tally.value("problems").toArray())
        std::printf("%s%s\n", indent, qPrintable(problem.toString()));
}

void PrintLatency(Verdicts& verdicts, const char* what, const QJsonObject& tally) {
    // Judged over every answer and over those as expected alone: a quick refusal must not hide
    // slow pages.
    const QJsonObject expected = tally.value("as_expected").toObject();
    const double p99 = tally.value("p99_ms").toDouble(-1);
    const double expectedP99 = expected.value("p99_ms").toDouble(-1);
    std::printf(
        "%s p50 %.1f ms, p99 %.1f ms, max %.1f ms over %d answers; of the %d as expected p50 %.1f ms, p99 "
        "%.1f ms, max %.1f ms   (target p99 < %.0f ms)   %s\n",
        what, tally.value("p50_ms").toDouble(-1), p99, tally.value("max_ms").toDouble(-1),
        tally.value("n").toInt(), expected.value("n").toInt(), expected.value("p50_ms").toDouble(-1),
        expectedP99, expected.value("max_ms").toDouble(-1), LatencyLimitMs,
        verdicts(p99 >= 0 && p99 < LatencyLimitMs && expectedP99 >= 0 && expectedP99 < LatencyLimitMs));
}

int PrintFigures(const boardbench::BoardBench& bench, const boardbench::Settings& settings) {
    const boardbench::Figures& f = bench.Result();
    const PhaseFigures& a = f.phases[0];
    const PhaseFigures& b = f.phases[1];
    const PhaseFigures& c = f.phases[2];
    Verdicts verdicts;
    std::printf("\nwarm-up          %d verdicts in %.1f s before (a)\n", boardbench::WarmUpVerdicts,
                f.warmUpSeconds);
    std::printf(
        "phase                  wall  verdicts  units/min  station CPU, %% of one core (by thread)\n");
    for (const PhaseFigures& phase : f.phases)
        std::printf("%-20s %5.1f s  %6d  %9.1f  %6.2f %%   (%s)\n",
                    qPrintable(boardbench::PhaseName(phase.phase)), phase.seconds, phase.verdicts,
                    phase.unitsPerMinute, Share(phase.cpuSeconds, phase.seconds), qPrintable(Threads(phase)));
    // What else ran on the machine tells how far the phases can be compared at all.
    for (const PhaseFigures& phase : f.phases)
        std::printf(
            "%-20s machine busy %.2f of %ld cores (%.2f of them niced); station VmRSS %ld kB, RssAnon %ld "
            "kB at the end\n",
            qPrintable(boardbench::PhaseName(phase.phase)), phase.machineBusyCores,
            ::sysconf(_SC_NPROCESSORS_ONLN), phase.machineNicedCores, phase.end.residentKb,
            phase.end.anonymousKb);

    for (const PhaseFigures* phase : {&b, &c}) {
        const double percent = a.unitsPerMinute > 0 && phase->unitsPerMinute >= 0
                                   ? 100 * phase->unitsPerMinute / a.unitsPerMinute
                                   : -1;
        std::printf("pace %-19s %6.1f %% of (a)   (target: at most %.0f %% below (a))   %s\n",
                    qPrintable(boardbench::PhaseName(phase->phase)), percent, PaceLossLimitPercent,
                    verdicts(percent >= 100 - PaceLossLimitPercent));
    }
    QStringList quarters;
    double wander = 0;
    for (const PhaseFigures& phase : f.phases) {
        QStringList values;
        for (const double value : phase.quarterUnitsPerMinute) {
            values << QString::number(value, 'f', 0);
            if (&phase == &a && a.unitsPerMinute > 0 && value > 0)
                wander = std::max(wander, std::abs(100 * value / a.unitsPerMinute - 100));
        }
        quarters << QStringLiteral("%1 %2").arg(boardbench::PhaseName(phase.phase).left(3),
                                                values.join(u' '));
    }
    std::printf("pace by quarter  %s units/min: (a)'s own quarters stray up to %.1f %% from (a)\n",
                qPrintable(quarters.join(QStringLiteral(", "))), wander);
    const double extra = Share(b.cpuSeconds, b.seconds) - Share(a.cpuSeconds, a.seconds);
    std::printf("CPU, one board   %+.2f %% of one core, (b) - (a)   (target <= %.1f %%)   %s\n", extra,
                BoardCpuLimitPercent,
                verdicts(a.cpuSeconds >= 0 && b.cpuSeconds >= 0 && extra <= BoardCpuLimitPercent));
    // The units' own work follows the pace, which differs between phases by more than the board
    // costs: the board's own threads tell its share apart, judged by the same target.
    const double boardExtra = Share(b.boardThreadSeconds, b.seconds) - Share(a.boardThreadSeconds, a.seconds);
    std::printf(
        "                 %+.2f %% of one core on the board's own threads (the main thread, the record "
        "readers, threads that ended), (b) - (a)   (the same target)   %s\n",
        boardExtra,
        verdicts(a.boardThreadSeconds >= 0 && b.boardThreadSeconds >= 0 &&
                 boardExtra <= BoardCpuLimitPercent));
    const double paced = a.unitsPerMinute > 0 && b.unitsPerMinute > 0
                             ? Share(b.cpuSeconds, b.seconds) -
                                   Share(a.cpuSeconds, a.seconds) * b.unitsPerMinute / a.unitsPerMinute
                             : 0;
    const double mainExtra =
        Share(b.threadSeconds.value(0).second, b.seconds) - Share(a.threadSeconds.value(0).second, a.seconds);
    const auto perUnit = [](const PhaseFigures& phase) {
        return phase.verdicts > 0 ? 1000 * phase.cpuSeconds / phase.verdicts : -1.0;
    };
    std::printf(
        "                 with (a) taken at (b)'s pace %+.2f %%; the main thread alone (it serves the "
        "board) %+.2f %%; station CPU per verdict (a) %.1f ms, (b) %.1f ms, (c) %.1f ms\n",
        paced, mainExtra, perUnit(a), perUnit(b), perUnit(c));
    PrintLatency(verdicts, "/api/state   (c)", c.load.value("state").toObject());
    PrintLatency(verdicts, "/api/records (c)", c.load.value("records").toObject());

    const long rss = c.end.residentKb - a.start.residentKb;
    const long anon = c.end.anonymousKb - a.start.anonymousKb;
    std::printf(
        "memory           VmRSS %ld kB at the start of (a), %ld kB at the end of (c) (%+ld kB); RssAnon %ld "
        "kB, %ld kB (%+ld kB)   (target: growth < %ld kB)   %s\n",
        a.start.residentKb, c.end.residentKb, rss, a.start.anonymousKb, c.end.anonymousKb, anon,
        MemoryGrowthLimitKb,
        verdicts(a.start.residentKb >= 0 && c.end.residentKb >= 0 && rss < MemoryGrowthLimitKb &&
                 anon < MemoryGrowthLimitKb));
    std::printf("                 once the crowd had gone: VmRSS %ld kB, RssAnon %ld kB\n",
                c.afterLoad.residentKb, c.afterLoad.anonymousKb);

    const line::StationFigures& s = f.station;
    std::printf("verdicts         %d, %d successes; %d wrong for their unit, %d units hung, %d bad events, "
                "units %s   "
                "(target: every one as its unit's fault says)   %s\n",
                s.verdicts, s.successes, s.wrongVerdicts, s.hangs, s.badEvents,
                settings.faults ? "with the station bench's faults" : "without faults",
                verdicts(s.wrongVerdicts == 0 && s.hangs == 0 && s.badEvents == 0 && s.verdicts > 0));
    for (const QString& wrong : f.wrongVerdicts)
        std::printf("                 %s\n", qPrintable(wrong));

    const QJsonObject streams = c.load.value("streams").toObject();
    const int otherwise = streams.value("closed_by_board").toInt() + streams.value("refused").toInt();
    std::printf(
        "streams (c)      %d clients, all with their first snapshot after %.0f ms; %d resnapshotted, %d cut "
        "off (fell behind twice), %d refused or closed otherwise, %d bad messages; %d messages, %.1f MB   "
        "(target: none dropped unless it fell behind)   %s\n",
        streams.value("clients").toInt(), Number(streams, "first_snapshot_ms"),
        streams.value("resnapshots").toInt(), streams.value("cut_off").toInt(), otherwise,
        streams.value("bad_messages").toInt(), streams.value("messages").toInt(),
        Number(streams, "bytes") / 1e6,
        verdicts(!c.load.isEmpty() && otherwise == 0 && streams.value("bad_messages").toInt() == 0));
    PrintProblems(streams);
    const QJsonObject records = c.load.value("records").toObject();
    const QJsonObject state = c.load.value("state").toObject();
    const int sent = records.value("sent").toInt() + state.value("sent").toInt();
    const int ok = records.value("ok").toInt() + state.value("ok").toInt();
    std::printf("responses (c)    %d of %d as expected: 200 with JSON of the right shape (/api/records: %s; "
                "/api/state: "
                "%s; no answer %d, still unanswered when it stopped waiting %d)   (target: all)   %s\n",
                ok, sent, qPrintable(Statuses(records)), qPrintable(Statuses(state)),
                records.value("unanswered").toInt() + state.value("unanswered").toInt(),
                sent - records.value("answered").toInt() - state.value("answered").toInt() -
                    records.value("unanswered").toInt() - state.value("unanswered").toInt(),
                verdicts(!c.load.isEmpty() && sent > 0 && ok == sent));
    PrintProblems(records);
    PrintProblems(state);

    const QJsonObject boardStream = b.load.value("streams").toObject();
    const QJsonObject files = b.load.value("files").toObject();
    const QJsonObject icon = b.load.value("icon").toObject();
    const QJsonObject boardRecords = b.load.value("records").toObject();
    const bool boardOk =
        !b.load.isEmpty() && files.value("ok").toInt() == 3 && icon.value("ok").toInt() == 1 &&
        boardRecords.value("ok").toInt() == boardRecords.value("sent").toInt() &&
        boardRecords.value("sent").toInt() >= 1 && boardStream.value("cut_off").toInt() == 0 &&
        boardStream.value("closed_by_board").toInt() == 0 && boardStream.value("refused").toInt() == 0 &&
        boardStream.value("bad_messages").toInt() == 0;
    std::printf("board (b)        page, style sheet and script %d of 3 as expected, the icon %s; record list "
                "%d of %d "
                "(%.1f ms); stream: first snapshot after %.0f ms, %d messages, %d resnapshots, %d dropped   "
                "(target: all as a browser needs them)   %s\n",
                files.value("ok").toInt(), icon.value("ok").toInt() == 1 ? "404 as expected" : "NOT 404",
                boardRecords.value("ok").toInt(), boardRecords.value("sent").toInt(),
                boardRecords.value("max_ms").toDouble(-1), Number(boardStream, "first_snapshot_ms"),
                boardStream.value("messages").toInt(), boardStream.value("resnapshots").toInt(),
                boardStream.value("cut_off").toInt() + boardStream.value("closed_by_board").toInt(),
                verdicts(boardOk));
    PrintProblems(files);
    PrintProblems(icon);
    PrintProblems(boardRecords);
    PrintProblems(boardStream);

    const char* const priority = settings.loadNice > 0
                                     ? "so that it waits for the CPU behind the station and its units"
                                     : "the station's own priority, so that it takes CPU from the station";
    std::printf(
        "load generator   a child process of the bench at nice %d (the kernel's figure: (b) %d, (c) %d), "
        "%s; it used %.2f %% of one core in (b), %.2f %% in (c), where its requests went out late by p50 "
        "%.1f ms, p99 %.1f ms, max %.1f ms: the latencies above include its own waiting for the CPU (%d "
        "requests waited for one of its %d connections)\n",
        settings.loadNice, b.loadNice, c.loadNice, priority, Share(Number(b.load, "cpu_s"), b.seconds),
        Share(Number(c.load, "cpu_s"), c.seconds), Number(c.load, "late_ms.p50_ms"),
        Number(c.load, "late_ms.p99_ms"), Number(c.load, "late_ms.max_ms"),
        c.load.value("waited_for_connection").toInt(), c.load.value("connections_max").toInt());
    for (const PhaseFigures* phase : {&b, &c}) {
        if (!phase->load.isEmpty() && !phase->load.value("wound_down").toBool())
            std::printf(
                "                 in %s it still had requests unanswered or streams open at the end of "
                "its wind-down\n",
                qPrintable(boardbench::PhaseName(phase->phase)));
    }
    std::printf("shift end        SIGTERM: exit status %d (expected %d); %s; record %d lines before the "
                "shift, %d after\n",
                f.exitCode, f.expectedExitCode,
                f.shiftEndProblem.isEmpty() ? "summary agrees, one record line per verdict"
                                            : qPrintable(f.shiftEndProblem),
                f.recordLinesBefore, f.recordLinesAfter);
    std::printf("wall time        %.1f s\n", f.wallSeconds);
    std::printf("targets          %d met, %d MISSED\n", verdicts.met, verdicts.missed);
    return verdicts.missed;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    boardbench::Settings settings;
    settings.verbose = arguments.removeAll(QStringLiteral("--verbose")) > 0;
    settings.faults = arguments.removeAll(QStringLiteral("--faults")) > 0;
    qint64 seconds = settings.seconds, streams = settings.streams, records = settings.recordsPerSecond,
           states = settings.statesPerSecond, nice = settings.loadNice, seed = -1;
    const bool optionsOk = TakeNumber(arguments, QStringLiteral("--seconds"), seconds) &&
                           TakeNumber(arguments, QStringLiteral("--seed"), seed) &&
                           TakeNumber(arguments, QStringLiteral("--streams"), streams) &&
                           TakeNumber(arguments, QStringLiteral("--records-per-second"), records) &&
                           TakeNumber(arguments, QStringLiteral("--states-per-second"), states) &&
                           TakeNumber(arguments, QStringLiteral("--load-nice"), nice);
    if (!optionsOk || !arguments.isEmpty() || seconds < 1 || streams < 0 || records < 0 || states < 0 ||
        nice < 0 || nice > 19) {
        std::fprintf(stderr,
                     "usage: bench_board [--seconds S] [--seed N] [--faults] [--streams N] "
                     "[--records-per-second N] [--states-per-second N] [--load-nice N] [--verbose]\n");
        return 2;
    }
    settings.seconds = int(seconds);
    settings.streams = int(streams);
    settings.recordsPerSecond = int(records);
    settings.statesPerSecond = int(states);
    settings.loadNice = int(nice);
    settings.seed = seed >= 0 ? quint64(seed) : std::random_device{}();
    const auto seedText = static_cast<unsigned long long>(settings.seed);
    std::printf(
        "board bench: one station of %d slots with its board, unpaced units (%s), 3 phases of %d s, seed "
        "%llu\n",
        line::SlotsPerStation, settings.faults ? "with the station bench's faults" : "without faults",
        settings.seconds, seedText);
    std::printf(
        "phases: (a) no client; (b) one board open: the page, its files and the icon once, the stream "
        "followed, the record list on each snapshot; (c) %d stream clients, %d requests/s to /api/records "
        "(limits, offsets, searches at random), %d/s to /api/state, each timed from its request written to "
        "the last byte of its answer\n",
        settings.streams, settings.recordsPerSecond, settings.statesPerSecond);
    boardbench::BoardBench bench(settings);
    std::printf("update file: program words 0..%d and 256 EEPROM bytes\n", bench.File().lastWord);
    std::fflush(stdout);
    bench.Run();
    PrintFigures(bench, settings);
    const bool worked = bench.Worked();
    std::printf("%s (seed %llu)%s\n", worked ? "RUN WORKED" : "RUN FAILED", seedText,
                worked ? ": the figures above stand; a MISSED target is a finding, not a failed run" : "");
    return worked ? 0 : 1;
}
