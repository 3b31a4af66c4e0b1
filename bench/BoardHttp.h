#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QTcpSocket;

// The board bench's load generator: HTTP requests to the board, each timed on its own from the
// moment it is written to the moment the last byte of its answer has been read.
namespace boardload {

struct HttpAnswer {
    // 0: no answer (the connection failed or closed first; `error` says which).
    int status = 0;
    QByteArray contentType;
    QByteArray body;
    double ms = 0;
    QString error;
};

// GET requests over keep-alive HTTP/1.1 connections to the board on 127.0.0.1, one request at a
// time on each: a request takes the connection used last that is free, or opens another, up to
// MaxConnections; beyond, it waits for one (and its time starts only when it is written).
class HttpClient : public QObject {
public:
    using Done = std::function<void(const HttpAnswer&)>;

    explicit HttpClient(quint16 port, QObject* parent = nullptr);
    ~HttpClient() override;

    // `target` is the path and query, "/api/records?limit=50".
    void Get(const QByteArray& target, Done done);
    // Requests not answered yet, written or waiting.
    int Unanswered() const { return unanswered_; }
    // Requests that found every connection busy.
    int WaitedForConnection() const { return waitedForConnection_; }
    // Called after each answer (or failure) has been handed over.
    std::function<void()> onAnswered;

    static constexpr int MaxConnections = 32;
    // A connection idle for this long is closed here before the board would close it under a
    // request being written.
    static constexpr int IdleCloseMs = 20000;

    struct Connection;

private:
    struct Waiting {
        QByteArray target;
        Done done;
    };

    void Next();
    void Write(Connection& connection);
    void OnReadable(Connection& connection);
    void Finish(Connection& connection, HttpAnswer answer);

    const quint16 port_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::deque<Waiting> waiting_;
    int unanswered_ = 0;
    int waitedForConnection_ = 0;
};

} // namespace boardload
