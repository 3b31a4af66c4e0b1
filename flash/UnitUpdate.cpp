#include "flash/UnitUpdate.h"

#include "flash/FlashUpdateView.h"
#include "record/RecordFile.h"

#include <QElapsedTimer>

namespace rq70::flash {

DeviceOutcome UpdateOpenDevice(UpdaterModul& state, const DeviceJob& job, const DeviceEventSink& sink) {
    DeviceOutcome outcome;
    outcome.device = job.device;
    outcome.open = {};
    outcome.recordRequired = job.requireRecord;
    outcome.started = QDateTime::currentDateTimeUtc();
    QElapsedTimer clock;
    clock.start();
    FlashUpdateView view(job.device, job.images.HighestProgramWord, sink);
    outcome.result = RunUpdate(state, view, 0, job.replyTimeoutMs);
    outcome.ran = true;
    outcome.ended = QDateTime::currentDateTimeUtc();
    outcome.durationMs = clock.elapsed();
    // A failed run leaves the windows' connection monitor switched on; nothing here runs it.
    state.link.SetMonitorTimer(false);

    if (!job.recordPath.isEmpty()) {
        RunContext context = job.context;
        // The port as it opened for this unit, not as it is after the run: a unit pulled half way
        // takes its node and adapter with it.
        SetPortOfRun(context, state.link.Port());
        context.started = outcome.started;
        context.ended = outcome.ended;
        const UpdateRecord record = RecordOfRun(context, outcome.result);
        outcome.recordWarning = AppendUpdateRecord(job.recordPath, record);
        if (outcome.recordWarning.isEmpty())
            outcome.record = ToJson(record);
    }
    return outcome;
}

} // namespace rq70::flash
