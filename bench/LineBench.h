#pragma once

#include "LineStation.h"
#include "PgCluster.h"
#include "StationCase.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <vector>

// The line bench: four stations shipping their records to one PostgreSQL server of the bench's
// own, while the server is stopped at once and started again, and one station is killed and
// started again; at the end every record line must be in the table exactly once.
namespace line {

inline constexpr int StationCount = 4;

struct LineSettings {
    quint64 seed = 0;
    int units = 2000;
    // Immediate stops of the server during the shift, each followed by a start.
    int restarts = 2;
    // One station SIGKILLed during the shift and started again.
    bool kill = true;
    // A second shift of the same units without the database, for the stations' CPU time.
    bool baseline = false;
    bool verbose = false;
};

// A span of the shift in which lines could not travel: the server down, or one station down.
struct Outage {
    qint64 fromMs = 0;
    qint64 untilMs = 0;
    // Every station's lines (the server), or that station's.
    QString station;
    QString what;
};

// The delays of the rows that arrived, in seconds: received minus the end of the update.
struct Delays {
    int rows = 0;
    double p50 = -1;
    double p99 = -1;
    double max = -1;
};

struct LineFigures {
    // The cluster's own start.
    double initSeconds = 0;
    double firstStartSeconds = 0;
    double restartSeconds = 0;
    int restarts = 0;
    QList<double> outageSeconds;
    int stationKills = 0;
    // Units through the stations.
    int units = 0;
    int interruptedUnits = 0;
    int verdicts = 0;
    int hangs = 0;
    int extraVerdicts = 0;
    int wrongVerdicts = 0;
    int badEvents = 0;
    int largestBacklog = 0;
    // The end of the shift: the backlog of every station at 0 in time, and what `rq70-flash ship`
    // found still to ship after the stations had ended.
    bool drained = false;
    double drainSeconds = 0;
    int rowsBeforeShip = -1;
    int rowsShippedAtEnd = 0;
    // The record against the table.
    int recordLines = 0;
    int linesWithoutId = 0;
    int linesOfOtherStation = 0;
    int rejectedLines = 0;
    int tableRows = -1;
    // The same id twice in the records, or the same line (apart from its id) twice in the table.
    int duplicateIds = 0;
    int duplicateRows = 0;
    // Ids in the records and not in the table, and the other way round.
    int lost = 0;
    int surplus = 0;
    // Rows whose station column is not the station whose record holds the line.
    int wrongStation = 0;
    // Rows shipped while the server and their station were up, and those that waited out an outage.
    Delays upDelays;
    Delays outageDelays;
    // The stations' user+sys time, per verdict, with the database and (baseline) without.
    double cpuSeconds = 0;
    double baselineCpuSeconds = -1;
    int baselineVerdicts = 0;
    double wallSeconds = 0;
    double baselineWallSeconds = 0;
};

class LineBench : public QObject {
    Q_OBJECT
public:
    explicit LineBench(const LineSettings& settings);
    ~LineBench() override;

    void Run();
    const LineFigures& Result() const { return figures_; }
    // No lost or duplicated row, and nothing else went wrong.
    bool Passed() const;
    QStringList Problems() const { return problems_; }

signals:
    // Something the bench waits for may have changed.
    void Changed();

private:
    // One shift of settings_.units units over the four stations; with the database, its
    // outages and the kill.
    bool Shift(bool withDatabase);
    // The steps of the shift, each taken once its unit count is reached.
    struct Step {
        int atUnits = 0;
        QString what;
        std::function<void()> take;
    };
    QList<Step> PlanSteps();
    void TakeDueSteps();
    void StopServer(const QString& why);
    void StartServer();
    void KillStation(LineStation& station);
    bool Drain();
    bool EndStations();
    void ShipRemainder();
    // LineCheck.cpp: the record against the table, and the delays.
    void CheckTable();
    // The rows in the table, -1 when it cannot be read.
    int TableRows();
    // Every station's record has as many lines as the table has rows of it.
    bool AllLinesInTable();
    bool RunFlash(const QStringList& arguments, QByteArray* output = nullptr);

    int UnitsDone() const;
    bool WaitFor(const std::function<bool()>& done, int timeoutMs);
    void Problem(const QString& text);

    const LineSettings settings_;
    const station::ShiftFile file_;
    QTemporaryDir work_;
    QString updateFile_;
    PgCluster cluster_;
    QString conninfo_;
    std::vector<std::unique_ptr<LineStation>> stations_;
    int launched_ = 0;
    QList<Step> steps_;
    bool takingStep_ = false;
    qint64 serverDownSinceMs_ = -1;
    QHash<QString, qint64> stationDownSinceMs_;
    QList<Outage> outages_;
    qint64 shiftEndMs_ = 0;
    QStringList problems_;
    LineFigures figures_;
};

} // namespace line
