#pragma once

#include "BoardHttp.h"
#include "BoardProblems.h"
#include "BoardStreamClient.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <random>
#include <vector>

// The board bench's load: what a browser with the board open does, or a crowd of stream clients
// and timed requests. It runs in a process of its own (the bench starts it at the lowest
// priority), never in the station's, and reports what it met as one JSON object.
namespace boardload {

struct LoadSettings {
    QUrl board;
    int slotCount = 8;
    // /api/records without a filter must count at least this many records.
    qint64 recordsAtLeast = 0;
    int streams = 100;
    int recordsPerSecond = 50;
    int statesPerSecond = 10;
    quint64 seed = 0;
};

// The answers to one kind of request: how many, which statuses, which were wrong, and how long
// they took (every answer, whatever its status).
struct RequestTally {
    int sent = 0;
    int answered = 0;
    // Answered as expected: the status, and a body of the right kind and shape.
    int ok = 0;
    // No answer at all: the connection failed or closed first.
    int unanswered = 0;
    QHash<int, int> statuses;
    QList<double> ms;
    // Of the answers as expected alone.
    QList<double> okMs;
    ProblemList problems;

    // Counts `answer`; `problem` is "" when it is what was expected.
    void Count(const HttpAnswer& answer, const QString& problem);
    QJsonObject Json() const;
};

// p50, p99 and the largest of `values` (-1 each when empty).
QJsonObject Percentiles(QList<double> values);

// "" when `answer` is the board's state with `slotCount` slots.
QString StateProblem(const HttpAnswer& answer, int slotCount);

// What /api/records was asked.
struct RecordsAsk {
    int limit = 50;
    qint64 offset = 0;
    QString text;
    QByteArray Target() const;
};
// "" when `answer` is the page of records `ask` wants: as many as the total leaves after the
// offset up to the limit, each a record the search text matches; at least `atLeast` in all
// without a search.
QString RecordsProblem(const HttpAnswer& answer, const RecordsAsk& ask, qint64 atLeast);

// One browser with the board open: the page and its files once (and the icon a browser asks
// for), the stream followed throughout, the record list loaded on each snapshot.
class Visitor : public QObject {
public:
    explicit Visitor(const LoadSettings& settings, QObject* parent = nullptr);
    // Called whenever Quiet may have become true.
    std::function<void()> onChange;
    void Start();
    void Stop();
    // Every request answered and the stream closed.
    bool Quiet() const { return http_.Unanswered() == 0 && !stream_.Connected(); }
    QJsonObject Report() const;

private:
    void Fetch(int index);
    void LoadRecords();

    const LoadSettings settings_;
    HttpClient http_;
    StreamClient stream_;
    RequestTally files_;
    RequestTally icon_;
    RequestTally records_;
};

// A crowd: `streams` stream clients at once, and requests to /api/records (limits, offsets and
// searches drawn at random) and /api/state at steady rates, whatever the answers' pace.
class Crowd : public QObject {
public:
    explicit Crowd(const LoadSettings& settings, QObject* parent = nullptr);
    // Called whenever Quiet may have become true.
    std::function<void()> onChange;
    void Start();
    void Stop();
    bool Quiet() const;
    QJsonObject Report() const;

    // How often the steady rates are looked at.
    static constexpr int TickMs = 5;

private:
    void Tick();
    RecordsAsk DrawAsk();

    const LoadSettings settings_;
    HttpClient http_;
    std::vector<std::unique_ptr<StreamClient>> streams_;
    std::mt19937_64 random_;
    QTimer tick_;
    QElapsedTimer clock_;
    qint64 recordsDue_ = 0;
    qint64 statesDue_ = 0;
    RequestTally records_;
    RequestTally states_;
    // How late each request went out after its due time: the generator's own waiting for the CPU.
    QList<double> lateMs_;
};

} // namespace boardload
