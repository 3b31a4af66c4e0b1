#include "link/ChosenPort.h"

#include "link/PortIdentity.h"

#include <QFileInfo>

namespace rq70 {

ChosenPort::ChosenPort(const QString& name, const QString& givenPath, int comNumber, const QString& node)
    : name_(name), givenPath_(givenPath), comNumber_(comNumber),
      node_(!node.isEmpty() || givenPath.isEmpty() ? node : QFileInfo(givenPath).canonicalFilePath()) {}

QString ChosenPort::FindNow() const {
    if (identity_.isEmpty())
        return {};
    QStringList candidates{node_, QFileInfo(givenPath_).canonicalFilePath()};
    candidates << NodesWithIdentity(identity_);
    for (const QString& candidate : candidates) {
        if (!candidate.isEmpty() && QFileInfo::exists(candidate) && DeviceIdentityOf(candidate) == identity_)
            return candidate;
    }
    return {};
}

QString ChosenPort::PathNow() const {
    if (node_.isEmpty() || QFileInfo(givenPath_).canonicalFilePath() == node_)
        return givenPath_;
    return node_;
}

void ChosenPort::LineUp() {
    // The device first opened is the one chosen; a reopen finds it by what it read then.
    if (identity_.isEmpty())
        identity_ = DeviceIdentityOf(node_);
    lineLost_ = false;
    needsResync_ = true;
}

} // namespace rq70
