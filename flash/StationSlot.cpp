#include "flash/StationSlot.h"

#include "flash/FreeMemory.h"

#include "link/BootLoaderBytes.h"
#include "link/ComPorts.h"
#include "link/DeviceResync.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

namespace rq70::flash {

namespace {

// A unit has left its cradle when its boot loader has missed every presence check for a second
// (five in a row). A lost byte or a contact that flickers must not let the same unit be updated
// twice; no operator takes a unit out and puts the next one in within that second.
constexpr int MissedChecksToLeave = 1000 / SerialLink::MonitorIntervalMs;
constexpr qint64 PathCheckIntervalMs = 1000;
// A port that is not there is looked for twice a second: no operator plugs a cradle's adapter in
// and a unit into it faster, and eight empty cradles then cost next to nothing.
constexpr int AbsentPortIntervalMs = 500;
// A resync is answered within the tick as a probe is: at 4800 baud its fill bytes, the echo of a
// write they finish and the probe's acknowledge cross in about 45 ms, and an adapter may hold the
// replies 16 ms. A unit whose contact is gone then misses one check per tick, as it would probes.
constexpr int ResyncWaitMs = 150;

} // namespace

StationSlot::StationSlot(DeviceJob job, bool waitUnplug, SlotClaims& claims)
    : job_(std::move(job)), waitUnplug_(waitUnplug), claims_(claims) {}

StationSlot::~StationSlot() = default;

void StationSlot::Report(SlotEvent::Kind kind, const QString& text, bool portGone) {
    SlotEvent event;
    event.kind = kind;
    event.slot = job_.device;
    event.unit = units_;
    event.portGone = portGone;
    event.text = text;
    emit Slot(event);
}

void StationSlot::Run() {
    state_ = std::make_unique<UpdaterModul>();
    state_->images = job_.images;
    state_->link.ApplyLineSettings();
    QElapsedTimer clock;
    clock.start();
    clock_ = &clock;
    tickStart_ = clock.elapsed();

    while (!finishing_) {
        if (!OpenWhenThere()) {
            WaitForTick(AbsentPortIntervalMs);
            continue;
        }
        if (!UnitAnswers()) {
            if (!PortWentAway())
                WaitForTick();
            continue;
        }
        if (finishing_)
            break;
        ++units_;
        Report(SlotEvent::UnitStarted, state_->link.DevicePath());
        updating_ = true;
        const DeviceOutcome outcome =
            UpdateOpenDevice(*state_, job_, [this](const DeviceEvent& event) { emit Event(event); });
        updating_ = false;
        emit Finished(outcome);
        // The unit's update is done with what it allocated; a shift of thousands must not grow.
        ReturnFreedMemory();
        if (!WaitForUnitToLeave())
            break;
    }
    ClosePort();
    state_.reset();
    clock_ = nullptr;
    emit Ended(job_.device);
}

bool StationSlot::OpenWhenThere() {
    SerialLink& link = state_->link;
    if (link.IsOpen() && !PortWentAway())
        return true;
    if (link.IsOpen()) {
        ClosePort();
        shown_ = Shown::Nothing;
    }
    // Followed by its path, not by the device it led to last: the next unit may come with an
    // adapter of its own behind the same by-id link or cradle port.
    const ChosenPort port = ResolvePortArgument(job_.port.Name());
    OpenResult open{OpenFailure::Missing, 0, {}};
    if (!port.Node().isEmpty()) {
        // A device that another slot's port leads to is that slot's: opened by both, each unit
        // would be taken by whichever slot came first.
        const int holder = claims_.Claim(job_.device, port.Node());
        open = holder < 0 ? link.Open(port)
                          : OpenResult{OpenFailure::Other, 0, claims_.Refusal(job_.device, holder)};
    }
    if (open.ok()) {
        shown_ = Shown::Open;
        Report(SlotEvent::PortBack, link.DevicePath());
        // Told once per slot: a slow adapter stays slow for every unit of the shift.
        if (const QString notice = link.AdapterNotice(); !notice.isEmpty() && notice != shownNotice_) {
            shownNotice_ = notice;
            Report(SlotEvent::AdapterNotice, notice);
        }
        Report(SlotEvent::Waiting);
        return true;
    }
    ClosePort();
    if (open.failure == OpenFailure::Missing) {
        if (shown_ != Shown::Gone)
            Report(SlotEvent::PortGone);
        shown_ = Shown::Gone;
    } else if (shown_ != Shown::OpenFailed || shownFailure_ != open.description) {
        shown_ = Shown::OpenFailed;
        shownFailure_ = open.description;
        Report(SlotEvent::OpenFailed, open.description);
    }
    return false;
}

bool StationSlot::PortWentAway() {
    const SerialLink& link = state_->link;
    if (!link.IsUsable())
        return true;
    // A line that goes away says so at once. A pty or adapter swapped may not hang the old line
    // up where we can see it: the path leading elsewhere (or nowhere) says the same, and is looked
    // at once a second, which keeps idle slots cheap.
    if (clock_->elapsed() - pathCheckedAt_ < PathCheckIntervalMs)
        return false;
    pathCheckedAt_ = clock_->elapsed();
    return QFileInfo(link.Port().GivenPath()).canonicalFilePath() != link.Port().Node();
}

bool StationSlot::UnitAnswers() {
    SerialLink& link = state_->link;
    const int waitMs = static_cast<int>(
        std::max<qint64>(tickStart_ + SerialLink::MonitorIntervalMs - clock_->elapsed(), 20));
    // A port just opened, a check that went unanswered or a failed update: the unit may be
    // inside a command, and only the resync's fill bytes may reach it before the probe.
    if (link.NeedsResync())
        return ResynchroniseDevice(link, std::max(waitMs, std::min(ResyncWaitMs, job_.replyTimeoutMs)));
    // Nothing came since the last check as a rule: then there is nothing to throw away.
    if (link.BufferedCount() != 0)
        link.FlushInput();
    link.SendByte(ProbeCommand);
    link.WaitForInput(1, waitMs);
    return link.ReadByte().Is(AckByte);
}

bool StationSlot::WaitForUnitToLeave() {
    state_->link.FlushInput();
    int missed = 0;
    while (!finishing_) {
        WaitForTick();
        if (PortWentAway())
            return UnitLeftWithPort();
        if (waitUnplug_)
            continue;
        // A failed update, and every check that went unanswered, leave the line out of step:
        // the unit may be inside a command, and a bare probe would become one of its parameters.
        const bool answered = UnitAnswers();
        if (PortWentAway())
            return UnitLeftWithPort();
        missed = answered ? 0 : missed + 1;
        if (missed >= MissedChecksToLeave) {
            Report(SlotEvent::UnitLeft);
            Report(SlotEvent::Waiting);
            return true;
        }
    }
    return false;
}

bool StationSlot::UnitLeftWithPort() {
    Report(SlotEvent::UnitLeft, {}, true);
    ClosePort();
    Report(SlotEvent::PortGone);
    shown_ = Shown::Gone;
    return true;
}

void StationSlot::ClosePort() {
    state_->link.Close();
    claims_.Release(job_.device);
}

void StationSlot::WaitForTick(int intervalMs) {
    const qint64 left = tickStart_ + intervalMs - clock_->elapsed();
    if (left > 0 && !finishing_) {
        QEventLoop sleep;
        sleeping_ = &sleep;
        QTimer::singleShot(left, &sleep, &QEventLoop::quit);
        // A line that goes away ends the sleep: its port keeps signalling until it is closed.
        const QMetaObject::Connection lost =
            connect(&state_->link, &SerialLink::LineWentAway, &sleep, &QEventLoop::quit);
        sleep.exec();
        disconnect(lost);
        sleeping_ = nullptr;
    }
    tickStart_ = clock_->elapsed();
}

void StationSlot::RequestFinish() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            finishing_ = true;
            if (sleeping_)
                sleeping_->quit();
        },
        Qt::QueuedConnection);
}

void StationSlot::RequestStop() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            finishing_ = true;
            if (updating_ && state_)
                state_->AbortRequested = true;
            if (sleeping_)
                sleeping_->quit();
        },
        Qt::QueuedConnection);
}

} // namespace rq70::flash
