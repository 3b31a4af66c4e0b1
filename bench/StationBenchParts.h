#pragma once

// What the station bench's files share: its limits, the reading of the station's events, and the
// bench's own picture of a unit and a slot.
#include "StationBench.h"

#include "update/UpdateProcedure.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QTimer>

#include <sys/prctl.h>

#include <csignal>
#include <cstdio>

namespace station {

inline constexpr int SlotCount = 8;
// Units through the station before its footprint is taken as the baseline: the first updates on
// each slot's thread fill caches and the allocator's arenas.
inline constexpr int WarmUpUnits = 40;
// How often the shift pauses for an idle footprint on the way.
inline constexpr int CheckpointEvery = 100;
// A unit whose verdicts have not all come by then is counted as a hang and taken out; after a few
// of them the station is taken to be stuck and no more units arrive.
inline constexpr int UnitTimeoutMs = 60000;
inline constexpr int HangsBeforeGivingUp = 3;
inline constexpr int SettleTimeoutMs = 20000;
inline constexpr int ExitTimeoutMs = 30000;
inline constexpr int StationNotesKept = 40;
inline constexpr int StallReportMs = 30000;

inline rq70::UpdatePhase PhaseFromName(const QString& name) {
    for (const rq70::UpdatePhase phase :
         {rq70::UpdatePhase::Erase, rq70::UpdatePhase::Program, rq70::UpdatePhase::Eeprom}) {
        if (rq70::PhaseName(phase) == name)
            return phase;
    }
    return rq70::UpdatePhase::None;
}

inline int PhaseOrder(const QString& name) {
    return static_cast<int>(PhaseFromName(name));
}

inline QString Text(const QJsonValue& value) {
    return value.isString() ? value.toString() : QString();
}

inline int Word(const QJsonValue& value) {
    return value.isDouble() ? value.toInt() : -1;
}

// One verdict as its event and its record line both give it.
inline QString VerdictKey(int slot, const QJsonObject& object) {
    return QStringLiteral("slot %1, %2, identification \"%3\", phase \"%4\", word %5")
        .arg(QString::number(slot), Text(object.value("verdict")), Text(object.value("identification")),
             Text(object.value("failed_phase")), QString::number(Word(object.value("failed_word"))));
}

// The station and the simulators end with the bench, however it ends (a test's time limit, say).
inline void EndWithBench(QProcess& process) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

inline void Signal(QProcess& process, int number) {
    if (process.state() == QProcess::Running)
        ::kill(static_cast<pid_t>(process.processId()), number);
}

// A simulated unit in a slot, from its arrival until it has left and been judged.
class StationBench::Unit : public QObject {
public:
    UnitPlan plan;
    Slot* slot = nullptr;
    // A silent unit that holds a port open while the station idles; not one of the shift's.
    bool idle = false;
    QProcess process;
    QString dumpPath;
    QByteArray notes;
    // Its link is in place.
    bool present = false;
    bool verdictsComplete = false;
    bool staying = false;
    bool takenOut = false;
    bool ended = false;
    bool hung = false;
    bool judged = false;
    bool pulled = false;
    bool doubleUpdated = false;
    bool wrong = false;
    int starts = 0;
    QList<soak::Observation> verdicts;
    // The run under way, as its events come.
    soak::Observation current;
    QElapsedTimer since;
    QTimer watchdog;
};

struct StationBench::Slot {
    int number = 0;
    QString port;
    // The unit the bench has put in, until it is judged.
    Unit* unit = nullptr;
    // The unit of the station's last start event in this slot, until its verdict.
    Unit* updating = nullptr;
    int startsSinceLeft = 0;
    QString lastEvent;
    QTimer arrival;
    // As the station's summary must count them.
    int updates = 0;
    int successes = 0;
};

} // namespace station
