#pragma once

#include "BenchSupport.h"
#include "LineStation.h"
#include "StationCase.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The board bench: what the board costs a busy station. One `rq70-flash station` of eight slots
// with its board, unpaced simulated units arriving, being updated and leaving throughout, and a
// record of earlier shifts behind it; three phases of one shift: no client, one board open, and
// a crowd of stream clients with steady record and state requests. The load runs in a process
// of its own at the lowest priority.
namespace boardbench {

inline constexpr int PrefilledRecords = 10000;
// Verdicts before the first phase: each slot's thread, the caches and the allocator warmed up.
inline constexpr int WarmUpVerdicts = 24;

struct Settings {
    quint64 seed = 0;
    int seconds = 60;
    // Units with the station bench's faults (their pace varies more) instead of clean ones.
    bool faults = false;
    int streams = 100;
    int recordsPerSecond = 50;
    int statesPerSecond = 10;
    int loadNice = 19;
    bool verbose = false;
};

enum class Phase { Quiet, OneBoard, Crowd };
inline constexpr int PhaseCount = 3;

// What the station did during one phase, and what its load met.
struct PhaseFigures {
    Phase phase = Phase::Quiet;
    double seconds = 0;
    int verdicts = 0;
    // From the spacing of each slot's verdicts within the phase, summed over the slots (from their
    // count when a slot had fewer than two); -1 without any.
    double unitsPerMinute = -1;
    // The same over each quarter of the phase.
    QList<double> quarterUnitsPerMinute;
    double cpuSeconds = -1;
    // The station's threads by name (the main thread first), and those that ended meanwhile.
    QList<std::pair<QString, double>> threadSeconds;
    // Where the board does its work: the main thread (HTTP, the stream) and the record readers
    // (the pool's threads, live or ended); the slots' threads update the units.
    double boardThreadSeconds = -1;
    bench::Footprint start;
    bench::Footprint end;
    // Once the load generator had ended.
    bench::Footprint afterLoad;
    // The whole machine meanwhile, in cores: busy, and busy at a lowered priority (the load
    // generator, and whatever else runs niced).
    double machineBusyCores = -1;
    double machineNicedCores = -1;
    // The load generator's report (none in the quiet phase), its priority as the kernel had it.
    QJsonObject load;
    int loadNice = 0;
};

struct Figures {
    PhaseFigures phases[PhaseCount];
    double warmUpSeconds = 0;
    line::StationFigures station;
    QStringList wrongVerdicts;
    int recordLinesBefore = 0;
    int recordLinesAfter = 0;
    int exitCode = -1;
    int expectedExitCode = 0;
    QString shiftEndProblem;
    double wallSeconds = 0;
};

class BoardBench : public QObject {
    Q_OBJECT
public:
    explicit BoardBench(const Settings& settings);
    ~BoardBench() override;

    void Run();
    const Figures& Result() const { return figures_; }
    // The run itself worked: units updated in every phase, none hung, each phase's load reported,
    // the station exited at the end with its summary; whatever the targets (a verdict other than
    // the unit's fault makes is one of them).
    bool Worked() const;
    QStringList Problems() const { return problems_; }
    const station::ShiftFile& File() const { return file_; }

signals:
    // Something the bench waits for may have changed.
    void Changed();

private:
    bool Prepare();
    void OnStationEvent(const QJsonObject& event);
    void RunPhase(PhaseFigures& figures);
    // Starts the load generator for `phase`; false when it does not start.
    bool StartLoad(Phase phase);
    QJsonObject StopLoad();
    // What the phase took, from the figures at its start.
    struct Sample {
        qint64 ms = 0;
        double cpuSeconds = -1;
        QHash<qint64, bench::ThreadTime> threads;
        bench::Footprint footprint;
        // The machine's busy and niced CPU time, in clock ticks.
        qint64 busyTicks = -1;
        qint64 nicedTicks = -1;
    };
    Sample TakeSample();
    void Measure(PhaseFigures& figures, const Sample& from, const Sample& until);
    // The slots' pace between the two times, from their verdicts' spacing; -1 when unknown.
    double UnitsPerMinute(qint64 fromMs, qint64 untilMs) const;
    void EndShift();
    int RecordLines() const;
    std::optional<station::UnitPlan> NextUnit();

    bool WaitFor(const std::function<bool()>& done, int timeoutMs);
    qint64 Now() const;
    void Problem(const QString& text);

    const Settings settings_;
    const station::ShiftFile file_;
    QTemporaryDir work_;
    QString updateFile_;
    std::unique_ptr<line::LineStation> station_;
    QProcess load_;
    bool loadEnded_ = false;
    QUrl board_;
    bool arrivalsOpen_ = true;
    int nextNumber_ = 0;
    QElapsedTimer clock_;
    // Each slot's verdicts, ms on the bench's clock.
    QHash<int, QList<qint64>> verdictTimes_;
    QJsonObject summary_;
    QStringList interrupts_;
    QStringList problems_;
    Figures figures_;
};

// The phases' names as the output gives them.
QString PhaseName(Phase phase);

} // namespace boardbench
