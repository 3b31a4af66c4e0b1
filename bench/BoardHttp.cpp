// The load generator's HTTP client: plain keep-alive connections, so that each request's time is
// its own and not a client library's queue.
#include "BoardHttp.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <limits>

namespace boardload {

struct HttpClient::Connection {
    QTcpSocket socket;
    bool busy = false;
    Waiting request;
    QByteArray buffer;
    // Of the answer under way: where its head ends (-1 not yet), its status and body length.
    qsizetype bodyStart = -1;
    int status = 0;
    qint64 length = -1;
    QByteArray contentType;
    QElapsedTimer clock;
    QElapsedTimer lastUsed;
};

namespace {

// The connection used last goes first: the others fall idle and are closed.
qint64 SinceUsed(const HttpClient::Connection& connection) {
    return connection.lastUsed.isValid() ? connection.lastUsed.elapsed() : std::numeric_limits<qint64>::max();
}

} // namespace

HttpClient::HttpClient(quint16 port, QObject* parent) : QObject(parent), port_(port) {}

HttpClient::~HttpClient() {
    for (const auto& connection : connections_)
        connection->socket.disconnect(this);
}

void HttpClient::Get(const QByteArray& target, Done done) {
    ++unanswered_;
    waiting_.push_back({target, std::move(done)});
    Next();
}

void HttpClient::Next() {
    while (!waiting_.empty()) {
        Connection* free = nullptr;
        for (const auto& connection : connections_) {
            if (connection->busy)
                continue;
            if (connection->socket.state() == QAbstractSocket::ConnectedState &&
                connection->lastUsed.isValid() && connection->lastUsed.elapsed() > IdleCloseMs)
                connection->socket.abort();
            if (!free || SinceUsed(*connection) < SinceUsed(*free))
                free = connection.get();
        }
        if (!free && int(connections_.size()) < MaxConnections) {
            connections_.push_back(std::make_unique<Connection>());
            Connection* added = connections_.back().get();
            connect(&added->socket, &QTcpSocket::connected, this, [this, added] { Write(*added); });
            connect(&added->socket, &QTcpSocket::readyRead, this, [this, added] { OnReadable(*added); });
            connect(&added->socket, &QTcpSocket::errorOccurred, this, [this, added] {
                if (added->busy)
                    Finish(*added, {0, {}, {}, 0, added->socket.errorString()});
            });
            free = added;
        }
        if (!free) {
            ++waitedForConnection_;
            return;
        }
        free->busy = true;
        free->request = std::move(waiting_.front());
        free->clock.invalidate();
        waiting_.pop_front();
        if (free->socket.state() == QAbstractSocket::ConnectedState) {
            Write(*free);
        } else {
            free->socket.abort();
            free->socket.connectToHost(QHostAddress::LocalHost, port_);
        }
    }
}

void HttpClient::Write(Connection& connection) {
    if (!connection.busy)
        return;
    connection.buffer.clear();
    connection.bodyStart = -1;
    connection.length = -1;
    connection.status = 0;
    connection.contentType.clear();
    const QByteArray request = "GET " + connection.request.target +
                               " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port_) +
                               "\r\nAccept: */*\r\nUser-Agent: rq70-board-bench\r\n\r\n";
    connection.clock.start();
    connection.socket.write(request);
    connection.socket.flush();
}

void HttpClient::OnReadable(Connection& connection) {
    connection.buffer += connection.socket.readAll();
    if (!connection.busy)
        return;
    if (connection.bodyStart < 0) {
        const qsizetype end = connection.buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QList<QByteArray> lines = connection.buffer.left(end).split('\n');
        const QByteArray first = lines.value(0).trimmed();
        connection.status = first.startsWith("HTTP/1.1 ") ? first.mid(9, 3).toInt() : 0;
        for (const QByteArray& line : lines.mid(1)) {
            const qsizetype colon = line.indexOf(':');
            const QByteArray name = line.left(colon).trimmed().toLower();
            if (name == "content-length")
                connection.length = line.mid(colon + 1).trimmed().toLongLong();
            else if (name == "content-type")
                connection.contentType = line.mid(colon + 1).trimmed();
        }
        connection.bodyStart = end + 4;
        if (connection.status == 0 || connection.length < 0) {
            Finish(connection, {0, {}, {}, 0, QStringLiteral("an answer without a status or a length")});
            connection.socket.abort();
            return;
        }
    }
    if (connection.buffer.size() < connection.bodyStart + connection.length)
        return;
    HttpAnswer answer;
    answer.ms = double(connection.clock.nsecsElapsed()) / 1e6;
    answer.status = connection.status;
    answer.contentType = connection.contentType;
    answer.body = connection.buffer.mid(connection.bodyStart, connection.length);
    Finish(connection, std::move(answer));
}

void HttpClient::Finish(Connection& connection, HttpAnswer answer) {
    if (!connection.busy)
        return;
    if (answer.status == 0 && connection.clock.isValid())
        answer.ms = double(connection.clock.nsecsElapsed()) / 1e6;
    connection.busy = false;
    connection.lastUsed.start();
    --unanswered_;
    const Done done = std::move(connection.request.done);
    connection.request = {};
    done(answer);
    Next();
    if (onAnswered)
        onAnswered();
}

} // namespace boardload
