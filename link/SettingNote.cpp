// Linux: notes under /run, their writers told apart by /proc.
#include "link/SettingNote.h"

#include "common/AtomicWrite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

namespace rq70 {

namespace {

// When the process `pid` started, in clock ticks since boot (the 22nd field of its stat); "" for
// a process that is not there. A number the system gives to a new process once the old one is
// gone must not pass for the program that wrote a note.
QByteArray ProcessStart(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = stat.read(4096);
    // The command name in parentheses may hold blanks and parentheses itself.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 1).simplified().split(' ');
    return fields.value(22 - 3);
}

bool WriterRuns(const QJsonObject& note) {
    const QByteArray started = note.value(QStringLiteral("started")).toString().toLatin1();
    return !started.isEmpty() &&
           ProcessStart(static_cast<qint64>(note.value(QStringLiteral("pid")).toDouble())) == started;
}

} // namespace

QString SettingNoteFolder() {
    const QString chosen = qEnvironmentVariable("RQ70_PORT_NOTE_DIR");
    if (!chosen.isEmpty())
        return chosen;
    const QString shared = QStringLiteral("/run/rq70-updater");
    if (QFileInfo(shared).isDir() && ::access(QFile::encodeName(shared).constData(), W_OK | X_OK) == 0)
        return shared;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return runtime.isEmpty() ? QString() : QDir(runtime).filePath(QStringLiteral("rq70-updater"));
}

SettingNote::SettingNote(const QString& setting, const QString& folder)
    : setting_(setting), folder_(folder) {}

QString SettingNote::PathFor(const QString& node) const {
    // /dev/ttyS1 is ttyS1, /dev/pts/3 is pts-3.
    QString device = node.startsWith(QLatin1String("/dev/")) ? node.mid(5) : node;
    device.replace(QLatin1Char('/'), QLatin1Char('-'));
    return QDir(folder_).filePath(device + QLatin1Char('.') + setting_);
}

QByteArray SettingNote::OwnValue(const QString& node, const QByteArray& current) {
    if (folder_.isEmpty())
        return current;
    const QString path = PathFor(node);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return current;
    const QJsonObject note = QJsonDocument::fromJson(file.read(4096)).object();
    file.close();
    if (WriterRuns(note))
        return current;
    QFile::remove(path);
    const QByteArray own = note.value(QStringLiteral("own")).toString().toLatin1();
    // Only a value the gone program left in place is its doing; any other was set since.
    if (!own.isEmpty() && note.value(QStringLiteral("changed")).toString().toLatin1() == current)
        return own;
    return current;
}

void SettingNote::Keep(const QString& node, const QByteArray& own, const QByteArray& changed) {
    if (folder_.isEmpty() || !QDir().mkpath(folder_))
        return;
    const qint64 pid = ::getpid();
    const QJsonObject note{{"device", node},
                           {"setting", setting_},
                           {"own", QString::fromLatin1(own)},
                           {"changed", QString::fromLatin1(changed)},
                           {"pid", pid},
                           {"started", QString::fromLatin1(ProcessStart(pid))}};
    const QString path = PathFor(node);
    // Written whole or not at all: a note cut short by a crash would say nothing.
    if (WriteFileAtomically(QFile::encodeName(path).toStdString(),
                            QJsonDocument(note).toJson(QJsonDocument::Compact).toStdString())
            .empty())
        kept_ = path;
}

void SettingNote::Drop() {
    if (kept_.isEmpty())
        return;
    QFile::remove(kept_);
    kept_.clear();
}

} // namespace rq70
