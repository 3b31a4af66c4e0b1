#pragma once

#include "board/BoardAccess.h"
#include "board/BoardRecords.h"
#include "board/BoardStream.h"

#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QHttpServerResponder>
#include <QJsonObject>
#include <QPointer>
#include <QThreadPool>

#include <functional>
#include <optional>

namespace rq70::board {

class BoardConnections;

// The station's board over HTTP, read-only: the page (/, /board.css, /board.js), the state
// (/api/state), the live stream (/api/events, a WebSocket), the records (/api/records) and the
// records as CSV (/records.csv). GET and HEAD only; every other path is 404 and nothing of the
// file system is served. Every answer carries headers that keep a browser from running, framing
// or sending on anything that is not the board's own. Records are read in worker threads of its
// own, so that a long record or a slow database never holds up the station's thread.
class BoardServer : public QAbstractHttpServer {
    Q_OBJECT

public:
    // `state` makes {"shift": {...}, "slots": [...]} now; `token` empty: loopback, no login.
    BoardServer(std::function<QJsonObject()> state, RecordReaders records, const QByteArray& token,
                QObject* parent = nullptr);
    ~BoardServer() override;

    // Listens on `address` (port 0: any free port); returns "" or why it cannot.
    QString Listen(const QHostAddress& address, quint16 port);
    // "http://127.0.0.1:8080/", with the port actually taken.
    QString Url() const;
    // Where the station publishes its changes.
    BoardStream& Stream() { return stream_; }

    // Record pages, and CSV exports (which read the whole record), waiting or running at once;
    // beyond, a query is answered 503.
    static constexpr int MaxQueries = 16;
    static constexpr int MaxExports = 2;

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Answer;
    using Header = std::pair<QByteArray, QByteArray>;

    static Answer TextAnswer(QHttpServerResponder::StatusCode status, const QString& text,
                             QList<Header> headers = {});
    // The answer to a request the board does not serve as asked (wrong path, method, login), or
    // none when it does.
    std::optional<Answer> Refusal(const QHttpServerRequest& request) const;
    std::optional<Answer> WebSocketRefusal(const QHttpServerRequest& request) const;
    // The answer made by `work` in a worker thread, written when it is done if the client waits.
    struct ReadLane;
    void AnswerLater(const QHttpServerRequest& request, QTcpSocket* socket, ReadLane& lane,
                     std::function<Answer()> work);
    void Write(QHttpServerResponder& responder, bool head, const Answer& answer);
    void AcceptWebSockets();

    std::function<QJsonObject()> state_;
    RecordReaders records_;
    BoardAccess access_;
    QByteArray page_;
    QByteArray css_;
    QByteArray script_;
    QHostAddress address_;
    QPointer<BoardConnections> connections_;
    // Its sockets go before the connections that carry them.
    BoardStream stream_;
    // Worker threads for the record: pages in one lane, exports in another, so that an export
    // never holds a page up. Waited for first when the board goes: their work reports to this
    // object.
    struct ReadLane {
        QThreadPool pool;
        int queries = 0;
        int limit = 0;
    };
    ReadLane pages_;
    ReadLane exports_;
};

} // namespace rq70::board
