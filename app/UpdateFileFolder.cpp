#include "app/UpdateFileFolder.h"

#include <QDir>

namespace rq70 {

bool IsSystemFolder(const QString& folder) {
    // A fixed list, compared by name: what a folder allows (writable by root, say) would make the
    // choice depend on who starts the updater.
    const QString clean = QDir::cleanPath(folder);
    return clean == QLatin1String("/bin") || clean == QLatin1String("/usr/bin") ||
           clean == QLatin1String("/usr/local/bin");
}

QString UpdateFileFolder(const QString& programFolder, const QString& workingFolder) {
    return IsSystemFolder(programFolder) ? workingFolder : programFolder;
}

} // namespace rq70
