// Linux: device nodes under /dev, and the links udev makes to them under /dev/serial.
#include "link/PortPaths.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace rq70 {

namespace {

// `path` with the folder it is in followed to the real folder, where that folder exists.
QString InRealFolder(const QString& path) {
    const QFileInfo file(path);
    const QString folder = QFileInfo(file.absolutePath()).canonicalFilePath();
    return QDir::cleanPath((folder.isEmpty() ? file.absolutePath() : folder) + QLatin1Char('/') +
                           file.fileName());
}

// Links to links are followed this far: further is a loop.
constexpr int MostLinksOnTheWay = 40;

QStringList LinksIn(const QString& folder, const QString& target) {
    QStringList links;
    const QDir dir(folder);
    for (const QString& name :
         dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString link = dir.filePath(name);
        if (WherePathLeads(link) == target)
            links << link;
    }
    return links;
}

} // namespace

QString WherePathLeads(const QString& path) {
    if (path.isEmpty())
        return {};
    QString at = InRealFolder(path);
    for (int step = 0; step < MostLinksOnTheWay; ++step) {
        const QFileInfo file(at);
        if (!file.isSymLink())
            break;
        // Also a link whose target is not there (yet): where it would lead is known all the same.
        at = InRealFolder(file.symLinkTarget());
    }
    return at;
}

bool IsMovingKernelName(const QString& path) {
    static const QRegularExpression kernelName(QStringLiteral("^/dev/tty(USB|ACM)\\d+$"));
    return kernelName.match(QDir::cleanPath(QFileInfo(path).absoluteFilePath())).hasMatch();
}

StableLinks StableLinksTo(const QString& node, const QString& serialFolder) {
    const QString target = WherePathLeads(node);
    if (target.isEmpty())
        return {};
    return {LinksIn(serialFolder + QStringLiteral("/by-path"), target),
            LinksIn(serialFolder + QStringLiteral("/by-id"), target)};
}

} // namespace rq70
