#pragma once

#include "StationCase.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// One station of the line bench: an `rq70-flash station` process over eight slots of its own,
// shipping its record to the line's database (or not, for the comparison without one), and the
// simulated units that arrive in its slots, are updated and taken out again.
namespace line {

inline constexpr int SlotsPerStation = 8;

// What one station did, over every process it was (a killed station is started again).
struct StationFigures {
    // Units that arrived in its slots, and those among them cut short by the station's kill.
    int units = 0;
    int interruptedUnits = 0;
    int verdicts = 0;
    int successes = 0;
    // Units whose verdicts had not all come within the time limit.
    int hangs = 0;
    // Units given more verdicts than their fault makes (reported; bench/station judges them all).
    int extraVerdicts = 0;
    // Verdicts other than the unit's fault makes, among those it must get.
    int wrongVerdicts = 0;
    int badEvents = 0;
    int starts = 0;
    int kills = 0;
    // User and system time of its processes, each taken just before it was signalled to end.
    double cpuSeconds = 0;
    // The highest backlog it reported, and when (ms since the epoch) it last reported one.
    int largestBacklog = 0;
};

class LineStation : public QObject {
    Q_OBJECT
public:
    // The next unit to arrive in a slot, or none once the shift has had all its units.
    using NextUnit = std::function<std::optional<station::UnitPlan>()>;

    // `conninfo` empty: the station keeps its record to itself.
    LineStation(int number, const QString& folder, const QString& updateFile, const QString& conninfo,
                NextUnit next, bool verbose);
    ~LineStation() override;

    QString Name() const { return name_; }
    QString RecordPath() const { return recordPath_; }
    // The cradles' paths, slot 1 first.
    QStringList Ports() const;
    // Options for the next start besides the ports, the record, the name and the database (the
    // board, say).
    void SetOptions(const QStringList& options) { options_ = options; }
    qint64 ProcessId() const { return process_.processId(); }

    // Starts the station process (again, after a kill: same record, same name) and lets units arrive.
    void Start();
    // SIGKILL: no shift end, no summary; the units in its slots are taken out and count as
    // interrupted.
    void Kill();
    // SIGTERM: the station ends its shift.
    void EndShift();

    bool Running() const { return process_.state() != QProcess::NotRunning; }
    // Killed by the bench and not started again yet.
    bool Killed() const { return killed_; }
    // The process is down and no unit of it is left in a slot.
    bool Quiet() const;
    // Every slot is empty and no unit is due to arrive.
    bool Idle() const;
    // The shift event of the current process has come.
    bool ShiftStarted() const { return shiftStarted_; }
    // The lines waiting for the database as last reported (-1: none reported yet), and why.
    int Backlog() const { return backlog_; }
    QString BacklogReason() const { return backlogReason_; }
    // Units that have left, whatever became of them.
    int UnitsDone() const { return unitsDone_; }
    const StationFigures& Figures() const { return figures_; }
    QStringList Problems() const { return problems_; }
    // A line for each wrong verdict, apart from the problems: a bench may count them as a finding.
    QStringList WrongVerdicts() const { return wrongVerdicts_; }
    // The station's last lines on stderr.
    QStringList Notes() const { return notes_; }
    // The exit status of the last process to end; -1 for a crash or a kill.
    int ExitCode() const { return exitCode_; }

signals:
    // Something the bench waits for may have changed.
    void Changed();
    // Each JSON event of the station's, as it came (before Changed).
    void StationEvent(const QJsonObject& event);

private:
    struct Unit;
    struct Slot;

    void TakeOutput();
    void OnEvent(const QJsonObject& event);
    void OnSlotEvent(Slot& slot, const QString& kind, const QJsonObject& event);
    // Against the verdict the unit's plan has next.
    void Judge(const Unit& unit, const QJsonObject& event);
    void Arrive(Slot& slot);
    void LeaveWhenDone(Unit& unit);
    void TakeOut(Unit& unit);
    void OnUnitEnded(Unit& unit);
    void Pull(Unit& unit);
    void TakeCpu();
    void Problem(const QString& text);

    const int number_;
    const QString name_;
    const QString folder_;
    const QString portDir_;
    const QString recordPath_;
    const QString updateFile_;
    const QString conninfo_;
    const NextUnit next_;
    const bool verbose_;
    QStringList options_;
    QProcess process_;
    bool shiftStarted_ = false;
    bool killed_ = false;
    bool arrivalsOpen_ = false;
    int exitCode_ = -1;
    int backlog_ = -1;
    QString backlogReason_;
    int unitsDone_ = 0;
    std::vector<std::unique_ptr<Slot>> slots_;
    StationFigures figures_;
    QStringList problems_;
    QStringList wrongVerdicts_;
    QStringList notes_;
};

} // namespace line
