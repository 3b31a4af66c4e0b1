#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A simulated boot loader (rq70-devsim) on a pseudo-terminal, reachable as COMn through a port
// folder that the test points RQ70_PORT_DIR at.
class SimulatedDevice {
public:
    SimulatedDevice();
    ~SimulatedDevice();
    SimulatedDevice(const SimulatedDevice&) = delete;
    SimulatedDevice& operator=(const SimulatedDevice&) = delete;

    // Starts the simulator as COMn of `portDir` (the device's own folder when empty) with the
    // given extra options, and waits until its link is there. False (with a warning) on failure.
    bool Start(int n = 1, const QStringList& options = {}, const QString& portDir = {});
    // Ends it with SIGTERM and reads its memory dump. Safe to call twice.
    bool Stop();
    // SIGUSR1 pulls its adapter out, SIGUSR2 plugs it back in. False when it is not running.
    bool Signal(int number);
    // Waits for the simulator to end by itself (after a hang-up or with --exit-after-finish).
    bool WaitForExit(int timeoutMs = 10000);

    QString PortDir() const { return portDir_; }
    QString PtyPath() const { return ptyPath_; }
    // The memory dump written when the simulator ended.
    QJsonObject Dump() const { return dump_; }
    int CommandCount(const QString& name) const;
    // The byte log: one entry per byte, in order, "in" (from the host) or "out".
    struct LoggedByte {
        qint64 micros;
        bool fromHost;
        int value;
    };
    QList<LoggedByte> Log() const;

    // The commands the host sent, rebuilt from the byte log: a command's parameters are counted
    // only when the device acknowledged it. `address` is -1 where none was sent; `parameters` is
    // how many parameter bytes followed, so that a command cut short shows.
    struct HostCommand {
        int command;
        int address;
        int parameters = 0;
    };
    QList<HostCommand> HostCommands() const;

private:
    bool ReadDump();

    QTemporaryDir dir_;
    QString portDir_;
    QString ptyPath_;
    QProcess process_;
    QJsonObject dump_;
};
