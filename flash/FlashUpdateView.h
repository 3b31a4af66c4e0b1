#pragma once

#include "flash/DeviceEvent.h"
#include "update/UpdateView.h"

#include <functional>

namespace rq70::flash {

// The update's view without windows: the phase line and the bar become phase and progress events,
// the verify message an event of its own. Runs in the device's thread; `emitEvent` must be safe
// to call from there.
class FlashUpdateView : public UpdateView {
public:
    FlashUpdateView(int device, int highestProgramWord, std::function<void(const DeviceEvent&)> emitEvent);

    void ShowProgressWindow() override {}
    void SetProgressLabel1(const QString&) override {}
    void SetProgressLabel2(const QString&) override {}
    void EnterPhase(UpdatePhase phase) override;
    void SetProgressMax(int) override {}
    void SetProgressValue(int value) override;
    void SetProgressBarColor(quint32) override {}
    void UnloadProgressWindow() override {}
    void ShowVerifyError(const QString& text) override;
    void ShowResultWindow() override {}
    void SetResultLabel1(const QString&) override {}
    void SetResultLabel2(const QString&) override {}

private:
    // An event of this device, in the phase and at the percentage reached.
    void Emit(DeviceEvent::Kind kind, const QString& text = {}) const;

    const int device_;
    const std::function<void(const DeviceEvent&)> emit_;
    // Wire bytes of the run before each phase, and in all.
    qint64 eraseBytes_ = 0;
    qint64 programBytes_ = 0;
    qint64 totalBytes_ = 0;
    UpdatePhase phase_ = UpdatePhase::None;
    int percent_ = -1;
};

} // namespace rq70::flash
