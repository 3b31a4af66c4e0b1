// A follower of the board's live stream, as the board's page follows it.
#include "BoardStreamClient.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace boardload {

namespace {

// "" when `message` is one the page knows: a snapshot of the state, a slot, the shift or a record.
QString MessageProblem(const QJsonObject& message) {
    const QString type = message.value("type").toString();
    if (type == QLatin1String("snapshot")) {
        const QJsonObject state = message.value("state").toObject();
        return state.value("shift").isObject() && state.value("slots").isArray()
                   ? QString()
                   : QStringLiteral("a snapshot without shift and slots");
    }
    if (type == QLatin1String("slot"))
        return message.value("slot").toObject().value("slot").isDouble()
                   ? QString()
                   : QStringLiteral("a slot without its number");
    if (type == QLatin1String("shift"))
        return message.value("shift").isObject() ? QString()
                                                 : QStringLiteral("a shift message without a shift");
    if (type == QLatin1String("record"))
        return message.value("record").toObject().value("id").isString()
                   ? QString()
                   : QStringLiteral("a record message without a record id");
    return QStringLiteral("a message of type \"%1\"").arg(type);
}

} // namespace

void StreamTally::Add(const StreamTally& other) {
    connections += other.connections;
    refused += other.refused;
    snapshots += other.snapshots;
    resnapshots += other.resnapshots;
    messages += other.messages;
    bytes += other.bytes;
    badMessages += other.badMessages;
    cutOff += other.cutOff;
    closedByBoard += other.closedByBoard;
    problems.Add(other.problems);
}

QJsonObject StreamTally::Json() const {
    return {{"connections", connections},  {"refused", refused},   {"snapshots", snapshots},
            {"resnapshots", resnapshots},  {"messages", messages}, {"bytes", bytes},
            {"bad_messages", badMessages}, {"cut_off", cutOff},    {"closed_by_board", closedByBoard},
            {"problems", problems.Json()}};
}

StreamClient::StreamClient(const QUrl& board, QObject* parent)
    // A browser names the page's origin; the board takes its stream only from its own page.
    : QObject(parent), url_(board), socket_(board.adjusted(QUrl::RemovePath).toString(QUrl::RemoveUserInfo)) {
    url_.setScheme(QStringLiteral("ws"));
    url_.setPath(QStringLiteral("/api/events"));
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &StreamClient::Open);
    connect(&socket_, &QWebSocket::connected, this, [this] {
        connected_ = true;
        ++tally_.connections;
    });
    connect(&socket_, &QWebSocket::textMessageReceived, this, &StreamClient::OnMessage);
    connect(&socket_, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
            [this] { errorSeen_ = true; });
    connect(&socket_, &QWebSocket::disconnected, this, &StreamClient::OnDisconnected);
}

void StreamClient::Open() {
    if (closing_)
        return;
    if (!sinceOpen_.isValid())
        sinceOpen_.start();
    errorSeen_ = false;
    snapshotsHere_ = 0;
    socket_.open(url_);
}

void StreamClient::Close() {
    closing_ = true;
    retry_.stop();
    if (socket_.state() != QAbstractSocket::UnconnectedState)
        socket_.close();
}

void StreamClient::OnMessage(const QString& frame) {
    // Changes close together come as one frame, one message a line.
    for (const QString& text : frame.split(u'\n'))
        OnOneMessage(text);
}

void StreamClient::OnOneMessage(const QString& text) {
    ++tally_.messages;
    tally_.bytes += text.size();
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    const QString problem = document.isObject() ? MessageProblem(document.object()) : error.errorString();
    if (!problem.isEmpty()) {
        ++tally_.badMessages;
        Problem(QStringLiteral("stream: %1: %2").arg(problem, text.left(200)));
        return;
    }
    if (document.object().value("type").toString() != QLatin1String("snapshot"))
        return;
    if (snapshotsHere_++ == 0) {
        ++tally_.snapshots;
        retryMs_ = 1000;
        if (firstSnapshotMs_ < 0)
            firstSnapshotMs_ = sinceOpen_.elapsed();
    } else {
        ++tally_.resnapshots;
    }
    if (onSnapshot)
        onSnapshot();
}

void StreamClient::OnDisconnected() {
    const bool wasConnected = std::exchange(connected_, false);
    if (closing_) {
        if (onClosed)
            onClosed();
        return;
    }
    if (!wasConnected) {
        ++tally_.refused;
        Problem(
            QStringLiteral("stream: the board did not take the handshake: %1").arg(socket_.errorString()));
    } else if (socket_.closeCode() != QWebSocketProtocol::CloseCodeNormal ||
               !socket_.closeReason().isEmpty() || !errorSeen_) {
        ++tally_.closedByBoard;
        Problem(QStringLiteral("stream: closed by the board with code %1 (%2)")
                    .arg(int(socket_.closeCode()))
                    .arg(socket_.closeReason()));
    } else {
        ++tally_.cutOff;
    }
    retry_.start(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, 5000);
}

void StreamClient::Problem(const QString& text) {
    tally_.problems.Add(text);
}

} // namespace boardload
