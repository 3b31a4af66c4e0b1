#pragma once

#include "link/ComPorts.h"
#include "link/SerialLink.h"
#include "update/UpdateProcedure.h"

#include <QDateTime>
#include <QJsonObject>
#include <QMetaType>
#include <QString>

namespace rq70::flash {

// Something one device's update did, handed from its thread to the one that reports.
struct DeviceEvent {
    enum Kind { Phase, Progress, VerifyFailed } kind = Phase;
    int device = 0;
    UpdatePhase phase = UpdatePhase::None;
    // Of the whole run, by the bytes it puts on the wire: the line's speed makes that its time.
    int percent = 0;
    QString text;
};

// What one device's update came to.
struct DeviceOutcome {
    int device = 0;
    // The update ran; false when its port did not open or the run was called off before it began.
    bool ran = false;
    OpenResult open;
    UpdateResult result;
    QDateTime started;
    QDateTime ended;
    qint64 durationMs = 0;
    // Set when the update record could not be written. The verdict stands regardless, unless the
    // record was required: then the run counts as failed to record.
    QString recordWarning;
    bool recordRequired = false;
    // The record line as it was written; empty when none was (no record, or its write failed).
    QJsonObject record;

    bool RecordMissing() const { return ran && recordRequired && !recordWarning.isEmpty(); }
    // The device was updated and, where that was required, recorded.
    bool Succeeded() const { return ran && result.outcome == UpdateResult::Succeeded && !RecordMissing(); }
};

} // namespace rq70::flash

Q_DECLARE_METATYPE(rq70::flash::DeviceEvent)
Q_DECLARE_METATYPE(rq70::flash::DeviceOutcome)
