#pragma once

#include <QByteArray>
#include <QFile>
#include <QJsonObject>
#include <QObject>

class QSocketNotifier;

namespace windriver {

// The script's side of the driver: command lines come in through a FIFO, one JSON answer per line
// goes out to a file that is only ever appended to. The FIFO is read through a socket notifier, so
// lines arrive in whatever event loop the program is in, its own nested waits included.
class Channel : public QObject {
    Q_OBJECT

public:
    ~Channel() override;

    // Empty when both ends are open; otherwise why not, and nothing is listened to.
    QString Open(const QString& inPath, const QString& outPath);

    // One line, written and flushed at once: a script may read it the moment it is there.
    void Write(const QJsonObject& answer);

signals:
    void lineReceived(const QString& line);

private:
    void ReadAvailable();

    int in_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QByteArray pending_;
    QFile out_;
};

} // namespace windriver
