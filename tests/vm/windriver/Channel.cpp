#include "Channel.h"

#include <QJsonDocument>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace windriver {

Channel::~Channel() {
    if (in_ >= 0)
        ::close(in_);
}

QString Channel::Open(const QString& inPath, const QString& outPath) {
    const QByteArray in = QFile::encodeName(inPath);
    struct stat facts {};
    if (::stat(in.constData(), &facts) != 0 || !S_ISFIFO(facts.st_mode))
        return QStringLiteral("%1 is no FIFO (make it with mkfifo first)").arg(inPath);
    // Read and write: the driver is a writer of its own FIFO, so the FIFO never reaches end of file
    // when a script's writer closes it, and the notifier does not fire on an idle FIFO.
    in_ = ::open(in.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (in_ < 0)
        return QStringLiteral("cannot open %1: %2").arg(inPath, QString::fromLocal8Bit(std::strerror(errno)));
    out_.setFileName(outPath);
    if (!out_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return QStringLiteral("cannot open %1: %2").arg(outPath, out_.errorString());
    notifier_ = new QSocketNotifier(in_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &Channel::ReadAvailable);
    return {};
}

void Channel::Write(const QJsonObject& answer) {
    // One write per line: a reader polling the file never sees half an answer.
    out_.write(QJsonDocument(answer).toJson(QJsonDocument::Compact) + '\n');
    out_.flush();
}

void Channel::ReadAvailable() {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(in_, buffer, sizeof buffer);
        if (got <= 0)
            break;
        pending_.append(buffer, got);
    }
    qsizetype end;
    while ((end = pending_.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(pending_.left(end)).trimmed();
        pending_.remove(0, end + 1);
        if (!line.isEmpty())
            emit lineReceived(line);
    }
}

} // namespace windriver
