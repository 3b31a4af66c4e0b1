#include "flash/StationBoardFeed.h"

#include "board/BoardStream.h"
#include "flash/LiveBlock.h"
#include "flash/OutcomeText.h"
#include "flash/UpdateEvents.h"

#include <QJsonArray>

#include <cmath>

namespace rq70::flash {

namespace {

// Units per hour mean little in the shift's first minute.
constexpr qint64 RateAfterMs = 60000;

QJsonValue TimeOrNull(const QDateTime& time) {
    return time.isValid() ? QJsonValue(time.toUTC().toString(Qt::ISODateWithMs))
                          : QJsonValue(QJsonValue::Null);
}

QString StateName(int state) {
    static const char* const names[] = {"no_port",  "cannot_open", "waiting",
                                        "updating", "succeeded",   "failed"};
    return QString::fromLatin1(names[state]);
}

} // namespace

StationBoardFeed::StationBoardFeed(const QString& shift, const QString& note, const QString& updateFile,
                                   const ShiftTally& tally, bool database)
    : shift_(shift), note_(note), updateFile_(updateFile), tally_(tally),
      started_(QDateTime::currentDateTimeUtc()) {
    clock_.start();
    if (database)
        database_ = ShipperState{};
    for (const ShiftTally::Slot& slot : tally.Slots()) {
        slots_.append(Slot{});
        slots_.last().port = slot.port;
    }
}

QJsonObject StationBoardFeed::ShiftJson() const {
    const qint64 elapsed = clock_.elapsed();
    QJsonValue database(QJsonValue::Null);
    if (database_)
        database = QJsonObject{{"lines", database_->waiting},
                               {"oldest", TimeOrNull(database_->oldest)},
                               {"reason", OrNull(database_->reason)},
                               {"shipped", database_->shipped}};
    QJsonValue rate(QJsonValue::Null);
    if (elapsed >= RateAfterMs)
        rate = std::round(double(tally_.Units()) * 36000000.0 / double(elapsed)) / 10.0;
    return {{"id", shift_},
            {"note", OrNull(note_)},
            {"update_file", updateFile_},
            {"started", TimeOrNull(started_)},
            {"elapsed_s", std::round(Seconds(elapsed))},
            {"units", tally_.Units()},
            {"succeeded", tally_.Succeeded()},
            {"failed", tally_.Failed()},
            {"units_per_hour", rate},
            {"database", database}};
}

QJsonObject StationBoardFeed::SlotJson(int index) const {
    const Slot& slot = slots_[index];
    const ShiftTally::Slot counts = tally_.Slots().value(index);
    const bool updating = slot.state == SlotState::Updating;
    const bool failed = slot.state == SlotState::Failed;
    const bool hasUnit = updating || failed || slot.state == SlotState::Succeeded;
    const QJsonValue null(QJsonValue::Null);
    QJsonValue secondsLeft = null;
    if (const qint64 left = updating ? MsLeft(slot.clock.elapsed(), slot.percent) : -1; left >= 0)
        secondsLeft = qint64(std::ceil(double(left) / 1000.0));
    return {{"slot", index + 1},
            {"port", slot.port},
            {"state", StateName(int(slot.state))},
            {"phase", updating ? OrNull(PhaseName(slot.phase)) : null},
            {"percent", updating ? QJsonValue(slot.percent) : null},
            {"seconds_left", secondsLeft},
            {"unit", hasUnit ? QJsonValue(slot.unit) : null},
            {"identification", slot.state == SlotState::Succeeded ? OrNull(slot.identification) : null},
            {"failed_phase", failed ? OrNull(PhaseName(slot.failedPhase)) : null},
            {"failed_word", failed ? OrNull(slot.failedWord) : null},
            {"reason", failed || slot.state == SlotState::CannotOpen ? OrNull(slot.reason) : null},
            {"last_verdict", OrNull(slot.lastVerdict)},
            {"last_verdict_time", TimeOrNull(slot.lastVerdictTime)},
            {"units", counts.units},
            {"succeeded", counts.succeeded},
            {"failed", counts.failed}};
}

QJsonObject StationBoardFeed::State() const {
    QJsonArray perSlot;
    for (int i = 0; i < slots_.size(); ++i)
        perSlot.append(SlotJson(i));
    return {{"shift", ShiftJson()}, {"slots", perSlot}};
}

void StationBoardFeed::PublishSlot(int index, bool progress) {
    if (stream_)
        stream_->PublishSlot(index, SlotJson(index), progress);
}

void StationBoardFeed::OnSlot(const SlotEvent& event) {
    if (event.slot < 0 || event.slot >= slots_.size())
        return;
    Slot& slot = slots_[event.slot];
    switch (event.kind) {
    case SlotEvent::PortGone:
        slot.state = SlotState::NoPort;
        break;
    case SlotEvent::OpenFailed:
        slot.state = SlotState::CannotOpen;
        slot.reason = event.text;
        break;
    case SlotEvent::Waiting:
        slot.state = SlotState::Waiting;
        break;
    case SlotEvent::UnitStarted:
        slot.state = SlotState::Updating;
        slot.phase = UpdatePhase::None;
        slot.percent = 0;
        slot.unit = event.unit;
        slot.clock.start();
        break;
    case SlotEvent::PortBack:
    case SlotEvent::UnitLeft:
    case SlotEvent::AdapterNotice:
        // The state that follows says it.
        return;
    }
    PublishSlot(event.slot);
}

void StationBoardFeed::OnEvent(const DeviceEvent& event) {
    if (event.device < 0 || event.device >= slots_.size())
        return;
    Slot& slot = slots_[event.device];
    const bool samePhase = event.kind == DeviceEvent::Progress && event.phase == slot.phase;
    slot.phase = event.phase;
    slot.percent = event.percent;
    PublishSlot(event.device, samePhase);
}

void StationBoardFeed::OnFinished(const DeviceOutcome& outcome) {
    if (outcome.device < 0 || outcome.device >= slots_.size())
        return;
    Slot& slot = slots_[outcome.device];
    const bool succeeded = outcome.Succeeded();
    slot.state = succeeded ? SlotState::Succeeded : SlotState::Failed;
    slot.identification = outcome.result.identification;
    slot.failedPhase = succeeded ? UpdatePhase::None : outcome.result.failedPhase;
    slot.failedWord = succeeded ? -1 : outcome.result.failedWord;
    // A failed run says why; a run that did not start or was not recorded, what went wrong.
    slot.reason = succeeded                                 ? QString()
                  : !outcome.ran || outcome.RecordMissing() ? FailureOf(outcome)
                                                            : outcome.result.reason;
    slot.lastVerdict = VerdictOf(outcome);
    slot.lastVerdictTime = outcome.ended.isValid() ? outcome.ended : QDateTime::currentDateTimeUtc();
    PublishSlot(outcome.device);
    if (!stream_)
        return;
    stream_->PublishShift(ShiftJson());
    if (!outcome.record.isEmpty())
        stream_->PublishRecord(outcome.record);
}

void StationBoardFeed::OnDatabase(const ShipperState& state) {
    database_ = state;
    if (stream_)
        stream_->PublishShift(ShiftJson());
}

} // namespace rq70::flash
