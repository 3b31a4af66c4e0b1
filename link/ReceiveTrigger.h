#pragma once

#include "link/SettingNote.h"

#include <QByteArray>
#include <QString>

namespace rq70 {

// Where the receive trigger is looked for: /sys, or the folder RQ70_SYSFS_ROOT names (tests give a
// port a trigger of its own that way).
QString TriggerSysfsRoot();

// The receive FIFO trigger of a built-in UART. A 16550 hands received bytes on when its FIFO holds
// the trigger level (8 bytes by default) or after 4 character times of silence: every one-byte
// reply of the boot loader then waits about 8 ms at 4800 baud, some 45 seconds on a whole-device
// update. Drivers that offer it show the trigger as the tty's rx_trig_bytes in sysfs; only root
// may set it, unless a udev rule grants it (packaging/99-rq70-uart-fifo.rules). The trigger's own
// value is noted while it is lowered (see SettingNote.h), so that it comes back even after a
// program that lowered it was killed.
class ReceiveTrigger {
public:
    explicit ReceiveTrigger(const QString& sysfsRoot = TriggerSysfsRoot(),
                            const QString& noteFolder = SettingNoteFolder())
        : sysfsRoot_(sysfsRoot), note_(QStringLiteral("rx_trig_bytes"), noteFolder) {}
    ~ReceiveTrigger() { Restore(); }
    ReceiveTrigger(const ReceiveTrigger&) = delete;
    ReceiveTrigger& operator=(const ReceiveTrigger&) = delete;

    // Sets the trigger of the tty at `canonicalNode` to one byte for as long as the port is held;
    // one that a killed program left at one byte counts as its noted own value.
    // Returns what the technician should hear when the driver has a trigger above one byte that
    // the updater may not change (what it costs, how to fix it for good, naming the port
    // `portName`); "" otherwise, also for ports without such a trigger.
    QString Lower(const QString& canonicalNode, const QString& portName);
    // Puts back the trigger Lower changed, if it did.
    void Restore();

private:
    QString sysfsRoot_;
    SettingNote note_;
    // The attribute Lower changed and its own value; "" when it changed none.
    QString changed_;
    QByteArray oldValue_;
};

// What a receive trigger of `triggerBytes` costs a whole-device update, and how to cure it.
QString ReceiveTriggerNotice(const QString& portName, int triggerBytes);

} // namespace rq70
