#pragma once

#include "flash/DeviceEvent.h"

#include <QJsonObject>
#include <QList>
#include <QStringList>

namespace rq70::flash {

// What a station's shift came to: units per slot and in all, with their verdicts.
class ShiftTally {
public:
    struct Slot {
        QString port;
        int units = 0;
        int succeeded = 0;
        int failed = 0;
    };

    explicit ShiftTally(const QStringList& ports);

    // A unit's verdict: a success (recorded, where the record is required) or a failure.
    void Count(const DeviceOutcome& outcome);

    const QList<Slot>& Slots() const { return slots_; }
    int Units() const { return succeeded_ + failed_; }
    int Succeeded() const { return succeeded_; }
    int Failed() const { return failed_; }
    // 0 when every unit of the shift succeeded (none is no failure), 6 when a required record line
    // is missing, else 1.
    int ExitStatus() const;

private:
    QList<Slot> slots_;
    int succeeded_ = 0;
    int failed_ = 0;
    bool recordMissing_ = false;
};

// The closing --json event of a shift.
QJsonObject SummaryEvent(const QString& shift, const ShiftTally& tally, qint64 elapsedMs);
// The shift summary for a person, line by line: a blank line, shift, elapsed time and totals, then
// a table of the slots.
QStringList SummaryLines(const QString& shift, const ShiftTally& tally, qint64 elapsedMs);

} // namespace rq70::flash
