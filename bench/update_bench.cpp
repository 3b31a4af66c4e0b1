// Whole-device update against the simulated boot loader: words 0..16383 and all 256 EEPROM bytes
// from a real update file.
//   with --baud 4800: wall time against the wire-time lower bound of the same exchanges, and the
//   updater's CPU time;   with --baud 0: the host's own cost per exchange.
// Each argument is BAUD, or BAUD:MS to put a USB serial adapter with an MS-millisecond latency
// timer between the line and the updater (rq70-devsim --adapter-latency).

#include "BenchSupport.h"

#include "image/HexLoader.h"
#include "update/UpdateProcedure.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>

using namespace rq70;

namespace {

class SilentView : public UpdateView {
public:
    void ShowProgressWindow() override {}
    void SetProgressLabel1(const QString&) override {}
    void SetProgressLabel2(const QString&) override {}
    void SetProgressMax(int) override {}
    void SetProgressValue(int) override {}
    void SetProgressBarColor(quint32) override {}
    void UnloadProgressWindow() override {}
    void ShowVerifyError(const QString& text) override {
        std::fprintf(stderr, "verify error: %s\n", qPrintable(text));
    }
    void ShowResultWindow() override {}
    void SetResultLabel1(const QString& text) override { result = text; }
    void SetResultLabel2(const QString&) override {}
    QString result;
};

int Run(int baud, int adapterLatencyMs) {
    QTemporaryDir dir;
    const QString updateFile = dir.filePath("RQ70-BENCH.KRV");
    QFile file(updateFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(bench::WholeDeviceUpdateFile()) < 0)
        return 1;
    file.close();

    UpdaterModul state;
    LoadHexFile(updateFile.toStdString(), state.images, {});
    if (state.images.HighestProgramWord != ProgramWordCount - 1) {
        std::fprintf(stderr, "the bench file did not fill the device\n");
        return 1;
    }

    const QString log = dir.filePath("bytes.log");
    QProcess device;
    device.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    device.start(RQ70_DEVSIM_PATH, {"--port-dir", dir.path(), "--port", "COM1", "--baud",
                                    QString::number(baud), "--adapter-latency",
                                    QString::number(adapterLatencyMs), "--log", log, "--exit-after-finish"});
    if (!device.waitForStarted() || !device.waitForReadyRead(5000))
        return 1;
    qputenv("RQ70_PORT_DIR", dir.path().toLocal8Bit());
    state.link.ApplyLineSettings();

    SilentView view;
    const double cpuBefore = bench::CpuSeconds();
    const long switchesBefore = bench::VoluntaryContextSwitches();
    const qint64 wakeUpsBefore = state.link.DataWakeUps();
    QElapsedTimer clock;
    clock.start();
    const UpdateResult result = RunUpdate(state, view, 1);
    const double wall = double(clock.nsecsElapsed()) / 1e9;
    const double cpu = bench::CpuSeconds() - cpuBefore;
    const long switches = bench::VoluntaryContextSwitches() - switchesBefore;
    const qint64 wakeUps = state.link.DataWakeUps() - wakeUpsBefore;
    if (result.outcome != UpdateResult::Succeeded || !device.waitForFinished(30000)) {
        std::fprintf(stderr, "the update did not succeed: %s\n", qPrintable(view.result));
        return 1;
    }

    if (adapterLatencyMs > 0)
        std::printf("behind a USB serial adapter with a %d ms latency timer\n", adapterLatencyMs);
    const long exchanges = bench::PrintFigures(log, baud, wall, cpu);
    std::printf("  updater wake-ups %8.2f per exchange for arriving bytes, %.2f voluntary context switches\n",
                double(wakeUps) / double(exchanges), double(switches) / double(exchanges));
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QStringList runs = app.arguments().mid(1);
    if (runs.isEmpty())
        runs = {"0", "4800"};
    for (const QString& run : runs) {
        const QStringList fields = run.split(':');
        if (const int status = Run(fields[0].toInt(), fields.size() > 1 ? fields[1].toInt() : 0))
            return status;
    }
    return 0;
}
