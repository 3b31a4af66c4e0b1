#pragma once

#include <QHash>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <utility>

namespace rq70::flash {

// Which device each slot of a station holds, for the slots' threads to share. Two cradles' names
// may be found to lead to one device only once its port appears (a link made later, an adapter
// plugged in): the slot that claims the device first holds it until it lets go, and a slot whose
// port leads to it meanwhile takes no unit, so that one unit is never served by two slots.
class SlotClaims {
public:
    // The slots' ports as given, by slot index.
    explicit SlotClaims(QStringList ports) : ports_(std::move(ports)) {}

    // Slot `slot` is about to open the device at `node` (with every link followed). -1 when it may:
    // it holds that device from now on instead of any it held before. Else the slot that holds it.
    int Claim(int slot, const QString& node);
    // The slot holds no device any more.
    void Release(int slot);
    // Why `slot` takes no units while `holder` holds its device, for its screen.
    QString Refusal(int slot, int holder) const;

private:
    const QStringList ports_;
    QMutex mutex_;
    // The node each slot holds, by slot index.
    QHash<int, QString> held_;
};

} // namespace rq70::flash
