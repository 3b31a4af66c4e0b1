// The board's HTTP side: routes, the headers on every answer, the login, and the answers that are
// read in worker threads.

#include "board/BoardServer.h"

#include "board/BoardConnections.h"
#include "record/RecordCsv.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>

#include <memory>

// The page's files are compiled into the static library, whose linker keeps them only when
// something refers to them.
static void InitBoardPage() {
    Q_INIT_RESOURCE(board);
}

namespace rq70::board {

namespace {

using Status = QHttpServerResponder::StatusCode;
using Header = std::pair<QByteArray, QByteArray>;

// The page loads its own script and style sheet and talks to its own station, nothing else; it is
// never framed, never sends a form, and never names the board's address to another site.
const Header SecurityHeaders[] = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
     "img-src 'self'; base-uri 'none'; frame-ancestors 'none'; form-action 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
};

const QByteArray Text = "text/plain; charset=utf-8";
const QByteArray Json = "application/json";
const QByteArray PagePath = "/";
const QByteArray EventsPath = "/api/events";

QByteArray ResourceBytes(const QString& name) {
    QFile file(QStringLiteral(":/board/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool IsUpgrade(const QHttpServerRequest& request) {
    return request.value("Connection").toLower().contains("upgrade");
}

bool IsReading(const QHttpServerRequest& request) {
    return request.method() == QHttpServerRequest::Method::Get ||
           request.method() == QHttpServerRequest::Method::Head;
}

QByteArray PathOf(const QHttpServerRequest& request) {
    return request.url().path(QUrl::FullyEncoded).toUtf8();
}

bool IsBoardPath(const QByteArray& path) {
    static const QList<QByteArray> paths{PagePath,   "/board.css",   "/board.js",   "/api/state",
                                         EventsPath, "/api/records", "/records.csv"};
    return paths.contains(path);
}

QByteArray JsonBytes(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

struct BoardServer::Answer {
    Status status = Status::Ok;
    QByteArray contentType;
    QByteArray body;
    QList<Header> headers;
};

BoardServer::BoardServer(std::function<QJsonObject()> state, RecordReaders records, const QByteArray& token,
                         QObject* parent)
    : QAbstractHttpServer(parent), state_(state), records_(std::move(records)), access_(token),
      stream_(std::move(state)) {
    InitBoardPage();
    page_ = ResourceBytes(QStringLiteral("index.html"));
    css_ = ResourceBytes(QStringLiteral("board.css"));
    script_ = ResourceBytes(QStringLiteral("board.js"));
    pages_.pool.setMaxThreadCount(2);
    pages_.limit = MaxQueries;
    exports_.pool.setMaxThreadCount(1);
    exports_.limit = MaxExports;
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &BoardServer::AcceptWebSockets);
}

BoardServer::~BoardServer() {
    for (ReadLane* lane : {&pages_, &exports_}) {
        lane->pool.clear();
        lane->pool.waitForDone();
    }
}

QString BoardServer::Listen(const QHostAddress& address, quint16 port) {
    auto* connections = new BoardConnections(this);
    if (!connections->listen(address, port)) {
        const QString error = connections->errorString();
        delete connections;
        return error;
    }
    bind(connections);
    connections_ = connections;
    address_ = address;
    return {};
}

QString BoardServer::Url() const {
    const QString host = address_.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address_.toString())
                             : address_.toString();
    return QStringLiteral("http://%1:%2/")
        .arg(host, QString::number(connections_ ? connections_->serverPort() : 0));
}

BoardServer::Answer BoardServer::TextAnswer(Status status, const QString& text, QList<Header> headers) {
    return {status, Text, text.toUtf8() + '\n', std::move(headers)};
}

std::optional<BoardServer::Answer> BoardServer::Refusal(const QHttpServerRequest& request) const {
    const QByteArray path = PathOf(request);
    if (!IsBoardPath(path))
        return TextAnswer(Status::NotFound, QStringLiteral("Not found."));
    if (!IsReading(request))
        return TextAnswer(Status::MethodNotAllowed, QStringLiteral("The board is read-only: GET or HEAD."),
                          {{"Allow", "GET, HEAD"}});
    if (access_.Admits(request))
        return std::nullopt;
    if (!access_.NeedsToken())
        return TextAnswer(Status::Forbidden,
                          QStringLiteral("This board answers to this computer's own names only: open it as "
                                         "%1")
                              .arg(Url()));
    const QUrlQuery query(request.url());
    if (path == PagePath && query.hasQueryItem(QStringLiteral("token"))) {
        if (access_.IsToken(query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8()))
            // The token leaves the address bar, and the history, for a cookie.
            return Answer{Status::SeeOther,
                          Text,
                          "See /.\n",
                          {{"Location", "/"}, {"Set-Cookie", access_.LoginCookie()}}};
    }
    return TextAnswer(Status::Unauthorized,
                      QStringLiteral("This board needs its token: open it once as /?token=TOKEN, or send "
                                     "\"Authorization: Bearer TOKEN\"."),
                      {{"WWW-Authenticate", "Bearer realm=\"rq70 board\""}});
}

std::optional<BoardServer::Answer> BoardServer::WebSocketRefusal(const QHttpServerRequest& request) const {
    if (std::optional<Answer> refusal = Refusal(request))
        return refusal;
    if (PathOf(request) != EventsPath)
        return TextAnswer(Status::BadRequest, QStringLiteral("Only /api/events takes a WebSocket."));
    if (!BoardAccess::FromOwnPage(request))
        return TextAnswer(Status::Forbidden,
                          QStringLiteral("The board's stream is for the board's own page."));
    if (stream_.Clients() >= BoardStream::MaxClients)
        return TextAnswer(Status::ServiceUnavailable,
                          QStringLiteral("Too many boards are open; try again later."),
                          {{"Retry-After", "10"}});
    return std::nullopt;
}

bool BoardServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    if (connections_)
        connections_->RequestAnswered(socket);
    // Returning true hands an upgrade to the WebSocket server; false has missingHandler refuse it
    // before anything is upgraded.
    if (IsUpgrade(request))
        return !WebSocketRefusal(request);

    QHttpServerResponder responder = makeResponder(request, socket);
    const bool head = request.method() == QHttpServerRequest::Method::Head;
    if (std::optional<Answer> refusal = Refusal(request)) {
        Write(responder, head, *refusal);
        return true;
    }
    const QByteArray path = PathOf(request);
    const QList<Header> page{{"Cache-Control", "no-cache"}};
    const QList<Header> live{{"Cache-Control", "no-store"}};
    if (path == PagePath)
        Write(responder, head, {Status::Ok, "text/html; charset=utf-8", page_, page});
    else if (path == "/board.css")
        Write(responder, head, {Status::Ok, "text/css; charset=utf-8", css_, page});
    else if (path == "/board.js")
        Write(responder, head, {Status::Ok, "text/javascript; charset=utf-8", script_, page});
    else if (path == "/api/state")
        Write(responder, head, {Status::Ok, Json, JsonBytes(state_()), live});
    else if (path == EventsPath)
        Write(responder, head,
              TextAnswer(Status::UpgradeRequired, QStringLiteral("/api/events is a WebSocket."),
                         {{"Upgrade", "websocket"}, {"Connection", "Upgrade"}}));
    else if (path == "/api/records" || path == "/records.csv") {
        RecordQuery query;
        if (const QString problem = ParseRecordQuery(QUrlQuery(request.url()), query); !problem.isEmpty()) {
            Write(responder, head, TextAnswer(Status::BadRequest, problem, live));
            return true;
        }
        if (path == "/api/records") {
            AnswerLater(request, socket, pages_, [reader = records_.page, query, live] {
                const RecordPage page = reader(query.filter, query.limit, query.offset);
                if (!page.error.isEmpty())
                    return Answer{Status::ServiceUnavailable, Json, JsonBytes({{"error", page.error}}), live};
                QJsonArray records;
                for (const QJsonObject& record : page.records)
                    records.append(record);
                return Answer{Status::Ok, Json, JsonBytes({{"records", records}, {"total", page.total}}),
                              live};
            });
        } else {
            AnswerLater(request, socket, exports_, [reader = records_.all, query, live] {
                const RecordPage all = reader(query.filter);
                if (!all.error.isEmpty())
                    return TextAnswer(Status::ServiceUnavailable, all.error, live);
                QList<Header> headers = live;
                headers.append(Header("Content-Disposition", "attachment; filename=\"rq70-records.csv\""));
                return Answer{Status::Ok, "text/csv; charset=utf-8", RecordsCsv(all.records).toUtf8(),
                              headers};
            });
        }
    }
    return true;
}

void BoardServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    QHttpServerResponder responder = makeResponder(request, socket);
    const std::optional<Answer> refusal = IsUpgrade(request) ? WebSocketRefusal(request) : Refusal(request);
    Write(responder, request.method() == QHttpServerRequest::Method::Head,
          refusal.value_or(TextAnswer(Status::BadRequest, QStringLiteral("Bad request."))));
}

void BoardServer::AnswerLater(const QHttpServerRequest& request, QTcpSocket* socket, ReadLane& lane,
                              std::function<Answer()> work) {
    const bool head = request.method() == QHttpServerRequest::Method::Head;
    if (lane.queries >= lane.limit) {
        QHttpServerResponder responder = makeResponder(request, socket);
        Write(responder, head,
              TextAnswer(Status::ServiceUnavailable,
                         QStringLiteral("The board is busy reading records; try again."),
                         {{"Retry-After", "2"}, {"Cache-Control", "no-store"}}));
        return;
    }
    ++lane.queries;
    auto responder = std::make_shared<QHttpServerResponder>(makeResponder(request, socket));
    const QPointer<QTcpSocket> client(socket);
    lane.pool.start([this, &lane, work = std::move(work), responder, client, head] {
        auto answer = std::make_shared<Answer>(work());
        QMetaObject::invokeMethod(
            this,
            [this, &lane, answer, responder, client, head] {
                --lane.queries;
                // A client that left meanwhile gets nothing.
                if (!client || !client->isOpen())
                    return;
                Write(*responder, head, *answer);
                if (connections_)
                    connections_->RequestAnswered(client);
            },
            Qt::QueuedConnection);
    });
}

void BoardServer::Write(QHttpServerResponder& responder, bool head, const Answer& answer) {
    responder.writeStatusLine(answer.status);
    for (const Header& header : SecurityHeaders)
        responder.writeHeader(header.first, header.second);
    if (!answer.contentType.isEmpty())
        responder.writeHeader("Content-Type", answer.contentType);
    bool cache = false;
    for (const Header& header : answer.headers) {
        responder.writeHeader(header.first, header.second);
        cache = cache || header.first == "Cache-Control";
    }
    // Refusals and errors are never kept.
    if (!cache)
        responder.writeHeader("Cache-Control", "no-store");
    responder.writeHeader("Content-Length", QByteArray::number(answer.body.size()));
    // HEAD: the headers of GET, without its body.
    responder.writeBody(head ? QByteArray() : answer.body);
}

void BoardServer::AcceptWebSockets() {
    while (hasPendingWebSocketConnections())
        stream_.Add(nextPendingWebSocketConnection());
}

} // namespace rq70::board
