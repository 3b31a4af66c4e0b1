#include "flash/UpdateEvents.h"

#include "flash/LiveBlock.h"
#include "flash/OutcomeText.h"

namespace rq70::flash {

QJsonValue OrNull(const QString& text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonValue OrNull(int value) {
    return value < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(value);
}

double Seconds(qint64 ms) {
    return static_cast<double>(ms) / 1000.0;
}

QJsonObject StartEvent(const QString& port, const QString& devicePath) {
    return {{"event", "start"},
            {"port", port},
            {"device_path", devicePath},
            {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)}};
}

QJsonObject ProgressEvent(const QString& port, const DeviceEvent& event, qint64 elapsedMs) {
    QJsonObject progress{{"event", event.kind == DeviceEvent::Phase ? "phase" : "progress"},
                         {"port", port},
                         {"phase", PhaseName(event.phase)},
                         {"percent", event.percent},
                         {"elapsed_s", Seconds(elapsedMs)}};
    if (const qint64 left = MsLeft(elapsedMs, event.percent); left >= 0)
        progress.insert("left_s", Seconds(left));
    return progress;
}

QJsonObject VerifyFailedEvent(const QString& port, const DeviceEvent& event) {
    return {{"event", "verify_failed"},
            {"port", port},
            {"word", event.text.section(QLatin1Char(' '), -1).toInt()},
            {"message", event.text}};
}

QJsonObject EventToTell(const QString& port, const DeviceEvent& event, qint64 elapsedMs,
                        int& printedPercent) {
    if (event.kind == DeviceEvent::VerifyFailed)
        return VerifyFailedEvent(port, event);
    if (event.kind != DeviceEvent::Phase && event.percent < printedPercent + JsonProgressStep)
        return {};
    printedPercent = event.percent;
    return ProgressEvent(port, event, elapsedMs);
}

QJsonObject IdentificationEvent(const QString& port, const QString& text) {
    return {{"event", "identification"}, {"port", port}, {"text", text}};
}

QJsonObject VerdictEvent(const QString& port, const DeviceOutcome& outcome) {
    const bool updated = outcome.ran && outcome.result.outcome == UpdateResult::Succeeded;
    return {{"event", "verdict"},
            {"port", port},
            {"verdict", VerdictOf(outcome)},
            {"failed_phase", OrNull(PhaseName(outcome.result.failedPhase))},
            {"failed_word", OrNull(outcome.result.failedWord)},
            {"reason", OrNull(updated ? QString() : outcome.result.reason)},
            {"identification", OrNull(outcome.result.identification)},
            {"duration_s", Seconds(outcome.durationMs)},
            {"record_warning", OrNull(outcome.recordWarning)}};
}

} // namespace rq70::flash
