#include "flash/SlotClaims.h"

#include <QMutexLocker>

namespace rq70::flash {

int SlotClaims::Claim(int slot, const QString& node) {
    const QMutexLocker lock(&mutex_);
    for (auto held = held_.cbegin(); held != held_.cend(); ++held) {
        if (held.key() != slot && held.value() == node)
            return held.key();
    }
    held_.insert(slot, node);
    return -1;
}

void SlotClaims::Release(int slot) {
    const QMutexLocker lock(&mutex_);
    held_.remove(slot);
}

QString SlotClaims::Refusal(int slot, int holder) const {
    return QStringLiteral("%1 leads to the same device as slot %2 (%3), which takes its units")
        .arg(ports_.value(slot), QString::number(holder + 1), ports_.value(holder));
}

} // namespace rq70::flash
