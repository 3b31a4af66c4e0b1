// The board's live stream: a snapshot for each new client, then the changes, through a bounded
// queue per client so that a slow browser costs the station nothing but its own place.

#include "board/BoardStream.h"

#include <QJsonDocument>
#include <QWebSocket>

#include <algorithm>

namespace rq70::board {

namespace {

QByteArray Message(const char* type, const char* key, const QJsonObject& value) {
    return QJsonDocument(QJsonObject{{"type", type}, {key, value}}).toJson(QJsonDocument::Compact);
}

// A client says nothing the board listens to: what it sends is kept small.
constexpr qint64 IncomingBytesLimit = 4096;

} // namespace

struct BoardStream::Client {
    std::unique_ptr<QWebSocket> socket;
    std::deque<QByteArray> queue;
    qint64 queuedBytes = 0;
    // Its queue overflowed: it gets a fresh snapshot in place of what it missed...
    bool owesSnapshot = false;
    // ...unless it misses as much again first.
    int missedMessages = 0;
    qint64 missedBytes = 0;
    bool gone = false;
};

BoardStream::BoardStream(std::function<QJsonObject()> state, QObject* parent)
    : QObject(parent), state_(std::move(state)) {
    heartbeat_.setInterval(HeartbeatMs);
    connect(&heartbeat_, &QTimer::timeout, this, [this] {
        if (!clients_.empty())
            Publish(Message("shift", "shift", state_().value("shift").toObject()));
    });
    heartbeat_.start();
    frameTimer_.setSingleShot(true);
    connect(&frameTimer_, &QTimer::timeout, this, &BoardStream::Flush);
}

BoardStream::~BoardStream() {
    for (const std::unique_ptr<Client>& client : clients_)
        client->socket->disconnect(this);
}

QByteArray BoardStream::Snapshot() const {
    return Message("snapshot", "state", state_());
}

void BoardStream::Add(std::unique_ptr<QWebSocket> socket) {
    socket->setMaxAllowedIncomingFrameSize(IncomingBytesLimit);
    socket->setMaxAllowedIncomingMessageSize(IncomingBytesLimit);
    QWebSocket* const raw = socket.get();
    // Changes held for the next frame are older than this client's snapshot.
    Flush();
    auto client = std::make_unique<Client>();
    client->socket = std::move(socket);
    Client* const added = client.get();
    clients_.push_back(std::move(client));
    connect(raw, &QWebSocket::bytesWritten, this, [this, added] { Drain(*added); });
    connect(raw, &QWebSocket::disconnected, this, [this, added] { Remove(*added); });
    if (clients_.size() > MaxClients) {
        raw->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("too many clients"));
        Remove(*added);
        return;
    }
    Queue(*added, Snapshot());
}

void BoardStream::Publish(const QByteArray& message) {
    if (clients_.empty())
        return;
    if (!frame_.isEmpty())
        frame_ += '\n';
    frame_ += message;
    if (frameTimer_.isActive())
        return;
    const qint64 since = lastFrame_.isValid() ? lastFrame_.elapsed() : FrameIntervalMs;
    if (since >= FrameIntervalMs)
        Flush();
    else
        frameTimer_.start(int(FrameIntervalMs - since));
}

void BoardStream::Flush() {
    frameTimer_.stop();
    if (frame_.isEmpty())
        return;
    lastFrame_.start();
    const QByteArray frame = std::exchange(frame_, {});
    for (const std::unique_ptr<Client>& client : clients_)
        Queue(*client, frame);
}

void BoardStream::PublishSlot(int index, const QJsonObject& slot, bool progress) {
    SlotOutbox& box = slots_[index];
    box.pending = Message("slot", "slot", slot);
    if (!progress || !box.sent.isValid() || box.sent.elapsed() >= SlotIntervalMs) {
        if (box.timer)
            box.timer->stop();
        SendSlot(index);
        return;
    }
    if (!box.timer) {
        box.timer = std::make_unique<QTimer>();
        box.timer->setSingleShot(true);
        connect(box.timer.get(), &QTimer::timeout, this, [this, index] { SendSlot(index); });
    }
    if (!box.timer->isActive())
        box.timer->start(int(std::max<qint64>(0, SlotIntervalMs - box.sent.elapsed())));
}

void BoardStream::SendSlot(int index) {
    SlotOutbox& box = slots_[index];
    if (box.pending.isEmpty())
        return;
    box.sent.start();
    Publish(std::exchange(box.pending, {}));
}

void BoardStream::PublishShift(const QJsonObject& shift) {
    Publish(Message("shift", "shift", shift));
}

void BoardStream::PublishRecord(const QJsonObject& record) {
    Publish(Message("record", "record", record));
}

void BoardStream::Queue(Client& client, const QByteArray& message) {
    if (client.gone)
        return;
    if (client.owesSnapshot) {
        client.missedBytes += message.size();
        if (++client.missedMessages > QueueMessages || client.missedBytes > QueueBytes) {
            client.socket->abort();
            Remove(client);
        }
        return;
    }
    if (client.queue.empty() && client.socket->bytesToWrite() < SocketBytes) {
        Send(client, message);
        return;
    }
    client.queue.push_back(message);
    client.queuedBytes += message.size();
    if (qsizetype(client.queue.size()) > QueueMessages || client.queuedBytes > QueueBytes) {
        client.queue.clear();
        client.queuedBytes = 0;
        client.owesSnapshot = true;
        client.missedMessages = 0;
        client.missedBytes = 0;
    }
}

void BoardStream::Send(Client& client, const QByteArray& message) {
    client.socket->sendTextMessage(QString::fromUtf8(message));
}

void BoardStream::Drain(Client& client) {
    while (!client.gone && client.socket->bytesToWrite() < SocketBytes) {
        if (client.owesSnapshot) {
            client.owesSnapshot = false;
            Send(client, Snapshot());
        } else if (!client.queue.empty()) {
            client.queuedBytes -= client.queue.front().size();
            Send(client, client.queue.front());
            client.queue.pop_front();
        } else {
            break;
        }
    }
}

void BoardStream::Remove(Client& client) {
    if (client.gone)
        return;
    client.gone = true;
    client.queue.clear();
    if (!sweeping_) {
        sweeping_ = true;
        QMetaObject::invokeMethod(this, &BoardStream::Sweep, Qt::QueuedConnection);
    }
}

void BoardStream::Sweep() {
    sweeping_ = false;
    const auto gone =
        std::stable_partition(clients_.begin(), clients_.end(),
                              [](const std::unique_ptr<Client>& client) { return !client->gone; });
    for (auto it = gone; it != clients_.end(); ++it) {
        (*it)->socket->disconnect(this);
        (*it)->socket.release()->deleteLater();
    }
    clients_.erase(gone, clients_.end());
}

} // namespace rq70::board
