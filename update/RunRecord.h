#pragma once

#include "update/UpdateProcedure.h"
#include "update/UpdateRecord.h"

#include <QDateTime>
#include <QString>

namespace rq70 {

// What a face knows of one update run besides its result: who ran it, on which port, from which
// update file, and when.
struct RunContext {
    QString program;
    QString version;
    QString port;
    QString devicePath;
    QString updateFile;
    UpdateFileFacts updateFileFacts;
    int highestProgramWord = 0;
    QDateTime started;
    QDateTime ended;
    // A production station's shift, its slot (1-based) and the operator's note; empty and 0
    // outside a station.
    QString shift;
    int slot = 0;
    QString note;
};

// The update record of a run: verdict "success", "aborted" or "failure", with the phase, word and
// reason of a failure, the identification after a success, and the USB serial number of the port's
// adapter where it has one.
UpdateRecord RecordOfRun(const RunContext& context, const UpdateResult& result);

} // namespace rq70
