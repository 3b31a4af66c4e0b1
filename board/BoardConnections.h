#pragma once

#include <QHash>
#include <QTcpServer>

class QTcpSocket;

namespace rq70::board {

class ConnectionGuard;

// The board's listening socket, which keeps what its connections may cost bounded: a connection
// that sends RequestBytesLimit without a request being answered (a huge header, a body the board
// never reads) is dropped, one idle for IdleMs is closed, and once MaxConnections are open the
// longest idle one makes room for the newcomer. WebSocket connections, once upgraded, are their
// stream's business and are neither counted as idle nor closed here. An accept that fails for
// want of file descriptors is tried again a second later instead of the server falling silent.
class BoardConnections : public QTcpServer {
    Q_OBJECT

public:
    explicit BoardConnections(QObject* parent = nullptr);
    ~BoardConnections() override;

    // A request on `socket` has been read and answered: its allowance and idle time start again.
    void RequestAnswered(QTcpSocket* socket);
    qsizetype OpenConnections() const { return guards_.size(); }
    int MaxConnections() const { return maxConnections_; }

    static constexpr qint64 RequestBytesLimit = 64 * 1024;
    static constexpr int IdleMs = 30000;

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    friend class ConnectionGuard;

    // Closes the HTTP connection that has waited longest since its last request; false when every
    // connection is a WebSocket.
    bool CloseLongestIdle();

    QHash<QTcpSocket*, ConnectionGuard*> guards_;
    int maxConnections_;
};

} // namespace rq70::board
