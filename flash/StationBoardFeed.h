#pragma once

#include "flash/ShiftSummary.h"
#include "flash/StationSlot.h"
#include "record/RecordShipper.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>

#include <optional>

namespace rq70::board {
class BoardStream;
}

namespace rq70::flash {

// The board's view of a station's shift: each slot as the station's screen sees it, from the same
// reports, with the shift's totals from its tally and the database's backlog. Makes the board's
// state when it is asked for one, and hands each change to the board's stream as it happens.
class StationBoardFeed {
public:
    // `database`: the shift ships its record to the line's database.
    StationBoardFeed(const QString& shift, const QString& note, const QString& updateFile,
                     const ShiftTally& tally, bool database);

    // Where the changes go from now on.
    void PublishTo(board::BoardStream* stream) { stream_ = stream; }
    // {"shift": {...}, "slots": [...]}, as /api/state answers.
    QJsonObject State() const;

    void OnSlot(const SlotEvent& event);
    void OnEvent(const DeviceEvent& event);
    // A unit's verdict, once the tally has counted it.
    void OnFinished(const DeviceOutcome& outcome);
    void OnDatabase(const ShipperState& state);

private:
    enum class SlotState { NoPort, CannotOpen, Waiting, Updating, Succeeded, Failed };
    struct Slot {
        QString port;
        SlotState state = SlotState::NoPort;
        UpdatePhase phase = UpdatePhase::None;
        int percent = 0;
        QElapsedTimer clock;
        int unit = 0;
        QString identification;
        UpdatePhase failedPhase = UpdatePhase::None;
        int failedWord = -1;
        // Why the port does not open, or what failed.
        QString reason;
        QString lastVerdict;
        QDateTime lastVerdictTime;
    };

    QJsonObject SlotJson(int index) const;
    QJsonObject ShiftJson() const;
    void PublishSlot(int index, bool progress = false);

    const QString shift_;
    const QString note_;
    const QString updateFile_;
    const ShiftTally& tally_;
    const QDateTime started_;
    QElapsedTimer clock_;
    std::optional<ShipperState> database_;
    QList<Slot> slots_;
    board::BoardStream* stream_ = nullptr;
};

} // namespace rq70::flash
