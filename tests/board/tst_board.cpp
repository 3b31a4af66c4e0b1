// The station's board as browsers and hostile clients meet it: the built rq70-flash station with
// --http, a simulated unit on a pty, HTTP through QNetworkAccessManager and raw sockets, the live
// stream through QWebSocket.

#include "SimulatedDevice.h"

#include "board/BoardServer.h"
#include "board/RecordFileIndex.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

// A device that names itself in markup: the board must hand it on as text.
const QString Markup = QStringLiteral("<img src=x onerror=alert(1)>");
const QByteArray Policy = "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                          "img-src 'self'; base-uri 'none'; frame-ancestors 'none'; form-action 'none'";

QJsonObject JsonOf(const QByteArray& bytes) {
    return QJsonDocument::fromJson(bytes).object();
}

// The value at `path` ("state.slots.0.port") in `json`.
QJsonValue At(const QJsonValue& json, const QString& path) {
    QJsonValue value = json;
    for (const QString& key : path.split(u'.')) {
        bool isIndex = false;
        const int index = key.toInt(&isIndex);
        value = isIndex ? value.toArray().at(index) : value.toObject().value(key);
    }
    return value;
}

// One station process with its board, and the lines it has printed.
class Station {
public:
    explicit Station(const QString& folder) : folder_(folder) {}
    ~Station() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    void Start(const QStringList& arguments) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("RQ70_UPDATE_RECORD", Record());
        process_.setProcessEnvironment(environment);
        process_.start(RQ70_FLASH_PATH,
                       QStringList{"station", RQ70_SAMPLE_UPDATE_FILE, "--port", Port()} + arguments);
    }
    QString Port() const { return QDir(folder_).filePath("COM1"); }
    QString Record() const { return QDir(folder_).filePath("updates.jsonl"); }

    // The next line printed that holds `text` (after the one taken last), or "" after the time.
    QString Line(const QString& text, int timeoutMs = 30000) {
        QDeadlineTimer deadline(timeoutMs);
        while (true) {
            // What the event loop has read meanwhile comes first: waiting is for what is still to come.
            out_ += process_.readAllStandardOutput();
            for (qsizetype end; (end = out_.indexOf('\n')) >= 0; out_.remove(0, end + 1))
                lines_ << QString::fromUtf8(out_.left(end));
            for (; taken_ < lines_.size(); ++taken_) {
                if (lines_[taken_].contains(text))
                    return lines_[taken_++];
            }
            if (deadline.hasExpired() || process_.state() == QProcess::NotRunning)
                return {};
            process_.waitForReadyRead(int(std::max<qint64>(deadline.remainingTime(), 1)));
        }
    }
    // Where the board is, from its JSON event.
    QUrl Board() { return QUrl(JsonOf(Line("\"board\"").toUtf8())["url"].toString()); }
    // Ends the shift as Ctrl-C does; the exit status, or -1.
    int Finish() {
        if (process_.state() == QProcess::Running)
            ::kill(pid_t(process_.processId()), SIGINT);
        return Ended();
    }
    int Ended() { return process_.waitForFinished(20000) ? process_.exitCode() : -1; }
    QString Errors() { return QString::fromUtf8(process_.readAllStandardError()); }

private:
    QString folder_;
    QProcess process_;
    QByteArray out_;
    QStringList lines_;
    qsizetype taken_ = 0;
};

struct Answer {
    int status = 0;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

// A request as a browser's HTTP stack makes it; redirects are not followed.
Answer Ask(QNetworkAccessManager& manager, const QUrl& url,
           const QList<QPair<QByteArray, QByteArray>>& headers = {}, bool head = false) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    for (const auto& [name, value] : headers)
        request.setRawHeader(name, value);
    std::unique_ptr<QNetworkReply> reply(head ? manager.head(request) : manager.get(request));
    if (!reply->isFinished())
        QSignalSpy(reply.get(), &QNetworkReply::finished).wait(20000);
    Answer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    for (const auto& [name, value] : reply->rawHeaderPairs())
        answer.headers.insert(name.toLower(), value);
    answer.body = reply->readAll();
    return answer;
}

// What the board says to `request`, sent byte for byte as given: its answer's head, or "" when it
// closed the connection or said nothing within the time; `closed`: the board closed it by then.
QByteArray RawAnswer(quint16 port, const QByteArray& request, bool* closed = nullptr) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return {};
    // Well within the 30 s after which the board closes any idle connection. A request too big for
    // the board is cut off while it is being sent.
    QDeadlineTimer deadline(10000);
    for (qsizetype sent = 0; sent < request.size() && socket.state() == QAbstractSocket::ConnectedState &&
                             !deadline.hasExpired();) {
        sent += std::max<qint64>(0, socket.write(request.mid(sent, 256 * 1024)));
        socket.waitForBytesWritten(int(std::max<qint64>(deadline.remainingTime(), 1)));
    }
    QByteArray answer;
    while (!answer.contains("\r\n\r\n") && !deadline.hasExpired() &&
           (socket.bytesAvailable() > 0 || socket.waitForReadyRead(int(deadline.remainingTime()))))
        answer += socket.readAll();
    if (closed) {
        // Whatever else comes, until the board closes the connection or the time is up.
        while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
            socket.waitForReadyRead(int(std::max<qint64>(deadline.remainingTime(), 1)));
            socket.readAll();
        }
        *closed = socket.state() != QAbstractSocket::ConnectedState;
    }
    return answer.left(answer.indexOf("\r\n\r\n"));
}

int StatusOf(const QByteArray& head) {
    return head.startsWith("HTTP/1.1 ") ? head.mid(9, 3).toInt() : 0;
}

QByteArray Handshake(const QByteArray& extra = {}) {
    return "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
           extra + "\r\n";
}

// A follower of the board's live stream.
class Follower {
public:
    Follower() {
        // Changes close together come as one frame, one message a line.
        QObject::connect(&socket_, &QWebSocket::textMessageReceived, [this](const QString& text) {
            for (const QString& line : text.split(u'\n'))
                messages_ << JsonOf(line.toUtf8());
        });
    }
    // Opens the stream; false when the board does not take it.
    bool Open(QUrl board, const QList<QPair<QByteArray, QByteArray>>& headers = {}) {
        board.setScheme("ws");
        board.setPath("/api/events");
        QNetworkRequest request(board);
        for (const auto& [name, value] : headers)
            request.setRawHeader(name, value);
        QSignalSpy connected(&socket_, &QWebSocket::connected);
        QSignalSpy disconnected(&socket_, &QWebSocket::disconnected);
        socket_.open(request);
        return QTest::qWaitFor([&] { return !connected.isEmpty() || !disconnected.isEmpty(); }, 20000) &&
               !connected.isEmpty();
    }
    qsizetype Count(const QString& type) const {
        return std::count_if(messages_.begin(), messages_.end(),
                             [&type](const QJsonObject& message) { return message["type"] == type; });
    }
    // The next message (after the one taken last) of `type` for which `wanted` holds; empty after the
    // time.
    QJsonObject Next(const QString& type, const std::function<bool(const QJsonObject&)>& wanted = {}) {
        QJsonObject found;
        (void)QTest::qWaitFor(
            [&] {
                for (; taken_ < messages_.size(); ++taken_) {
                    const QJsonObject& message = messages_[taken_];
                    const QJsonObject body = message[type == "snapshot" ? "state" : type].toObject();
                    if (message["type"] == type && (!wanted || wanted(body))) {
                        found = messages_[taken_++];
                        return true;
                    }
                }
                return false;
            },
            30000);
        return found;
    }

private:
    QWebSocket socket_;
    QList<QJsonObject> messages_;
    qsizetype taken_ = 0;
};

std::function<bool(const QJsonObject&)> InState(const QString& state) {
    return [state](const QJsonObject& slot) { return slot["state"] == state; };
}

} // namespace

class BoardTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // A thousand connections at once, here and in the station, which inherits the limit.
        rlimit limit{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &limit), 0);
        limit.rlim_cur = limit.rlim_max;
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &limit), 0);
        QVERIFY2(limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= 2300,
                 "too few file descriptors for the test");
    }

    // A unit goes through its cradle while a thousand idle connections and a stream client that
    // never reads crowd the board: its state and stream follow it all the same, with the
    // device's markup as plain text, and the board refuses what it does not serve.
    void followsAUnitWhileClientsCrowdIt() {
        QTemporaryDir folder;
        Station station(folder.path());
        station.Start({"--json", "--http", "127.0.0.1:0"});
        const QString shiftId = JsonOf(station.Line("\"shift\"").toUtf8())["shift"].toString();
        const QUrl board = station.Board();
        QCOMPARE(board.host(), QString("127.0.0.1"));
        QVERIFY(board.port() > 0);
        const quint16 port = quint16(board.port());
        QNetworkAccessManager manager;

        // Before any unit: the shift, and the cradle with no port in it.
        Answer state = Ask(manager, board.resolved(QUrl("/api/state")));
        QCOMPARE(state.status, 200);
        QCOMPARE(state.headers["content-type"], QByteArray("application/json"));
        QCOMPARE(state.headers["cache-control"], QByteArray("no-store"));
        QCOMPARE(state.headers["content-security-policy"], Policy);
        QCOMPARE(state.headers["x-content-type-options"], QByteArray("nosniff"));
        QCOMPARE(state.headers["referrer-policy"], QByteArray("no-referrer"));
        const QJsonObject shift = JsonOf(state.body)["shift"].toObject();
        QCOMPARE(shift["id"].toString(), shiftId);
        QCOMPARE(shift["update_file"].toString(), QString(RQ70_SAMPLE_UPDATE_FILE));
        QVERIFY(shift["database"].isNull());
        for (const char* key :
             {"note", "started", "elapsed_s", "units", "succeeded", "failed", "units_per_hour"})
            QVERIFY2(shift.contains(key), key);
        QCOMPARE(JsonOf(state.body)["slots"].toArray().size(), 1);
        const QJsonObject slot = At(JsonOf(state.body), "slots.0").toObject();
        QCOMPARE(slot["slot"].toInt(), 1);
        QCOMPARE(slot["port"].toString(), station.Port());
        QCOMPARE(slot["state"].toString(), QString("no_port"));
        for (const char* key : {"phase", "percent", "seconds_left", "unit", "identification", "failed_phase",
                                "failed_word", "reason", "last_verdict_time", "units", "succeeded", "failed"})
            QVERIFY2(slot.contains(key), key);

        // The page and its two files; HEAD tells their size without them.
        const Answer page = Ask(manager, board);
        QCOMPARE(page.status, 200);
        QCOMPARE(page.headers["content-type"], QByteArray("text/html; charset=utf-8"));
        QCOMPARE(page.headers["content-security-policy"], Policy);
        QVERIFY(page.body.contains("/board.js"));
        const Answer script = Ask(manager, board.resolved(QUrl("/board.js")));
        QCOMPARE(script.status, 200);
        QVERIFY(script.body.contains("textContent"));
        QVERIFY(!script.body.contains("innerHTML"));
        QCOMPARE(Ask(manager, board.resolved(QUrl("/board.css"))).status, 200);
        const Answer head = Ask(manager, board, {}, true);
        QCOMPARE(head.status, 200);
        QCOMPARE(head.headers["content-length"].toInt(), page.body.size());
        QVERIFY(head.body.isEmpty());

        // The crowd: a thousand connections that never ask anything, and a stream client that
        // reads its handshake's answer and nothing after.
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < 1000; ++i) {
            idle.push_back(std::make_unique<QTcpSocket>());
            idle.back()->connectToHost(QHostAddress::LocalHost, port);
        }
        const auto connected = [&idle] {
            return std::count_if(idle.begin(), idle.end(), [](const std::unique_ptr<QTcpSocket>& socket) {
                return socket->state() == QAbstractSocket::ConnectedState;
            });
        };
        QVERIFY(QTest::qWaitFor([&] { return connected() == 1000; }, 30000));
        QTcpSocket stuck;
        stuck.setReadBufferSize(512);
        stuck.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(stuck.waitForConnected(10000));
        stuck.write(Handshake());
        QVERIFY(QTest::qWaitFor([&] { return stuck.peek(64).startsWith("HTTP/1.1 101"); }, 10000));

        Follower follower;
        QVERIFY(follower.Open(board));
        const QJsonObject snapshot = follower.Next("snapshot");
        QCOMPARE(At(snapshot, "state.slots.0.state").toString(), QString("no_port"));
        QCOMPARE(At(snapshot, "state.shift.id").toString(), shiftId);

        // The unit, at a pace the board can be watched at.
        SimulatedDevice unit;
        QVERIFY(unit.Start(1, {"--id", Markup, "--baud", "115200"}, folder.path()));
        QVERIFY(!follower.Next("slot", InState("waiting")).isEmpty());
        const QJsonObject updating =
            follower
                .Next("slot",
                      [](const QJsonObject& slot) {
                          return slot["state"] == "updating" && slot["percent"].toInt() > 0;
                      })["slot"]
                .toObject();
        QCOMPARE(updating["unit"].toInt(), 1);
        QVERIFY(!updating["phase"].toString().isEmpty());
        QVERIFY(updating["identification"].isNull());
        // Mid-update, with every idle connection still open: the state answers at once.
        state = Ask(manager, board.resolved(QUrl("/api/state")));
        QCOMPARE(state.status, 200);
        QCOMPARE(At(JsonOf(state.body), "slots.0.state").toString(), QString("updating"));
        QCOMPARE(connected(), 1000);

        const QJsonObject done = follower.Next("slot", InState("succeeded"))["slot"].toObject();
        QCOMPARE(done["identification"].toString(), Markup);
        QCOMPARE(done["unit"].toInt(), 1);
        QCOMPARE(done["last_verdict"].toString(), QString("success"));
        QVERIFY(QDateTime::fromString(done["last_verdict_time"].toString(), Qt::ISODateWithMs).isValid());
        QCOMPARE(done["succeeded"].toInt(), 1);
        QVERIFY(done["percent"].isNull());
        // The verdict's slot, then the shift's new totals, then the record line, in that order.
        const QJsonObject counted =
            follower.Next("shift", [](const QJsonObject& s) { return s["units"] == 1; });
        QCOMPARE(At(counted, "shift.succeeded").toInt(), 1);
        const QJsonObject record = follower.Next("record")["record"].toObject();
        QCOMPARE(record["identification"].toString(), Markup);
        QCOMPARE(record["verdict"].toString(), QString("success"));
        QCOMPARE(record["shift"].toString(), shiftId);
        QVERIFY(station.Line("\"verdict\"").contains("\"success\""));
        state = Ask(manager, board.resolved(QUrl("/api/state")));
        QCOMPARE(At(JsonOf(state.body), "slots.0.identification").toString(), Markup);
        QCOMPARE(At(JsonOf(state.body), "shift.units").toInt(), 1);

        // The record list: searched whatever the case, and as CSV the rows of history --csv.
        Answer records = Ask(manager, board.resolved(QUrl("/api/records?q=ONERROR&limit=5")));
        QCOMPARE(records.status, 200);
        QCOMPARE(JsonOf(records.body)["total"].toInt(), 1);
        QCOMPARE(At(JsonOf(records.body), "records.0.identification").toString(), Markup);
        QCOMPARE(At(JsonOf(records.body), "records.0.id"), record["id"]);
        records = Ask(manager, board.resolved(QUrl("/api/records?q=no-such-unit")));
        QCOMPARE(JsonOf(records.body)["total"].toInt(), 0);
        QCOMPARE(JsonOf(records.body)["records"].toArray().size(), 0);
        QCOMPARE(Ask(manager, board.resolved(QUrl("/api/records?limit=many"))).status, 400);
        const Answer csv = Ask(manager, board.resolved(QUrl("/records.csv")));
        QCOMPARE(csv.status, 200);
        QCOMPARE(csv.headers["content-type"], QByteArray("text/csv; charset=utf-8"));
        QCOMPARE(csv.headers["content-disposition"], QByteArray("attachment; filename=\"rq70-records.csv\""));
        QProcess history;
        history.start(RQ70_FLASH_PATH, {"history", "--csv", "--record", station.Record()});
        QVERIFY(history.waitForFinished(10000));
        QCOMPARE(csv.body, history.readAllStandardOutput());
        QCOMPARE(csv.body.count("\r\n"), 2);

        // What the board does not serve.
        for (const QByteArray method : {"POST", "PUT", "DELETE"}) {
            const QByteArray answer = RawAnswer(
                port, method + " /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}");
            QCOMPARE(StatusOf(answer), 405);
            QVERIFY(answer.contains("\r\nAllow: GET, HEAD"));
        }
        for (const QByteArray path : {"/../etc/passwd", "/%2e%2e/", "/board.js/../x", "/api%2Fstate",
                                      "/%2F%2Fetc%2Fpasswd", "/page/board.js"}) {
            const QByteArray answer = RawAnswer(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            QVERIFY2(StatusOf(answer) == 404, path);
            QVERIFY(answer.contains("\r\nContent-Security-Policy: "));
        }
        // A page elsewhere whose name was made to lead here, and its stream.
        QCOMPARE(StatusOf(RawAnswer(port, "GET /api/state HTTP/1.1\r\nHost: evil.example\r\n\r\n")), 403);
        QCOMPARE(StatusOf(RawAnswer(port, Handshake("Origin: http://evil.example\r\n"))), 403);
        // A header of 10 MB is cut off, and the board goes on.
        const QByteArray huge =
            "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Filler: " + QByteArray(10 * 1024 * 1024, 'a') +
            "\r\n\r\n";
        bool closed = false;
        QCOMPARE(StatusOf(RawAnswer(port, huge, &closed)), 0);
        QVERIFY(closed);
        QCOMPARE(Ask(manager, board.resolved(QUrl("/api/state"))).status, 200);

        QVERIFY(unit.Stop());
        QCOMPARE(station.Finish(), 0);
    }

    // Off loopback the board needs its token: the station does not start without one, and with
    // one it answers only to the token, in a header or in the cookie that ?token= sets.
    void offLoopbackTheBoardNeedsItsToken() {
        QTemporaryDir folder;
        Station refused(folder.path());
        refused.Start({"--http", "0.0.0.0:0"});
        QCOMPARE(refused.Ended(), 2);
        QVERIFY(refused.Errors().contains("--http-token-file"));

        const QString tokenFile = folder.filePath("board-token");
        QFile file(tokenFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("  s3cret-Token-42 \nnot the token\n");
        file.close();
        Station station(folder.path());
        station.Start({"--http", "0.0.0.0:0", "--http-token-file", tokenFile});
        const QString line = station.Line("board on ");
        QVERIFY2(line.startsWith("board on http://0.0.0.0:"), qPrintable(line));
        QUrl board(line.mid(9));
        board.setHost("127.0.0.1");

        QNetworkAccessManager stranger;
        const QUrl state = board.resolved(QUrl("/api/state"));
        Answer answer = Ask(stranger, state);
        QCOMPARE(answer.status, 401);
        QVERIFY(answer.headers["www-authenticate"].startsWith("Bearer"));
        QCOMPARE(Ask(stranger, state, {{"Authorization", "Bearer s3cret-Token-4"}}).status, 401);
        QCOMPARE(Ask(stranger, board.resolved(QUrl("/?token=s3cret-token-42"))).status, 401);
        QCOMPARE(Ask(stranger, board.resolved(QUrl("/board.js"))).status, 401);
        answer = Ask(stranger, state, {{"Authorization", "Bearer s3cret-Token-42"}});
        QCOMPARE(answer.status, 200);
        QCOMPARE(JsonOf(answer.body)["slots"].toArray().size(), 1);
        Follower outsider;
        QVERIFY(!outsider.Open(board));

        // A browser logs in once: the token leaves the address for a cookie.
        QNetworkAccessManager browser;
        answer = Ask(browser, board.resolved(QUrl("/?token=s3cret-Token-42")));
        QCOMPARE(answer.status, 303);
        QCOMPARE(answer.headers["location"], QByteArray("/"));
        QCOMPARE(answer.headers["set-cookie"],
                 QByteArray("rq70_board=s3cret-Token-42; HttpOnly; SameSite=Strict; Path=/"));
        QCOMPARE(Ask(browser, board).status, 200);
        QCOMPARE(Ask(browser, state).status, 200);
        Follower insider;
        QVERIFY(insider.Open(board, {{"Cookie", "rq70_board=s3cret-Token-42"}}));
        QCOMPARE(At(insider.Next("snapshot"), "state.slots.0.port").toString(), station.Port());

        QCOMPARE(station.Finish(), 0);
    }

    // The stream on its own: a client that never reads falls behind, is owed a snapshot in place
    // of its queue, falls behind as much again and is dropped, while one that reads gets every
    // change in order and never waits for it.
    void aStreamClientThatNeverReadsIsDropped() {
        rq70::board::BoardServer server(
            [] {
                return QJsonObject{{"shift", QJsonObject{}}, {"slots", QJsonArray{}}};
            },
            rq70::board::RecordFileReaders(QString()), {});
        QCOMPARE(server.Listen(QHostAddress::LocalHost, 0), QString());
        QTcpSocket stuck;
        stuck.setReadBufferSize(512);
        stuck.connectToHost(QHostAddress::LocalHost, quint16(QUrl(server.Url()).port()));
        QVERIFY(stuck.waitForConnected(10000));
        stuck.write(Handshake());
        QVERIFY(QTest::qWaitFor([&] { return stuck.peek(64).startsWith("HTTP/1.1 101"); }, 10000));
        Follower follower;
        QVERIFY(follower.Open(QUrl(server.Url())));
        QVERIFY(!follower.Next("snapshot").isEmpty());
        QCOMPARE(server.Stream().Clients(), 2);

        const QString filler(16 * 1024, u'x');
        int sent = 0;
        while (server.Stream().Clients() == 2 && sent < 4000) {
            for (int burst = 0; burst < 8; ++burst)
                server.Stream().PublishRecord({{"n", sent++}, {"filler", filler}});
            const int n = sent - 1;
            QVERIFY(!follower.Next("record", [n](const QJsonObject& record) { return record["n"] == n; })
                         .isEmpty());
        }
        QCOMPARE(server.Stream().Clients(), 1);
        QCOMPARE(follower.Count("record"), sent);
        QCOMPARE(follower.Count("snapshot"), 1);
        // The one dropped was closed: reading what it had, it comes to the end of its connection.
        stuck.setReadBufferSize(0);
        QVERIFY(QTest::qWaitFor(
            [&] {
                stuck.readAll();
                return stuck.state() == QAbstractSocket::UnconnectedState;
            },
            20000));
    }

    // The board's index of the record answers every page exactly as reading the whole file does,
    // while the file grows (a line still being written included), shrinks and is replaced.
    void recordPagesAgreeWithTheWholeFile() {
        QTemporaryDir folder;
        const QString path = folder.filePath("updates.jsonl");
        int written = 0;
        const auto lines = [&written](int count) {
            QByteArray bytes;
            for (int i = 0; i < count; ++i, ++written) {
                const int n = written;
                QJsonObject line{{"id", QString::number(n)},
                                 {"shift", n % 3 == 0 ? "shift-a" : "shift-b"},
                                 {"port", QStringLiteral("COM%1").arg(n % 4 + 1)},
                                 {"verdict", n % 5 == 0 ? "failure" : "success"},
                                 {"station", n % 2 ? "Line-1" : "line-2"},
                                 {"update_file", n % 2 ? "/srv/RQ70-B.KRV" : "C:\\fw\\rq70-a.krv"},
                                 {"identification", n % 7 == 0 ? QStringLiteral("ÄRQ-70 Boot %1").arg(n)
                                                               : QStringLiteral("RQ-70 Boot 1.0")}};
                if (n % 11 == 0)
                    line.remove("shift"); // a line from before shifts
                bytes += QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
                if (n % 13 == 0)
                    bytes += "not a record\n\n";
            }
            return bytes;
        };
        const auto append = [&path](const QByteArray& bytes) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            QCOMPARE(file.write(bytes), bytes.size());
        };
        rq70::board::RecordFileIndex index(path);
        int pagesWithRecords = 0;
        const auto agree = [&](const char* when) {
            for (const QString shift : {"", "shift-a", "shift-c"}) {
                for (const QString text :
                     {"", "com2", "SUCCESS", "line-1", "ä", "rq70-a.krv", "b.krv", "zzz"}) {
                    for (const auto& [limit, offset] : {std::pair{1, 0}, {5, 3}, {500, 0}, {10, 1000}}) {
                        rq70::RecordFilter filter;
                        filter.shift = shift;
                        filter.text = text;
                        const rq70::RecordPage expected =
                            rq70::ReadUpdateRecordPage(path, filter, limit, offset);
                        const rq70::RecordPage page = index.Page(filter, limit, offset);
                        const QString what = QStringLiteral("%1: shift '%2', q '%3', limit %4, offset %5")
                                                 .arg(when, shift, text)
                                                 .arg(limit)
                                                 .arg(offset);
                        QVERIFY2(page.error.isEmpty(), qPrintable(what + ": " + page.error));
                        QVERIFY2(page.total == expected.total && page.records == expected.records,
                                 qPrintable(QStringLiteral("%1: %2 of %3 records, expected %4 of %5")
                                                .arg(what)
                                                .arg(page.records.size())
                                                .arg(page.total)
                                                .arg(expected.records.size())
                                                .arg(expected.total)));
                        pagesWithRecords += !page.records.isEmpty();
                    }
                }
            }
        };
        agree("no file yet");
        append(lines(300));
        agree("300 lines");
        QByteArray more = lines(40);
        const QByteArray half = more.left(more.size() - 30);
        append(half);
        agree("a line still being written");
        append(more.mid(half.size()) + QByteArray(rq70::MaxRecordLineBytes + 10, 'x') + '\n' + lines(5));
        agree("that line finished, then an overlong one");
        QVERIFY(QFile::resize(path, 2000));
        append(lines(20));
        agree("cut short, then grown again");
        {
            QFile other(folder.filePath("other.jsonl"));
            QVERIFY(other.open(QIODevice::WriteOnly));
            written = 5000;
            other.write(lines(200));
        }
        QVERIFY(std::rename(qPrintable(folder.filePath("other.jsonl")), qPrintable(path)) == 0);
        agree("replaced by another file");
        QVERIFY2(pagesWithRecords > 100, qPrintable(QString::number(pagesWithRecords)));
        QVERIFY(QFile::remove(path));
        agree("removed");
    }
};

QTEST_GUILESS_MAIN(BoardTest)
#include "tst_board.moc"
