#pragma once

#include "BenchSupport.h"
#include "StationCase.h"

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace station {

struct BenchSettings {
    quint64 seed = 0;
    int units = 0;
    // The number of the first unit; a run of one unit from here replays it.
    int first = 1;
    // The idle measurement at the end; judged from JudgedIdleSeconds up, reported only below.
    int idleSeconds = 60;
    bool verbose = false;
};

inline constexpr int JudgedIdleSeconds = 20;
inline constexpr long RssGrowthLimitKb = 1024;
inline constexpr double IdleCpuLimitPercent = 0.5;

// What the bench counted; the station's summary and record must agree with it.
struct Figures {
    int units = 0;
    int silentUnits = 0;
    // Units whose cradle contact breaks and returns.
    int contactBreaks = 0;
    // The station's own units: one per start event.
    int updates = 0;
    int successes = 0;
    int failures = 0;
    int wrongVerdicts = 0;
    int doubleUpdates = 0;
    // Units with a program word written outside the update's rows.
    int strayWords = 0;
    int hangs = 0;
    int deviceErrors = 0;
    int badEvents = 0;
    int openFailures = 0;
    int recordWarnings = 0;
    int pulls = 0;
    int latePulls = 0;
    int lostRecordLines = 0;
    int surplusRecordLines = 0;
    int badRecordLines = 0;
    // Footprint in the idle configuration, after the warm-up and at every checkpoint.
    bool baselineTaken = false;
    int baselineAfter = 0;
    bench::Footprint baseline;
    int descriptorGrowth = 0;
    int threadGrowth = 0;
    long maxRssGrowthKb = 0;
    long finalRssGrowthKb = 0;
    double idleCpuSeconds = -1;
    double idleSeconds = 0;
    // The end of the shift.
    int exitCode = -1;
    int expectedExitCode = -1;
    QString shiftEndProblem;
    double wallSeconds = 0;
};

// One long `rq70-flash station` over eight slots, with simulated units arriving, being updated
// and taken out at random; checks every unit, the record and the summary against what it saw.
class StationBench : public QObject {
    Q_OBJECT
public:
    StationBench(const BenchSettings& settings, const ShiftFile& file);
    ~StationBench() override;

    // The whole shift, up to the station's exit and the checks of its record.
    void Run();
    const Figures& Result() const { return figures_; }
    // Anything at all that failed.
    bool Passed() const;
    // The station's last lines on stderr, for a failed run.
    QStringList StationNotes() const { return stationNotes_; }

signals:
    // Something the bench waits for may have changed.
    void Changed();

private:
    class Unit;
    struct Slot;

    void StartStation();
    void TakeStationOutput();
    void OnEvent(const QJsonObject& event);
    void OnSlotEvent(Slot& slot, const QString& kind, const QJsonObject& event);
    void OnVerdict(Slot& slot, const QJsonObject& event);

    void ScheduleArrival(Slot& slot, int gapMs);
    void Arrive(Slot& slot);
    Unit* Launch(Slot& slot, const UnitPlan& plan, bool idle);
    void StayThenLeave(Unit& unit);
    void TakeOut(Unit& unit);
    void OnUnitEnded(Unit& unit);
    void Judge(Unit& unit);
    void OnHang(Unit& unit);

    // Runs the shift on until `units` units have been through and every slot is empty.
    void RunUnitsUpTo(int units);
    // Silent units in the first half of the slots, none in the other half, until the station has
    // settled on them; then the footprint against the baseline.
    void IdleCheckpoint(int unitsDone, bool last);
    void EndIdle();
    void MeasureIdleCpu();
    void EndShift();
    void CheckSummary(int exitCode);
    void CheckRecord();

    // Runs the event loop until `done` holds (checked whenever Changed is emitted) or the time
    // is up; false on the time limit.
    bool WaitFor(const std::function<bool()>& done, int timeoutMs);
    void Pause(int ms);
    bench::Footprint SettledFootprint();
    void Report(const Unit& unit, const char* what, const QString& detail);
    void PrintSlots(const QString& why);
    void Problem(const QString& text);

    const BenchSettings settings_;
    const ShiftFile& file_;
    QTemporaryDir work_;
    QString portDir_;
    QString recordPath_;
    QString note_;
    QProcess station_;
    bool stationEnded_ = false;
    QJsonValue shiftId_;
    QJsonObject summary_;
    QJsonObject lastEvent_;
    QList<int> interruptStages_;
    QStringList stationNotes_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::mt19937_64 arrivals_;
    int nextNumber_ = 0;
    int launchLimit_ = 0;
    int launched_ = 0;
    int judged_ = 0;
    int idleUnits_ = 0;
    // The verdicts as the events gave them, one key per verdict, for the record.
    QHash<QString, int> verdictKeys_;
    QStringList problems_;
    Figures figures_;
};

} // namespace station
