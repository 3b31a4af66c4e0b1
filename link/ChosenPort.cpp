#include "link/ChosenPort.h"

#include <QFileInfo>

namespace rq70 {

ChosenPort::ChosenPort(const QString& name, const QString& givenPath, int comNumber, const QString& node)
    : name_(name), givenPath_(givenPath), comNumber_(comNumber),
      node_(!node.isEmpty() || givenPath.isEmpty() ? node : QFileInfo(givenPath).canonicalFilePath()) {}

QString ChosenPort::FindNow() const {
    return NodeOfDeviceNow(identity_, place_, {node_, QFileInfo(givenPath_).canonicalFilePath()}, sysfsRoot_,
                           procRoot_);
}

QString ChosenPort::PathNow() const {
    if (node_.isEmpty() || QFileInfo(givenPath_).canonicalFilePath() == node_)
        return givenPath_;
    return node_;
}

void ChosenPort::LineUp() {
    // The device first opened is the one chosen; a reopen finds it by what it read then.
    if (identity_.kind == DeviceIdentity::Kind::None) {
        identity_ = DeviceIdentityOf(node_, sysfsRoot_, procRoot_);
        // Adapters that share a serial number (cheap chips often do) are told apart only by where
        // they are plugged in, and a twin may come at any time: this one is followed only at its
        // own place on the bus, whether or not another is in sight now.
        place_ = UsbPlaceOf(node_, sysfsRoot_);
    }
    lineLost_ = false;
    needsResync_ = true;
}

} // namespace rq70
