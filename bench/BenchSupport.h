#pragma once

#include "image/FirmwareImages.h"

#include <QByteArray>
#include <QEventLoop>
#include <QHash>
#include <QString>
#include <QTimer>

#include <functional>

// What the benchmarks share: update files, the process's CPU time and footprint, and the reading
// of the simulator's byte log against the line's own time.
namespace bench {

// Program words 0..lastWord and all 256 EEPROM bytes of `images`, as a toolchain writes them
// (16-byte records, CR LF), scrambled into an update file.
QByteArray UpdateFileOf(const rq70::FirmwareImages& images, int lastWord);

// Words 0..16383 and all 256 EEPROM bytes, as a toolchain writes them (16-byte records, CR LF),
// scrambled into an update file.
QByteArray WholeDeviceUpdateFile();

// User and system time of this process so far, in seconds.
double CpuSeconds();

// How often this process has given up the CPU of its own accord (to wait for a byte, say), from
// /proc/self/status; -1 when unknown.
long VoluntaryContextSwitches();

// What this process holds: open file descriptors, threads, and resident memory in kB (-1 unknown):
// all of it, and the anonymous part (heap, stacks) without the pages of mapped files.
struct Footprint {
    int descriptors = 0;
    int threads = 0;
    long residentKb = -1;
    long anonymousKb = -1;
};
// Under AddressSanitizer freed memory waits in a quarantine of a few hundred megabytes, so the
// resident size says nothing about leaks; LeakSanitizer answers that question there instead.
#ifdef __SANITIZE_ADDRESS__
inline constexpr bool RssIsMeaningful = false;
#else
inline constexpr bool RssIsMeaningful = true;
#endif

Footprint MeasureFootprint();
// The same of another process, from /proc/<pid>.
Footprint MeasureFootprint(qint64 pid);

// User and system time of process `pid` so far, all its threads, in seconds (the kernel counts in
// clock ticks, 10 ms here); -1 when unknown.
double CpuSecondsOf(qint64 pid);

// The user and system time of each thread of process `pid` so far, by thread id, with the name
// the thread gave itself; empty when unknown. A thread that has ended is no longer among them,
// though its time stays in the process's.
struct ThreadTime {
    QString name;
    double seconds = 0;
};
QHash<qint64, ThreadTime> ThreadCpuOf(qint64 pid);

// Prints the run's figures: bytes each way, wall time, the wire-time lower bound of the same
// stop-and-wait exchanges and the ratio to it, the mean turnaround at each end, and the CPU share.
// Only bytes from the first `fromCommand` the device took in on are counted (-1: all).
// Returns the number of exchanges counted.
long PrintFigures(const QString& logPath, int baud, double wallSeconds, double cpuSeconds,
                  int fromCommand = -1);

// Runs an event loop until `done` holds, looking each time `sender` emits `changed`; false when
// `timeoutMs` passed first (a negative one: no limit).
template <class Sender, class Signal>
bool WaitUntil(Sender* sender, Signal changed, const std::function<bool()>& done, int timeoutMs) {
    if (done())
        return true;
    QEventLoop loop;
    bool timedOut = false;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    QObject::connect(sender, changed, &loop, [&] {
        if (done())
            loop.quit();
    });
    if (timeoutMs >= 0)
        limit.start(timeoutMs);
    loop.exec();
    return !timedOut;
}

} // namespace bench
