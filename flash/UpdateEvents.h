#pragma once

#include "flash/DeviceEvent.h"

#include <QJsonObject>

namespace rq70::flash {

// JSON progress events come at most this often, in percent of the run.
inline constexpr int JsonProgressStep = 5;

// The --json events of one device's update, as `update` and the station both print them. Each
// names the device's port as the user gave it.
QJsonObject StartEvent(const QString& port, const QString& devicePath);
// "phase" when `event` begins a phase, else "progress"; with the time left once it can be told.
QJsonObject ProgressEvent(const QString& port, const DeviceEvent& event, qint64 elapsedMs);
QJsonObject VerifyFailedEvent(const QString& port, const DeviceEvent& event);
// The event to print for `event` at most every JsonProgressStep percent (a phase and a failed
// verify always), or an empty object; `printedPercent` keeps the last percent printed.
QJsonObject EventToTell(const QString& port, const DeviceEvent& event, qint64 elapsedMs, int& printedPercent);
QJsonObject IdentificationEvent(const QString& port, const QString& text);
QJsonObject VerdictEvent(const QString& port, const DeviceOutcome& outcome);

// What a JSON value holds for an empty text or a negative number: null.
QJsonValue OrNull(const QString& text);
QJsonValue OrNull(int value);
double Seconds(qint64 ms);

} // namespace rq70::flash
