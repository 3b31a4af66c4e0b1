// The board's connections: accepted here, watched for what they send before a request is
// answered and for how long they stay idle, and never more than the process's descriptors allow.

#include "board/BoardConnections.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/resource.h>

namespace rq70::board {

namespace {

// Descriptors kept for everything else the station opens: ports, the record, the database.
constexpr rlim_t ReservedDescriptors = 256;
constexpr rlim_t WantedConnections = 4096;

// Raises the soft limit of open files towards the hard one, as far as the connections need, and
// returns how many connections fit below it.
int ConnectionsThatFit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 64;
    const rlim_t wanted = WantedConnections + ReservedDescriptors;
    if (limit.rlim_cur < wanted) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY)
        return int(WantedConnections);
    return int(
        std::clamp<rlim_t>(limit.rlim_cur > ReservedDescriptors ? limit.rlim_cur - ReservedDescriptors : 0,
                           16, WantedConnections));
}

} // namespace

// Rides on its socket as a child: counts what arrives until a request is answered, and closes the
// socket when it stays idle. The HTTP server cuts every connection of a socket it hands to its
// WebSocket server, this guard's too: from then on the guard lets the socket be.
class ConnectionGuard : public QObject {
public:
    ConnectionGuard(QTcpSocket* socket, BoardConnections& server)
        : QObject(socket), socket_(socket), server_(server) {
        server_.guards_.insert(socket, this);
        idle_.setSingleShot(true);
        idle_.setInterval(BoardConnections::IdleMs);
        QObject::connect(&idle_, &QTimer::timeout, this, [this] { OnIdle(); });
        // Connected before the HTTP server's own: it sees each arrival before the server reads it.
        arrivals_ = QObject::connect(socket_, &QTcpSocket::readyRead, this, [this] { OnArrival(); });
        QObject::connect(socket_, &QTcpSocket::bytesWritten, this, [this] { idle_.start(); });
        // A connection this server closed goes as one the client closed (more than once is safe).
        QObject::connect(socket_, &QTcpSocket::disconnected, socket_, &QObject::deleteLater);
        Answered();
    }
    ~ConnectionGuard() override { server_.guards_.remove(socket_); }

    void Answered() {
        received_ = 0;
        lastAnswer_.start();
        idle_.start();
    }
    bool IsWebSocket() const { return !arrivals_; }
    qint64 IdleFor() const { return lastAnswer_.elapsed(); }
    QTcpSocket* Socket() const { return socket_; }

private:
    void OnArrival() {
        // What has come since the last arrival. The HTTP server reads a request within a
        // transaction, and until the request is whole all of it stays in the socket's buffer:
        // once that is full, nothing more arrives, so the limit is the buffer's size.
        received_ += socket_->bytesAvailable();
        idle_.start();
        // Once the HTTP server has had its look at this arrival: cut off under its feet, it would
        // complain of reading a closed socket.
        if (received_ >= BoardConnections::RequestBytesLimit)
            QMetaObject::invokeMethod(socket_, &QTcpSocket::abort, Qt::QueuedConnection);
    }
    void OnIdle() {
        if (IsWebSocket())
            return;
        socket_->disconnectFromHost();
    }

    QTcpSocket* const socket_;
    BoardConnections& server_;
    QMetaObject::Connection arrivals_;
    QTimer idle_;
    QElapsedTimer lastAnswer_;
    qint64 received_ = 0;
};

BoardConnections::BoardConnections(QObject* parent)
    : QTcpServer(parent), maxConnections_(ConnectionsThatFit()) {
    connect(this, &QTcpServer::acceptError, this, [this] {
        // Qt stops accepting on such an error; descriptors come free as connections close.
        QTimer::singleShot(1000, this, [this] { resumeAccepting(); });
    });
}

BoardConnections::~BoardConnections() {
    // The sockets, their guards with them, go once this server's own members are gone.
    for (ConnectionGuard* guard : std::exchange(guards_, {}))
        delete guard;
}

void BoardConnections::RequestAnswered(QTcpSocket* socket) {
    if (ConnectionGuard* guard = guards_.value(socket))
        guard->Answered();
}

bool BoardConnections::CloseLongestIdle() {
    ConnectionGuard* longest = nullptr;
    for (ConnectionGuard* guard : std::as_const(guards_)) {
        if (!guard->IsWebSocket() && guard->Socket()->state() == QAbstractSocket::ConnectedState &&
            (!longest || guard->IdleFor() > longest->IdleFor()))
            longest = guard;
    }
    if (!longest)
        return false;
    longest->Socket()->abort();
    return true;
}

void BoardConnections::incomingConnection(qintptr descriptor) {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (guards_.size() >= maxConnections_ && !CloseLongestIdle()) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    // What one arrival can hand over before the guard has looked at it.
    socket->setReadBufferSize(RequestBytesLimit);
    new ConnectionGuard(socket, *this);
    addPendingConnection(socket);
}

} // namespace rq70::board
