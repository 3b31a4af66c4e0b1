#include "flash/FlashUpdateView.h"

namespace rq70::flash {

namespace {

// Bytes on the wire, both ways, for one unit of each phase: command, acknowledge, parameters and
// the reply (a write block's reply is its 8-byte echo).
constexpr qint64 EraseRowBytes = 5;
constexpr qint64 WriteBlockBytes = 20;
constexpr qint64 EepromByteBytes = 5;

qint64 Units(int highestWord, int step) {
    return highestWord >= FirstUpdatedWord ? (highestWord - FirstUpdatedWord) / step + 1 : 0;
}

} // namespace

FlashUpdateView::FlashUpdateView(int device, int highestProgramWord,
                                 std::function<void(const DeviceEvent&)> emitEvent)
    : device_(device), emit_(std::move(emitEvent)) {
    eraseBytes_ = Units(highestProgramWord, EraseRowWords) * EraseRowBytes;
    programBytes_ = Units(highestProgramWord, WriteBlockWords) * WriteBlockBytes;
    totalBytes_ = eraseBytes_ + programBytes_ + EepromByteCount * EepromByteBytes;
}

void FlashUpdateView::EnterPhase(UpdatePhase phase) {
    if (phase == phase_)
        return;
    phase_ = phase;
    Emit(DeviceEvent::Phase);
}

void FlashUpdateView::SetProgressValue(int value) {
    // The bar's value is the first address of the unit about to go out: the units before it are done.
    qint64 done = 0;
    switch (phase_) {
    case UpdatePhase::Erase:
        done = (value - FirstUpdatedWord) / EraseRowWords * EraseRowBytes;
        break;
    case UpdatePhase::Program:
        done = eraseBytes_ + (value - FirstUpdatedWord) / WriteBlockWords * WriteBlockBytes;
        break;
    case UpdatePhase::Eeprom:
        done = eraseBytes_ + programBytes_ + value * EepromByteBytes;
        break;
    case UpdatePhase::None:
        return;
    }
    const int percent = static_cast<int>(std::clamp<qint64>(done * 100 / totalBytes_, 0, 100));
    if (percent <= percent_)
        return;
    percent_ = percent;
    Emit(DeviceEvent::Progress);
}

void FlashUpdateView::ShowVerifyError(const QString& text) {
    Emit(DeviceEvent::VerifyFailed, text);
}

void FlashUpdateView::Emit(DeviceEvent::Kind kind, const QString& text) const {
    DeviceEvent event;
    event.kind = kind;
    event.device = device_;
    event.phase = phase_;
    event.percent = std::max(percent_, 0);
    event.text = text;
    emit_(event);
}

} // namespace rq70::flash
