#pragma once

#include "BoardProblems.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <functional>

namespace boardload {

// What one follower of the board's stream met.
struct StreamTally {
    int connections = 0;
    // Handshakes the board did not take.
    int refused = 0;
    // The first snapshot of each connection, and those that came later on the same connection:
    // the stream's way of catching up a client that fell behind.
    int snapshots = 0;
    int resnapshots = 0;
    int messages = 0;
    qint64 bytes = 0;
    // Messages that are no JSON object of a known type and shape.
    int badMessages = 0;
    // Connections that ended without the client closing them: cut off (no close frame, which is
    // how the stream drops a client that fell behind twice), or closed by the board with a code.
    int cutOff = 0;
    int closedByBoard = 0;
    ProblemList problems;

    void Add(const StreamTally& other);
    QJsonObject Json() const;
};

// A follower of /api/events as the board's page is: the page's own origin, every message read
// and parsed, and after a lost connection another one after 1 s, 2 s, 4 s, then every 5 s.
class StreamClient : public QObject {
public:
    explicit StreamClient(const QUrl& board, QObject* parent = nullptr);

    void Open();
    // Closes the stream for good.
    void Close();
    bool Connected() const { return connected_; }
    // When the first snapshot came, ms after Open; -1 before.
    qint64 FirstSnapshotMs() const { return firstSnapshotMs_; }
    const StreamTally& Tally() const { return tally_; }
    // Called on each snapshot, as the page then loads its record list.
    std::function<void()> onSnapshot;
    // Called once the stream has closed after Close.
    std::function<void()> onClosed;

private:
    void OnMessage(const QString& frame);
    void OnOneMessage(const QString& text);
    void OnDisconnected();
    void Problem(const QString& text);

    QUrl url_;
    QWebSocket socket_;
    QTimer retry_;
    QElapsedTimer sinceOpen_;
    int retryMs_ = 1000;
    bool closing_ = false;
    bool connected_ = false;
    bool errorSeen_ = false;
    int snapshotsHere_ = 0;
    qint64 firstSnapshotMs_ = -1;
    StreamTally tally_;
};

} // namespace boardload
