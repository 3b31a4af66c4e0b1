#pragma once

#include "flash/DeviceEvent.h"

#include <QString>

namespace rq70::flash {

// How rq70-flash puts times, failed opens and outcomes into words, on every screen and in every
// --json event alike.

// "1:05" or "1:02:03".
QString Clock(qint64 ms);
// Why a port did not open, and what to do about it.
QString OpenFailureText(const OpenResult& open);
// The verdict of an outcome as the record and the report name it: success, failure or aborted.
QString VerdictOf(const DeviceOutcome& outcome);
// What failed, for a person: "program at word 261: the echo of word 261 did not match".
QString FailureOf(const DeviceOutcome& outcome);

} // namespace rq70::flash
