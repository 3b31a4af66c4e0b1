#pragma once

#include <QByteArray>
#include <QString>

// What the benchmarks share: a whole-device update file, the process's CPU time, and the reading
// of the simulator's byte log against the line's own time.
namespace bench {

// Words 0..16383 and all 256 EEPROM bytes, as a toolchain writes them (16-byte records, CR LF),
// scrambled into an update file.
QByteArray WholeDeviceUpdateFile();

// User and system time of this process so far, in seconds.
double CpuSeconds();

// How often this process has given up the CPU of its own accord (to wait for a byte, say), from
// /proc/self/status; -1 when unknown.
long VoluntaryContextSwitches();

// Prints the run's figures: bytes each way, wall time, the wire-time lower bound of the same
// stop-and-wait exchanges and the ratio to it, the mean turnaround at each end, and the CPU share.
// Only bytes from the first `fromCommand` the device took in on are counted (-1: all).
// Returns the number of exchanges counted.
long PrintFigures(const QString& logPath, int baud, double wallSeconds, double cpuSeconds,
                  int fromCommand = -1);

} // namespace bench
