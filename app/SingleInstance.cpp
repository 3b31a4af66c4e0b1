#include "app/SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

namespace rq70 {

std::unique_ptr<QLockFile> ClaimSingleInstance() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    auto lock = std::make_unique<QLockFile>(QDir(folder).filePath(QStringLiteral("rq70-updater.lock")));
    // Stale only when its process is gone: with no age limit, a live updater's lock is never
    // taken over, however long its update runs.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0))
        return nullptr;
    return lock;
}

} // namespace rq70
