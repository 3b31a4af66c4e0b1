#pragma once

#include "flash/SlotClaims.h"
#include "flash/UnitUpdate.h"

#include <QObject>

#include <memory>

class QElapsedTimer;
class QEventLoop;

namespace rq70::flash {

// What a station slot is doing, as its screen shows it between the update's own events.
struct SlotEvent {
    enum Kind {
        // The slot's port is not there (at the start, or it went away).
        PortGone,
        // The port is there again and open; `text` is its device path.
        PortBack,
        // The port is there but does not open; `text` says why. Tried again at the cadence.
        OpenFailed,
        // The port is open and no unit is in: the slot waits for one.
        Waiting,
        // A unit answered: its update starts now; `text` is the device path, `unit` its number.
        UnitStarted,
        // The unit updated last has left: its port went away (`portGone`) or it stopped answering.
        UnitLeft,
        // The port that opened holds every reply for a while (see SerialLink::AdapterNotice);
        // `text` says what it costs and how to cure it.
        AdapterNotice,
    } kind = Waiting;
    int slot = 0;
    int unit = 0;
    bool portGone = false;
    QString text;
};

// One cradle of a production station, in a thread of its own: waits for its port (by the path
// given, so an adapter that is plugged in later, or pulled and plugged back, is found again), then
// for a unit's boot loader to answer the presence check, updates it exactly as `update` does, and
// waits for that unit to leave before it takes the next. A unit is never updated twice without
// having left.
class StationSlot : public QObject {
    Q_OBJECT

public:
    // `job.port` is the port as given; `waitUnplug`: send nothing between a verdict and the port
    // going away (for cradles whose adapter leaves with the unit). `claims`, shared by every slot
    // of the station, outlives the slot.
    StationSlot(DeviceJob job, bool waitUnplug, SlotClaims& claims);
    ~StationSlot() override;

    // In the slot's thread: serves units until asked to stop, then emits Ended.
    void Run();
    // From any thread. Take no new unit; an update under way runs to its end.
    void RequestFinish();
    // From any thread. Also stop an update under way after the row, block or EEPROM byte under
    // way, as the Abort button does.
    void RequestStop();

signals:
    void Slot(const rq70::flash::SlotEvent& event);
    void Event(const rq70::flash::DeviceEvent& event);
    void Finished(const rq70::flash::DeviceOutcome& outcome);
    void Ended(int slot);

private:
    enum class Leave { Stay, NoAnswer, PortGone };

    // Opens the port when its path is there; false while it is not open. Reports changes.
    bool OpenWhenThere();
    // True when the port's line or its path went away, or the path leads to another device now.
    bool PortWentAway();
    // One presence check, waited for until the end of the current tick at the latest.
    bool UnitAnswers();
    // Waits for the unit just updated to leave; false when the slot was asked to finish first.
    bool WaitForUnitToLeave();
    // The unit left with its port: both are reported, and the slot waits for the port again.
    bool UnitLeftWithPort();
    // Closes the port and lets go of its device for the other slots.
    void ClosePort();
    // Sleeps in the event loop until the current tick ends or the slot is asked to finish.
    void WaitForTick(int intervalMs = SerialLink::MonitorIntervalMs);
    void Report(SlotEvent::Kind kind, const QString& text = {}, bool portGone = false);

    DeviceJob job_;
    const bool waitUnplug_;
    SlotClaims& claims_;
    std::unique_ptr<UpdaterModul> state_;
    // Set from other threads through queued calls only, read in the slot's thread.
    bool finishing_ = false;
    bool updating_ = false;
    QEventLoop* sleeping_ = nullptr;
    // The slot's clock while it runs; ticks of the presence check start at tickStart_.
    const QElapsedTimer* clock_ = nullptr;
    qint64 tickStart_ = 0;
    qint64 pathCheckedAt_ = -1000000;
    int units_ = 0;
    // What the screen was told last, so that a port that stays gone is reported once.
    enum class Shown { Nothing, Gone, OpenFailed, Open } shown_ = Shown::Nothing;
    QString shownFailure_;
    QString shownNotice_;
};

} // namespace rq70::flash

Q_DECLARE_METATYPE(rq70::flash::SlotEvent)
