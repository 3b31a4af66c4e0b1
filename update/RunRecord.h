#pragma once

#include "link/ChosenPort.h"
#include "record/UpdateRecord.h"
#include "update/UpdateProcedure.h"

#include <QDateTime>
#include <QString>

namespace rq70 {

// What a face knows of one update run besides its result: who ran it, on which port, from which
// update file, and when.
struct RunContext {
    QString program;
    QString version;
    // The station's name for the record; empty: the host name.
    QString station;
    // See SetPortOfRun.
    QString port;
    QString devicePath;
    QString deviceNode;
    QString usbSerial;
    QString updateFile;
    UpdateFileFacts updateFileFacts;
    int highestProgramWord = 0;
    QDateTime started;
    QDateTime ended;
    // A production station's shift, the device's 1-based slot (0: none) and the operator's note;
    // empty and 0 outside a station.
    QString shift;
    int slot = 0;
    QString note;
};

// The port of the run as the record names it: as the user gave it ("COM3", or the path), the path
// that name stood for (the COMn link, or the path itself), and the node and USB serial number the
// device had when its port opened. All of it is known before the update starts, so a unit pulled
// half way is still recorded with the cradle it sat in.
void SetPortOfRun(RunContext& context, const ChosenPort& port);

// The update record of a run, with an id of its own: verdict "success", "aborted" or "failure",
// with the phase, word and reason of a failure, the identification after a success, and the USB
// serial number of the port's adapter where it has one.
UpdateRecord RecordOfRun(const RunContext& context, const UpdateResult& result);

} // namespace rq70
