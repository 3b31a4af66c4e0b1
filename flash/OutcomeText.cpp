#include "flash/OutcomeText.h"

namespace rq70::flash {

QString Clock(qint64 ms) {
    const qint64 seconds = ms / 1000;
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600)
            .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString OpenFailureText(const OpenResult& open) {
    // A port that is not there is most often a typing slip or an adapter not plugged in.
    if (open.failure == OpenFailure::Missing)
        return open.description + QStringLiteral(" ('rq70-flash ports' lists the ports there are)");
    return open.description;
}

QString VerdictOf(const DeviceOutcome& outcome) {
    if (!outcome.ran)
        return QStringLiteral("not run");
    if (outcome.result.outcome == UpdateResult::Succeeded)
        return outcome.RecordMissing() ? QStringLiteral("record_failed") : QStringLiteral("success");
    return outcome.result.aborted ? QStringLiteral("aborted") : QStringLiteral("failure");
}

QString FailureOf(const DeviceOutcome& outcome) {
    if (!outcome.ran)
        return outcome.open.ok() ? QStringLiteral("not started") : outcome.open.description;
    const UpdateResult& result = outcome.result;
    if (result.outcome == UpdateResult::Succeeded)
        return outcome.RecordMissing()
                   ? QStringLiteral("the update record was not written: ") + outcome.recordWarning
                   : QString();
    QString where = PhaseName(result.failedPhase);
    if (result.failedWord >= 0)
        where += QStringLiteral(" at word %1").arg(result.failedWord);
    return where.isEmpty() ? result.reason : where + QStringLiteral(": ") + result.reason;
}

} // namespace rq70::flash
