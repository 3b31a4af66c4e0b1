#include "update/RunRecord.h"

namespace rq70 {

void SetPortOfRun(RunContext& context, const ChosenPort& port) {
    context.port = port.Name();
    context.devicePath = port.GivenPath();
    context.deviceNode = port.Node();
    context.usbSerial = port.UsbSerial();
}

UpdateRecord RecordOfRun(const RunContext& context, const UpdateResult& result) {
    UpdateRecord record;
    record.started = context.started;
    record.ended = context.ended;
    record.program = context.program;
    record.version = context.version;
    record.station = context.station;
    record.port = context.port;
    record.devicePath = context.devicePath;
    record.deviceNode = context.deviceNode;
    record.usbSerial = context.usbSerial;
    record.updateFile = context.updateFile;
    record.updateFileSize = context.updateFileFacts.size;
    record.updateFileSha256 = context.updateFileFacts.sha256;
    record.highestProgramWord = context.highestProgramWord;
    record.shift = context.shift;
    record.slot = context.slot;
    record.note = context.note;
    switch (result.outcome) {
    case UpdateResult::Succeeded:
        record.verdict = QStringLiteral("success");
        record.identification = result.identification;
        break;
    case UpdateResult::PortNotOpened:
        record.verdict = QStringLiteral("failure");
        record.failedPhase = QStringLiteral("open");
        record.reason = result.open.description;
        break;
    case UpdateResult::Failed:
    case UpdateResult::Busy:
        record.verdict = result.aborted ? QStringLiteral("aborted") : QStringLiteral("failure");
        record.failedPhase = PhaseName(result.failedPhase);
        record.failedWord = result.failedWord;
        record.reason = result.reason;
        break;
    }
    return record;
}

} // namespace rq70
