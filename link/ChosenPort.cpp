#include "link/ChosenPort.h"

#include "link/PortIdentity.h"

#include <QFileInfo>

namespace rq70 {

ChosenPort::ChosenPort(const QString& name, const QString& givenPath, int comNumber, const QString& node)
    : name_(name), givenPath_(givenPath), comNumber_(comNumber),
      node_(!node.isEmpty() || givenPath.isEmpty() ? node : QFileInfo(givenPath).canonicalFilePath()) {}

QString ChosenPort::FindNow() const {
    return NodeOfDeviceNow(identity_, place_, {node_, QFileInfo(givenPath_).canonicalFilePath()});
}

QString ChosenPort::PathNow() const {
    if (node_.isEmpty() || QFileInfo(givenPath_).canonicalFilePath() == node_)
        return givenPath_;
    return node_;
}

void ChosenPort::LineUp() {
    // The device first opened is the one chosen; a reopen finds it by what it read then.
    if (identity_.isEmpty()) {
        identity_ = DeviceIdentityOf(node_);
        // Adapters that share a serial number (cheap chips often do) are told apart by where they
        // are plugged in: this one is followed only at its own place on the bus.
        if (NodesWithIdentity(identity_).size() > 1)
            place_ = UsbPlaceOf(node_);
    }
    lineLost_ = false;
    needsResync_ = true;
}

} // namespace rq70
