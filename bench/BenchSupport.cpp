#include "BenchSupport.h"

#include "image/FirmwareImages.h"
#include "image/ScrambledFile.h"

#include <QDir>
#include <QFile>
#include <QList>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace bench {

// An update file as a toolchain would write it: 16-byte data records, CR LF, then scrambled.
QByteArray UpdateFileOf(const rq70::FirmwareImages& images, int lastWord) {
    QByteArray text;
    const auto record = [&](int address, int type, const QByteArray& data) {
        QByteArray line = QByteArray(":") + QByteArray::number(data.size(), 16).rightJustified(2, '0') +
                          QByteArray::number(address, 16).rightJustified(4, '0') +
                          QByteArray::number(type, 16).rightJustified(2, '0') + data.toHex() + "00\r\n";
        text += line.toUpper();
    };
    record(0, 4, QByteArray::fromHex("0000"));
    for (int word = 0; word <= lastWord; word += 8) {
        QByteArray data;
        for (int j = word; j < word + 8 && j <= lastWord; ++j)
            data += char(images.LowByte(j)) + QByteArray(1, char(images.HighByte(j)));
        record(word * 2, 0, data);
    }
    record(0, 4, QByteArray::fromHex("0001"));
    for (int address = 0; address < rq70::EepromByteCount; address += 8) {
        QByteArray data;
        for (int j = 0; j < 8; ++j)
            data += char(images.EepromByte(address + j)) + QByteArray(1, '\0');
        record(0xE000 + address * 2, 0, data);
    }
    record(0, 1, {});
    std::string bytes = text.toStdString();
    rq70::ApplyScrambleKey(bytes);
    return QByteArray::fromStdString(bytes);
}

QByteArray WholeDeviceUpdateFile() {
    rq70::FirmwareImages images;
    for (int word = 0; word < rq70::ProgramWordCount; ++word) {
        const int value = word * 2654435761u >> 18 & 0x3FFF;
        images.StoreProgramWord(word, value & 0xFF, value >> 8);
    }
    for (int address = 0; address < rq70::EepromByteCount; ++address)
        images.StoreEepromByte(address, (address ^ 0x5A) & 0xFF);
    return UpdateFileOf(images, rq70::ProgramWordCount - 1);
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

namespace {

// A "Name:   value ..." line of /proc/<process>/status as a number; -1 when unknown.
long StatusField(const QByteArray& name, const QString& process = QStringLiteral("self")) {
    QFile status(QStringLiteral("/proc/%1/status").arg(process));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    // Read whole: a /proc file reports size 0, so QFile would see it at its end from the start.
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(line.indexOf(':') + 1).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

} // namespace

long VoluntaryContextSwitches() {
    return StatusField("voluntary_ctxt_switches");
}

namespace {

Footprint FootprintOf(const QString& process) {
    const auto entries = [&](const char* folder) {
        return int(QDir(QStringLiteral("/proc/%1/%2").arg(process, QLatin1String(folder)))
                       .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                       .size());
    };
    return {entries("fd"), entries("task"), StatusField("VmRSS", process), StatusField("RssAnon", process)};
}

} // namespace

Footprint MeasureFootprint() {
    return FootprintOf(QStringLiteral("self"));
}

Footprint MeasureFootprint(qint64 pid) {
    return FootprintOf(QString::number(pid));
}

namespace {

// utime + stime of a /proc/.../stat file, in seconds; -1 when unknown.
double StatSeconds(const QString& path) {
    QFile stat(path);
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The command name in parentheses may hold spaces; the fields are counted after its end.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the whole line, 12 and 13 after the name.
    if (fields.size() < 13)
        return -1;
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(ticksPerSecond);
}

} // namespace

double CpuSecondsOf(qint64 pid) {
    return StatSeconds(QStringLiteral("/proc/%1/stat").arg(pid));
}

QHash<qint64, ThreadTime> ThreadCpuOf(qint64 pid) {
    QHash<qint64, ThreadTime> threads;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const double seconds = StatSeconds(QStringLiteral("%1/%2/stat").arg(tasks, tid));
        QFile comm(QStringLiteral("%1/%2/comm").arg(tasks, tid));
        // A thread that ends meanwhile is left out.
        if (seconds < 0 || !comm.open(QIODevice::ReadOnly))
            continue;
        threads.insert(tid.toLongLong(), {QString::fromUtf8(comm.readAll().trimmed()), seconds});
    }
    return threads;
}

long PrintFigures(const QString& logPath, int baud, double wallSeconds, double cpuSeconds, int fromCommand) {
    // Every byte of the run crossed the wire once, one after another (stop and wait). Where the
    // direction turns, the gap beyond one byte time is latency: after a reply byte left the
    // simulator, the updater's wake-up and answer (plus the simulator noticing it); after a host
    // byte arrived, the simulator's own lateness in sending its reply.
    QFile bytes(logPath);
    bytes.open(QIODevice::ReadOnly);
    long in = 0, out = 0, exchanges = 0;
    double hostTurnaround = 0, simulatorTurnaround = 0;
    long hostTurns = 0, simulatorTurns = 0;
    bool counting = fromCommand < 0;
    bool lastFromHost = false;
    double lastMicros = 0;
    const double byteMicros = baud > 0 ? 10e6 / baud : 0;
    while (!bytes.atEnd()) {
        const QList<QByteArray> fields = bytes.readLine().trimmed().split(' ');
        if (fields.size() != 3)
            continue;
        const double micros = fields[0].toDouble();
        const bool fromHost = fields[1] == "in";
        if (!counting && fromHost && fields[2].toInt(nullptr, 16) == fromCommand)
            counting = true;
        if (!counting)
            continue;
        if (in + out > 0 && fromHost != lastFromHost) {
            // A byte is stamped when it has crossed the wire: "in" when the device takes it, "out"
            // when the simulator hands it over after its byte time.
            const double gap = micros - lastMicros - byteMicros;
            (fromHost ? hostTurnaround : simulatorTurnaround) += gap;
            ++(fromHost ? hostTurns : simulatorTurns);
        }
        (fromHost ? in : out) += 1;
        exchanges += fromHost && !lastFromHost;
        lastFromHost = fromHost;
        lastMicros = micros;
    }
    std::printf("baud %d: %ld bytes to the device, %ld back, %ld exchanges\n", baud, in, out, exchanges);
    std::printf("  wall time        %8.3f s\n", wallSeconds);
    if (baud > 0) {
        const double bound = double(in + out) * 10.0 / baud;
        std::printf("  wire lower bound %8.3f s\n  ratio            %8.4f   (target <= 1.01)\n", bound,
                    wallSeconds / bound);
    } else {
        std::printf("  per exchange     %8.1f us   (target: whole device < 1 s)\n",
                    wallSeconds / double(exchanges) * 1e6);
    }
    if (hostTurns > 0 && simulatorTurns > 0)
        std::printf("  turnaround       updater %.0f us, simulator %.0f us (mean per turn of direction)\n",
                    hostTurnaround / double(hostTurns), simulatorTurnaround / double(simulatorTurns));
    std::printf("  updater CPU      %8.3f s = %.2f %% of wall   (target <= 0.6 %% with wire timing)\n",
                cpuSeconds, 100.0 * cpuSeconds / wallSeconds);
    return exchanges;
}

} // namespace bench
