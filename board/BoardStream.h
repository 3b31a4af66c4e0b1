#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

class QWebSocket;

namespace rq70::board {

// The board's live stream: every WebSocket client gets the state as a snapshot when it connects,
// then each change as it happens ({"type":"slot"|"shift"|"record", ...}). A client has a bounded
// queue of its own in front of its socket: one that falls behind has its queue replaced by one
// fresh snapshot, sent once its socket has room again, and one that falls behind by as much again
// before that is dropped. Whatever the clients do, publishing never waits for them. A change goes
// out at once, unless another went less than FrameIntervalMs before it: then the changes of that
// time go out together, as one frame with one message a line, so that a busy station sends a
// browser a few frames a second rather than one for every change.
class BoardStream : public QObject {
    Q_OBJECT

public:
    // `state` makes the board's state now, {"shift": {...}, "slots": [...]}.
    explicit BoardStream(std::function<QJsonObject()> state, QObject* parent = nullptr);
    ~BoardStream() override;

    // Takes a client whose handshake was admitted.
    void Add(std::unique_ptr<QWebSocket> socket);
    // A slot's state changed. Progress alone (`progress`) goes at most every SlotIntervalMs per
    // slot, the newest then; anything else goes at once.
    void PublishSlot(int index, const QJsonObject& slot, bool progress);
    void PublishShift(const QJsonObject& shift);
    void PublishRecord(const QJsonObject& record);

    qsizetype Clients() const { return clients_.size(); }

    static constexpr int MaxClients = 100;
    static constexpr int SlotIntervalMs = 100;
    // Each client's queue, beyond what its socket holds.
    static constexpr int QueueMessages = 256;
    static constexpr qint64 QueueBytes = 1024 * 1024;
    // What a client's socket may hold unsent before its messages wait in its queue.
    static constexpr qint64 SocketBytes = 64 * 1024;
    static constexpr int FrameIntervalMs = 50;
    // The shift goes out this often too, so that a client can tell a live stream from a dead one.
    static constexpr int HeartbeatMs = 10000;

private:
    struct Client;

    void Publish(const QByteArray& message);
    // Sends the changes held for the next frame to every client.
    void Flush();
    void SendSlot(int index);
    void Queue(Client& client, const QByteArray& message);
    void Send(Client& client, const QByteArray& message);
    void Drain(Client& client);
    // The client is gone or dropped: it is let go of once the current call has returned.
    void Remove(Client& client);
    void Sweep();
    QByteArray Snapshot() const;

    std::function<QJsonObject()> state_;
    std::vector<std::unique_ptr<Client>> clients_;
    bool sweeping_ = false;
    // Per slot: the progress not sent yet, and when the slot was last sent.
    struct SlotOutbox {
        QByteArray pending;
        QElapsedTimer sent;
        std::unique_ptr<QTimer> timer;
    };
    std::map<int, SlotOutbox> slots_;
    QTimer heartbeat_;
    // The changes held for the next frame, one a line, and when the last frame went out.
    QByteArray frame_;
    QTimer frameTimer_;
    QElapsedTimer lastFrame_;
};

} // namespace rq70::board
