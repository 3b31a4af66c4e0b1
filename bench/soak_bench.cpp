// Soak: N updates back to back in one long-lived process, alternately through the windows
// (offscreen) and through rq70-flash's engine, each against a fresh simulated device (unpaced)
// with a fault drawn at random from the simulator's fault options, or none. After every run: a
// reported success must leave the device's memory equal to the images, a reported failure must
// match the fault, and the process's descriptors, threads and resident memory must stay flat.
//   bench_soak N [SEED] [--first RUN] [--verbose]      --verbose: a line for every run
// Run RUN draws from SEED and its own number alone, so `bench_soak 1 SEED --first RUN` replays it.

#include "BenchSupport.h"
#include "MemoryDifference.h"
#include "SimulatedDevice.h"
#include "SoakCase.h"
#include "SoakFaces.h"

#include "image/HexLoader.h"
#include "record/RecordFile.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <random>

namespace {

// Runs before the footprint is taken as the baseline: the first windows and threads fill caches.
constexpr int WarmUpRuns = 10;
constexpr long RssGrowthLimitKb = 1024;

struct Figures {
    int runs = 0;
    int successes = 0;
    int failures = 0;
    int falseSuccesses = 0;
    int wrongVerdicts = 0;
    int deviceErrors = 0;
    bench::Footprint baseline;
    bool baselineTaken = false;
    int descriptorGrowth = 0;
    int threadGrowth = 0;
    long maxRssGrowthKb = 0;
    long finalRssGrowthKb = 0;
};

void Report(int run, const char* face, const soak::SoakCase& draw, const char* what, const QString& detail) {
    std::printf("run %d (%s, fault %s, words 0..%d): %s: %s\n", run, face, qPrintable(draw.fault),
                draw.lastWord, what, qPrintable(detail));
    std::fflush(stdout);
}

// What the process holds once it has settled. A thread whose QThread::wait() has returned may still
// be on its way out of the process for a moment, more so on a loaded machine: only what stays
// counts as growth, and a real leak stays.
bench::Footprint SettledFootprint(const Figures& figures) {
    bench::Footprint now = bench::MeasureFootprint();
    const auto grown = [&] {
        return figures.baselineTaken &&
               (now.threads > figures.baseline.threads || now.descriptors > figures.baseline.descriptors);
    };
    for (int wait = 0; wait < 100 && grown(); ++wait) {
        QThread::msleep(10);
        now = bench::MeasureFootprint();
    }
    return now;
}

void TrackFootprint(Figures& figures, int run, int done) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // Freed memory that the allocator still holds (a whole-device run's buffers, say) is no leak:
    // give it back first, so that what stays resident is what is still in use.
    malloc_trim(0);
    const bench::Footprint now = SettledFootprint(figures);
    if (done == std::min(WarmUpRuns, figures.runs / 3)) {
        figures.baseline = now;
        figures.baselineTaken = true;
        return;
    }
    if (!figures.baselineTaken)
        return;
    const int descriptors = now.descriptors - figures.baseline.descriptors;
    const int threads = now.threads - figures.baseline.threads;
    if (descriptors > figures.descriptorGrowth || threads > figures.threadGrowth)
        std::printf("run %d: %d descriptors, %d threads (baseline %d, %d)\n", run, now.descriptors,
                    now.threads, figures.baseline.descriptors, figures.baseline.threads);
    figures.descriptorGrowth = std::max(figures.descriptorGrowth, descriptors);
    figures.threadGrowth = std::max(figures.threadGrowth, threads);
    figures.finalRssGrowthKb = now.residentKb - figures.baseline.residentKb;
    figures.maxRssGrowthKb = std::max(figures.maxRssGrowthKb, figures.finalRssGrowthKb);
}

// One run: the update file in a program folder of its own, the device, the face, the checks.
void SoakRun(Figures& figures, quint64 seed, int run, const QString& portFolder, bool verbose) {
    QElapsedTimer clock;
    clock.start();
    std::seed_seq sequence{quint32(seed), quint32(seed >> 32), quint32(run)};
    std::mt19937_64 random(sequence);
    const soak::SoakCase draw = soak::DrawCase(random);
    const bool windows = run % 2 == 0;
    const char* face = windows ? "windows" : "rq70-flash";

    QTemporaryDir folder;
    const QString programFolder = folder.filePath(QStringLiteral("program"));
    const QString updateFile = QDir(programFolder).filePath(QStringLiteral("RQ70-SOAK.KRV"));
    QDir().mkpath(programFolder);
    QFile file(updateFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(bench::UpdateFileOf(draw.images, draw.lastWord)) < 0)
        qFatal("cannot write %s", qPrintable(updateFile));
    file.close();

    SimulatedDevice device;
    if (!device.Start(1, draw.deviceOptions, portFolder)) {
        ++figures.deviceErrors;
        Report(run, face, draw, "device error", QStringLiteral("the simulator did not start"));
        return;
    }
    soak::Observation seen;
    if (windows) {
        seen = soak::UpdateThroughWindows(programFolder, draw.lastWord, draw.replyTimeoutMs);
    } else {
        // As rq70-flash reads the file it is given.
        rq70::FirmwareImages images;
        rq70::LoadHexFile(updateFile.toStdString(), images, {});
        if (images.HighestProgramWord == draw.lastWord)
            seen = soak::UpdateThroughFlash(images, draw.replyTimeoutMs);
        else
            seen.problem =
                QStringLiteral("the update file loaded up to word %1").arg(images.HighestProgramWord);
    }
    const bool stopped = device.Stop();
    QFile::remove(rq70::UpdateRecordPath());

    if (seen.success && seen.problem.isEmpty()) {
        const QString difference =
            stopped ? MemoryDifference(device.Dump(), draw.images) : QStringLiteral("no memory dump");
        if (!difference.isEmpty()) {
            ++figures.falseSuccesses;
            Report(run, face, draw, "FALSE SUCCESS", difference);
            return;
        }
    } else if (!stopped) {
        ++figures.deviceErrors;
        Report(run, face, draw, "device error", QStringLiteral("the simulator left no memory dump"));
        return;
    }
    if (const QString mismatch = soak::Mismatch(draw.expect, seen); !mismatch.isEmpty()) {
        ++figures.wrongVerdicts;
        Report(run, face, draw, "WRONG VERDICT", mismatch);
        return;
    }
    ++(seen.success ? figures.successes : figures.failures);
    if (verbose)
        Report(run, face, draw, seen.success ? "success" : "failure",
               QStringLiteral("as expected, %1 ms").arg(clock.elapsed()));
}

} // namespace

// The offscreen platform says what it cannot do (raise a window, ...) for every result window; a
// thousand times that hides what matters.
void QuietOffscreenNotes(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QStringLiteral("This plugin does not support")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

int main(int argc, char* argv[]) {
    qInstallMessageHandler(QuietOffscreenNotes);
    QApplication app(argc, argv);
    // Every windows run ends its program by closing the result window; this process goes on.
    QApplication::setQuitOnLastWindowClosed(false);

    QStringList arguments = app.arguments().mid(1);
    const bool verbose = arguments.removeAll(QStringLiteral("--verbose")) > 0;
    int first = 0;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--first"));
        at >= 0 && at + 1 < arguments.size()) {
        first = arguments[at + 1].toInt();
        arguments.remove(at, 2);
    }
    bool countOk = false;
    Figures figures;
    figures.runs = arguments.value(0).toInt(&countOk);
    if (!countOk || figures.runs < 1 || first < 0 || arguments.size() > 2) {
        std::fprintf(stderr, "usage: bench_soak N [SEED] [--first RUN] [--verbose]\n");
        return 2;
    }
    const quint64 seed = arguments.size() > 1 ? arguments[1].toULongLong() : std::random_device{}();
    std::printf("soak: %d runs from run %d, seed %llu (replay run R: bench/soak 1 %llu --first R)\n",
                figures.runs, first, static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(seed));
    std::fflush(stdout);

    QTemporaryDir work;
    const QString portFolder = work.filePath(QStringLiteral("ports"));
    QDir().mkpath(portFolder);
    qputenv("RQ70_PORT_DIR", portFolder.toLocal8Bit());
    // Each run's record is read and removed after it; set once, as every setenv keeps its text.
    qputenv("RQ70_UPDATE_RECORD", work.filePath(QStringLiteral("updates.jsonl")).toLocal8Bit());

    QElapsedTimer clock;
    clock.start();
    for (int done = 1; done <= figures.runs; ++done) {
        const int run = first + done - 1;
        SoakRun(figures, seed, run, portFolder, verbose);
        TrackFootprint(figures, run, done);
        if (done % 100 == 0)
            std::printf("%d runs, %.0f s, %ld kB resident\n", done, double(clock.elapsed()) / 1000,
                        bench::MeasureFootprint().residentKb);
        std::fflush(stdout);
    }
    const double seconds = double(clock.elapsed()) / 1000;

    std::printf("runs             %d (%d successes, %d failures as the faults demand)\n", figures.runs,
                figures.successes, figures.failures);
    std::printf("false successes  %d\nwrong verdicts   %d\ndevice errors    %d\n", figures.falseSuccesses,
                figures.wrongVerdicts, figures.deviceErrors);
    bool flat = true;
    if (figures.baselineTaken) {
        std::printf("after run %d: %d descriptors, %d threads, %ld kB resident\n",
                    first + std::min(WarmUpRuns, figures.runs / 3) - 1, figures.baseline.descriptors,
                    figures.baseline.threads, figures.baseline.residentKb);
        std::printf("growth           descriptors %+d, threads %+d, RSS %+ld kB at the end (max %+ld kB)   "
                    "(targets 0, 0, < %ld kB)\n",
                    figures.descriptorGrowth, figures.threadGrowth, figures.finalRssGrowthKb,
                    figures.maxRssGrowthKb, RssGrowthLimitKb);
        if (!bench::RssIsMeaningful)
            std::printf("                 (RSS not judged: AddressSanitizer keeps freed memory)\n");
        flat = figures.descriptorGrowth <= 0 && figures.threadGrowth <= 0 &&
               (!bench::RssIsMeaningful || figures.finalRssGrowthKb < RssGrowthLimitKb);
    } else {
        std::printf("growth           not measured: too few runs for a baseline\n");
    }
    std::printf("time             %.1f s, %.0f ms per run\n", seconds, seconds * 1000 / figures.runs);
    const bool passed =
        flat && figures.falseSuccesses == 0 && figures.wrongVerdicts == 0 && figures.deviceErrors == 0;
    std::printf("%s (seed %llu)\n", passed ? "PASSED" : "FAILED", static_cast<unsigned long long>(seed));
    return passed ? 0 : 1;
}
