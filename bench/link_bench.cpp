// The presence check's round trip against the simulated boot loader on a pty without wire timing:
// the probe out, the acknowledge in, through SerialLink and its event-loop wait exactly as the
// updater does it. What is left is the host's own cost of one stop-and-wait exchange, which every
// byte of an update pays: percentiles of the round trip, and how often the bench process slept
// (voluntary context switches) per check.
//   bench_link [CHECKS]      default 10000

#include "BenchSupport.h"

#include "link/DeviceQuery.h"
#include "link/SerialLink.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

using namespace rq70;

namespace {

double Percentile(const std::vector<double>& sorted, double fraction) {
    // Nearest rank: the smallest value that at least `fraction` of all values do not exceed.
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * double(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const int checks = argc > 1 ? QString(argv[1]).toInt() : 10'000;
    if (checks < 1) {
        std::fprintf(stderr, "usage: bench_link [CHECKS]\n");
        return 2;
    }

    QTemporaryDir dir;
    QProcess device;
    device.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString dump = dir.filePath("dump.json");
    device.start(RQ70_DEVSIM_PATH, {"--port-dir", dir.path(), "--port", "COM1", "--dump", dump});
    if (!device.waitForStarted() || !device.waitForReadyRead(5000)) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    qputenv("RQ70_PORT_DIR", dir.path().toLocal8Bit());

    SerialLink link;
    link.ApplyLineSettings();
    if (const OpenResult opened = link.SelectAndOpen(1); !opened.ok()) {
        std::fprintf(stderr, "cannot open COM1: %s\n", qPrintable(opened.description));
        return 1;
    }
    // The first exchange pays for setting the line up; it is not what is measured.
    if (!CheckPresence(link)) {
        std::fprintf(stderr, "the simulator did not answer the first probe\n");
        return 1;
    }

    std::vector<double> roundTripsMs;
    roundTripsMs.reserve(static_cast<std::size_t>(checks));
    const long switchesBefore = bench::VoluntaryContextSwitches();
    const double cpuBefore = bench::CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < checks; ++i) {
        const auto sent = std::chrono::steady_clock::now();
        const bool present = CheckPresence(link);
        const auto answered = std::chrono::steady_clock::now();
        if (!present) {
            std::fprintf(stderr, "check %d found no device\n", i + 1);
            return 1;
        }
        roundTripsMs.push_back(std::chrono::duration<double, std::milli>(answered - sent).count());
    }
    const double wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpuSeconds = bench::CpuSeconds() - cpuBefore;
    const long switchesAfter = bench::VoluntaryContextSwitches();
    link.Close();
    device.terminate();
    device.waitForFinished(5000);
    // Every check must have been one probe and its own answer, not an answer left over from the
    // check before.
    QFile dumpFile(dump);
    const int probes = dumpFile.open(QIODevice::ReadOnly)
                           ? QJsonDocument::fromJson(dumpFile.readAll())["commands"]["probe"].toInt()
                           : -1;
    if (probes != checks + 1) {
        std::fprintf(stderr, "the simulator counted %d probes, not %d\n", probes, checks + 1);
        return 1;
    }

    std::sort(roundTripsMs.begin(), roundTripsMs.end());
    std::printf("%d presence checks (0xF0 out -> 0xA0 in), simulator on a pty without wire timing\n", checks);
    std::printf("  round trip       p50 %.3f ms, p90 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                Percentile(roundTripsMs, 0.50), Percentile(roundTripsMs, 0.90),
                Percentile(roundTripsMs, 0.99), roundTripsMs.back());
    std::printf("  wall time        %.3f s (%.1f us per check)\n", wallSeconds, wallSeconds / checks * 1e6);
    std::printf("  bench CPU        %.3f s = %.1f us per check\n", cpuSeconds, cpuSeconds / checks * 1e6);
    if (switchesBefore >= 0 && switchesAfter >= 0)
        std::printf("  voluntary context switches of the bench: %ld, %.2f per check\n",
                    switchesAfter - switchesBefore, double(switchesAfter - switchesBefore) / checks);
    return 0;
}
