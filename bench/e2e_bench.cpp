// The whole road through the real windows (offscreen) against the simulated boot loader at 4800
// baud: the update file beside the program, "Auto Detect...", OK on the search window, OK on the
// main window, and the time from that click to the result window, against the wire-time lower
// bound of the update's exchanges; plus the updater's CPU time over the same span.

#include "BenchSupport.h"

#include "app/MainForm.h"
#include "link/BootLoaderBytes.h"
#include "ui_MainForm.h"
#include "ui_UpdatingCompleteForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int baud = argc > 1 ? QString(argv[1]).toInt() : 4800;

    QTemporaryDir dir;
    QFile file(dir.filePath("RQ70-BENCH.KRV"));
    if (!file.open(QIODevice::WriteOnly) || file.write(bench::WholeDeviceUpdateFile()) < 0)
        return 1;
    file.close();

    const QString log = dir.filePath("bytes.log");
    QProcess device;
    device.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    device.start(RQ70_DEVSIM_PATH, {"--port-dir", dir.path(), "--port", "COM1", "--baud",
                                    QString::number(baud), "--log", log, "--exit-after-finish"});
    if (!device.waitForStarted() || !device.waitForReadyRead(5000))
        return 1;
    qputenv("RQ70_PORT_DIR", dir.path().toLocal8Bit());

    rq70::UpdaterModul state;
    rq70::MainForm form(state, dir.path());
    form.Form_Load();
    form.show();
    form.AutoDetectCmd_Click();
    if (!form.ui->OK->isEnabled()) {
        std::fprintf(stderr, "the search did not find the device\n");
        return 1;
    }

    const double cpuBefore = bench::CpuSeconds();
    QElapsedTimer clock;
    clock.start();
    // The result window shows before the identification text is read; the clock stops there.
    double toResultWindow = 0;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (form.UpdateWindows().ResultWindow() && toResultWindow == 0)
            toResultWindow = double(clock.nsecsElapsed()) / 1e9;
    });
    watcher.start(1);
    form.OK_Click();
    const double wall = double(clock.nsecsElapsed()) / 1e9;
    const double cpu = bench::CpuSeconds() - cpuBefore;
    watcher.stop();
    const auto* result = form.UpdateWindows().ResultWindow();
    if (!result || result->ui->Label1->text() != "The update was successful." ||
        !device.waitForFinished(30000)) {
        std::fprintf(stderr, "the update did not succeed\n");
        return 1;
    }
    std::printf("OK clicked -> result window: %.3f s; -> closing command sent: %.3f s\n", toResultWindow,
                wall);
    bench::PrintFigures(log, baud, wall, cpu, rq70::EraseRowCommand);
    return 0;
}
