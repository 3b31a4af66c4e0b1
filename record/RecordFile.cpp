// The record file is the one place where two programs and many update threads write the same
// file, so its writing goes straight to POSIX: one append-mode write per line under the file's
// lock is what keeps the lines whole. The POSIX calls stay in this file.

#include "record/RecordFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rq70 {

namespace {

// strerror() may share its buffer between threads, and records are written from several.
QString SystemError(int error) {
    char buffer[256];
    return QString::fromLocal8Bit(::strerror_r(error, buffer, sizeof buffer));
}

bool IsFolder(const QByteArray& nativePath) {
    struct stat status {};
    return ::stat(nativePath.constData(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Like mkdir -p, but what it creates is the owner's alone: the record tells who updated what.
QString MakeFolders(const QString& folder) {
    const QByteArray native = QFile::encodeName(QDir::cleanPath(folder));
    if (IsFolder(native))
        return {};
    for (qsizetype end = 1; end <= native.size(); ++end) {
        if (end < native.size() && native.at(end) != '/')
            continue;
        const QByteArray prefix = native.left(end);
        if (::mkdir(prefix.constData(), 0700) != 0 && errno != EEXIST)
            return QStringLiteral("cannot create the folder %1 for the update record: %2")
                .arg(QFile::decodeName(prefix), SystemError(errno));
    }
    return {};
}

// Under the record's lock: looks at the file's end, writes the line and, should the write come
// up short, cuts the file back to where it was. Without the lock another append could slip in
// between and be cut off with ours, or two could both find the same torn end.
// `readable`: the file's end can be looked at; a record the user may append to but not read
// (a shared log) gets every line started on a line of its own instead.
QString AppendLocked(int fd, const QString& path, QByteArray line, bool readable) {
    int lockResult = -1;
    do {
        lockResult = ::flock(fd, LOCK_EX);
    } while (lockResult != 0 && errno == EINTR);
    // A file system without locks (some network shares) still gets the record, in its one write;
    // only a short write then cannot safely be taken back.
    const bool locked = lockResult == 0;

    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return QStringLiteral("cannot look at the update record %1: %2").arg(path, SystemError(errno));
    // A special file such as /dev/null has no end to look at and nothing to take back.
    const bool regular = S_ISREG(status.st_mode);
    const off_t before = status.st_size;
    // A line torn by a crash or a full disk ends without its newline. Ours starts on a line of its
    // own, so the torn one stays one unreadable line and takes no record with it.
    if (regular && before > 0 && !readable) {
        line.prepend('\n');
    } else if (regular && before > 0) {
        char last = '\n';
        ssize_t got = -1;
        do {
            got = ::pread(fd, &last, 1, before - 1);
        } while (got < 0 && errno == EINTR);
        if (got == 1 && last != '\n')
            line.prepend('\n');
    }

    // A short write (a full disk, a file-size limit) is followed by another for the rest, which
    // either finishes the line or says why it cannot.
    qsizetype done = 0;
    int failure = 0;
    while (done < line.size()) {
        const ssize_t written =
            ::write(fd, line.constData() + done, static_cast<std::size_t>(line.size() - done));
        if (written > 0)
            done += written;
        else if (written < 0 && errno == EINTR)
            continue;
        else {
            failure = written < 0 ? errno : EIO;
            break;
        }
    }
    if (failure != 0) {
        const QString error =
            QStringLiteral("cannot write to the update record %1: %2").arg(path, SystemError(failure));
        if (done == 0)
            return error + QStringLiteral("; nothing was written");
        if (!regular || !locked)
            return error + QStringLiteral("; %1 of the line's %2 bytes went out").arg(done).arg(line.size());
        if (::ftruncate(fd, before) != 0) {
            const int cutError = errno;
            return error + QStringLiteral("; %1 of the line's %2 bytes stay in it, as they cannot be taken "
                                          "back: %3")
                               .arg(done)
                               .arg(line.size())
                               .arg(SystemError(cutError));
        }
        return error +
               QStringLiteral("; the %1 bytes that fitted were taken back: nothing was written").arg(done);
    }
    // The verdict is shown after this returns, so the line must be on disk by then. A special
    // file cannot be synced (EINVAL), and there is nothing to keep there.
    if (::fdatasync(fd) != 0 && errno != EINVAL)
        return QStringLiteral("cannot flush the update record %1 to disk: %2").arg(path, SystemError(errno));
    return {};
}

} // namespace

// One line per record: the whole line goes to the kernel in a single write on an O_APPEND
// descriptor, which places it at the end and writes it whole even when other threads or
// processes append at the same moment. A buffered stream could split it and let lines mix. The
// lock (flock, on the file itself, taken by every append of both programs) keeps a line that does
// not fit from leaving half of itself behind.
QString AppendRecordLine(const QString& path, const QByteArray& line) {
    const QByteArray native = QFile::encodeName(path);
    int fd = -1;
    // Read as well as write: the file's last byte tells whether a torn line ends it. A file that
    // may only be written to is appended to all the same.
    bool readable = true;
    do {
        fd = ::open(native.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == EACCES) {
        readable = false;
        do {
            fd = ::open(native.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        } while (fd < 0 && errno == EINTR);
    }
    if (fd < 0)
        return QStringLiteral("cannot open the update record %1: %2").arg(path, SystemError(errno));

    // Closing the descriptor lets the lock go.
    QString error = AppendLocked(fd, path, line, readable);
    // Linux closes the descriptor even when close() reports EINTR, so it is never retried.
    if (::close(fd) != 0 && errno != EINTR && error.isEmpty())
        error = QStringLiteral("cannot close the update record %1: %2").arg(path, SystemError(errno));
    return error;
}

QString UpdateRecordPath() {
    const QString chosen = qEnvironmentVariable("RQ70_UPDATE_RECORD");
    if (!chosen.isEmpty())
        return chosen;
    // A relative XDG_STATE_HOME is invalid by the XDG rules and would depend on the current folder.
    const QString stateHome = qEnvironmentVariable("XDG_STATE_HOME");
    const QString base = QDir::isAbsolutePath(stateHome) ? stateHome : QDir::homePath() + "/.local/state";
    return base + "/rq70-updater/updates.jsonl";
}

QString AppendUpdateRecord(const QString& path, const UpdateRecord& record) {
    const QString folderError = MakeFolders(QFileInfo(path).absolutePath());
    if (!folderError.isEmpty())
        return folderError;
    return AppendRecordLine(path, QJsonDocument(ToJson(record)).toJson(QJsonDocument::Compact) + '\n');
}

} // namespace rq70
