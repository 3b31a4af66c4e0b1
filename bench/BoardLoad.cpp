// The board bench's load: one browser's board, or a crowd; and what each answer must be.
#include "BoardLoad.h"

#include "record/RecordFilter.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace boardload {

namespace {

// The board's own cap on a page.
constexpr int MaxLimit = 500;

// The body as a JSON object, or why it is none.
QJsonObject JsonBody(const HttpAnswer& answer, QString& problem) {
    if (!answer.contentType.startsWith("application/json")) {
        problem = QStringLiteral("content type \"%1\"").arg(QString::fromLatin1(answer.contentType));
        return {};
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(answer.body, &error);
    if (!document.isObject())
        problem = QStringLiteral("no JSON object: %1").arg(error.errorString());
    return document.object();
}

QString StatusProblem(const HttpAnswer& answer, int expected) {
    if (answer.status == expected)
        return {};
    return answer.status == 0 ? answer.error
                              : QStringLiteral("status %1: %2")
                                    .arg(answer.status)
                                    .arg(QString::fromUtf8(answer.body.left(120)).trimmed());
}

} // namespace

void RequestTally::Count(const HttpAnswer& answer, const QString& problem) {
    if (answer.status == 0) {
        ++unanswered;
    } else {
        ++answered;
        ++statuses[answer.status];
        ms << answer.ms;
    }
    if (problem.isEmpty()) {
        ++ok;
        okMs << answer.ms;
    } else {
        problems.Add(problem);
    }
}

QJsonObject RequestTally::Json() const {
    QJsonObject byStatus;
    for (auto it = statuses.cbegin(); it != statuses.cend(); ++it)
        byStatus.insert(QString::number(it.key()), it.value());
    QJsonObject json = Percentiles(ms);
    json.insert("sent", sent);
    json.insert("answered", answered);
    json.insert("ok", ok);
    json.insert("unanswered", unanswered);
    json.insert("statuses", byStatus);
    json.insert("as_expected", Percentiles(okMs));
    json.insert("problems", problems.Json());
    return json;
}

QJsonObject Percentiles(QList<double> values) {
    if (values.isEmpty())
        return {{"n", 0}, {"p50_ms", -1}, {"p99_ms", -1}, {"max_ms", -1}};
    std::sort(values.begin(), values.end());
    // The nearest rank: the smallest value that at least that share of them does not exceed.
    const auto rank = [&values](double share) {
        const qsizetype index = qsizetype(std::ceil(share * double(values.size()))) - 1;
        return values[std::clamp<qsizetype>(index, 0, values.size() - 1)];
    };
    return {{"n", values.size()}, {"p50_ms", rank(0.50)}, {"p99_ms", rank(0.99)}, {"max_ms", values.last()}};
}

QString StateProblem(const HttpAnswer& answer, int slotCount) {
    if (QString problem = StatusProblem(answer, 200); !problem.isEmpty())
        return problem;
    QString problem;
    const QJsonObject state = JsonBody(answer, problem);
    if (!problem.isEmpty())
        return problem;
    const QJsonObject shift = state.value("shift").toObject();
    if (!shift.value("id").isString() || !shift.value("units").isDouble())
        return QStringLiteral("a state without the shift's id and units");
    const QJsonArray slotList = state.value("slots").toArray();
    if (slotList.size() != slotCount)
        return QStringLiteral("a state with %1 slots").arg(slotList.size());
    for (const QJsonValue& slot : slotList) {
        if (!slot.toObject().value("state").isString())
            return QStringLiteral("a slot without its state");
    }
    return {};
}

QByteArray RecordsAsk::Target() const {
    QByteArray target = "/api/records?limit=" + QByteArray::number(limit);
    if (offset > 0)
        target += "&offset=" + QByteArray::number(offset);
    if (!text.isEmpty())
        target += "&q=" + QUrl::toPercentEncoding(text);
    return target;
}

QString RecordsProblem(const HttpAnswer& answer, const RecordsAsk& ask, qint64 atLeast) {
    if (QString problem = StatusProblem(answer, 200); !problem.isEmpty())
        return problem;
    QString problem;
    const QJsonObject page = JsonBody(answer, problem);
    if (!problem.isEmpty())
        return problem;
    if (!page.value("records").isArray() || !page.value("total").isDouble())
        return QStringLiteral("a page without records and total");
    const QJsonArray records = page.value("records").toArray();
    const qint64 total = page.value("total").toInteger();
    const qint64 expected = std::clamp<qint64>(total - ask.offset, 0, std::min(ask.limit, MaxLimit));
    if (records.size() != expected)
        return QStringLiteral("%1 records for limit %2, offset %3 of %4")
            .arg(records.size())
            .arg(ask.limit)
            .arg(ask.offset)
            .arg(total);
    if (ask.text.isEmpty() && total < atLeast)
        return QStringLiteral("a total of %1 records, fewer than the record had before the shift").arg(total);
    rq70::RecordFilter filter;
    filter.text = ask.text;
    for (const QJsonValue& value : records) {
        const QJsonObject record = value.toObject();
        if (!record.value("id").isString() || !record.value("verdict").isString())
            return QStringLiteral("a record without id or verdict");
        if (!filter.Matches(record))
            return QStringLiteral("record %1 does not match \"%2\"")
                .arg(record.value("id").toString(), ask.text);
    }
    return {};
}

Visitor::Visitor(const LoadSettings& settings, QObject* parent)
    : QObject(parent), settings_(settings), http_(quint16(settings.board.port()), this),
      stream_(settings.board, this) {
    stream_.onSnapshot = [this] { LoadRecords(); };
    http_.onAnswered = stream_.onClosed = [this] {
        if (onChange)
            onChange();
    };
}

void Visitor::Start() {
    Fetch(0);
}

void Visitor::Fetch(int index) {
    // The page, then what it names; a browser asks for the icon by itself.
    struct File {
        const char* path;
        int status;
        const char* type;
    };
    static const File files[] = {{"/", 200, "text/html"},
                                 {"/board.css", 200, "text/css"},
                                 {"/board.js", 200, "text/javascript"},
                                 {"/favicon.ico", 404, ""}};
    if (index >= int(std::size(files))) {
        stream_.Open();
        return;
    }
    const File& file = files[index];
    RequestTally& tally = file.status == 200 ? files_ : icon_;
    ++tally.sent;
    http_.Get(file.path, [this, index, file, &tally](const HttpAnswer& answer) {
        QString problem = StatusProblem(answer, file.status);
        if (problem.isEmpty() && !answer.contentType.startsWith(file.type))
            problem = QStringLiteral("%1: content type \"%2\"")
                          .arg(QLatin1String(file.path), QString::fromLatin1(answer.contentType));
        if (problem.isEmpty() && index == 0 &&
            (!answer.body.contains("/board.js") || !answer.body.contains("/board.css")))
            problem = QStringLiteral("the page names other files than /board.css and /board.js");
        tally.Count(answer,
                    problem.isEmpty() ? problem : QLatin1String(file.path) + QStringLiteral(": ") + problem);
        Fetch(index + 1);
    });
}

void Visitor::LoadRecords() {
    // As the page asks once it has its snapshot: the newest page, no search typed.
    const RecordsAsk ask;
    ++records_.sent;
    http_.Get(ask.Target(), [this, ask](const HttpAnswer& answer) {
        records_.Count(answer, RecordsProblem(answer, ask, settings_.recordsAtLeast));
    });
}

void Visitor::Stop() {
    stream_.Close();
}

QJsonObject Visitor::Report() const {
    QJsonObject streams = stream_.Tally().Json();
    streams.insert("clients", 1);
    streams.insert("first_snapshot_ms", stream_.FirstSnapshotMs());
    return {{"mode", "board"},
            {"streams", streams},
            {"files", files_.Json()},
            {"icon", icon_.Json()},
            {"records", records_.Json()}};
}

Crowd::Crowd(const LoadSettings& settings, QObject* parent)
    : QObject(parent), settings_(settings), http_(quint16(settings.board.port()), this),
      random_(settings.seed ^ 0xC20D0ull) {
    const auto changed = [this] {
        if (onChange)
            onChange();
    };
    http_.onAnswered = changed;
    for (int i = 0; i < settings.streams; ++i) {
        streams_.push_back(std::make_unique<StreamClient>(settings.board, this));
        streams_.back()->onClosed = changed;
    }
    tick_.setTimerType(Qt::PreciseTimer);
    tick_.setInterval(TickMs);
    connect(&tick_, &QTimer::timeout, this, &Crowd::Tick);
}

void Crowd::Start() {
    for (const auto& stream : streams_)
        stream->Open();
    clock_.start();
    tick_.start();
}

RecordsAsk Crowd::DrawAsk() {
    // Pages as people look through the list: mostly the newest, sometimes far back or past the
    // end; searches as they type them into the page, one that matches nothing.
    static const int limits[] = {1, 10, 20, 50, 50, 50, 50, 100, 200, 500, 1000};
    static const char* const texts[] = {"unit 00", "UNIT 01", "success",  "failure",    "aborted",
                                        "COM3",    "line-1",  "PREVIOUS", "RQ70-BOARD", "no such unit"};
    const auto draw = [this](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random_);
    };
    RecordsAsk ask;
    ask.limit = limits[draw(0, int(std::size(limits)) - 1)];
    if (draw(1, 10) > 6)
        ask.offset = draw(0, int(settings_.recordsAtLeast * 6 / 5));
    if (draw(1, 2) == 1)
        ask.text = QString::fromLatin1(texts[draw(0, int(std::size(texts)) - 1)]);
    return ask;
}

void Crowd::Tick() {
    const double nowMs = double(clock_.nsecsElapsed()) / 1e6;
    while (settings_.recordsPerSecond > 0 &&
           double(recordsDue_) * 1000 / settings_.recordsPerSecond <= nowMs) {
        lateMs_ << nowMs - double(recordsDue_++) * 1000 / settings_.recordsPerSecond;
        const RecordsAsk ask = DrawAsk();
        ++records_.sent;
        http_.Get(ask.Target(), [this, ask](const HttpAnswer& answer) {
            records_.Count(answer, RecordsProblem(answer, ask, settings_.recordsAtLeast));
        });
    }
    while (settings_.statesPerSecond > 0 && double(statesDue_) * 1000 / settings_.statesPerSecond <= nowMs) {
        lateMs_ << nowMs - double(statesDue_++) * 1000 / settings_.statesPerSecond;
        ++states_.sent;
        http_.Get("/api/state", [this](const HttpAnswer& answer) {
            states_.Count(answer, StateProblem(answer, settings_.slotCount));
        });
    }
}

void Crowd::Stop() {
    tick_.stop();
    for (const auto& stream : streams_)
        stream->Close();
}

bool Crowd::Quiet() const {
    return http_.Unanswered() == 0 && std::none_of(streams_.begin(), streams_.end(),
                                                   [](const auto& stream) { return stream->Connected(); });
}

QJsonObject Crowd::Report() const {
    StreamTally all;
    qint64 lastFirstSnapshot = 0;
    for (const auto& stream : streams_) {
        all.Add(stream->Tally());
        lastFirstSnapshot = stream->FirstSnapshotMs() < 0 || lastFirstSnapshot < 0
                                ? -1
                                : std::max(lastFirstSnapshot, stream->FirstSnapshotMs());
    }
    QJsonObject streams = all.Json();
    streams.insert("clients", int(streams_.size()));
    streams.insert("first_snapshot_ms", lastFirstSnapshot);
    return {{"mode", "crowd"},
            {"streams", streams},
            {"records", records_.Json()},
            {"state", states_.Json()},
            {"late_ms", Percentiles(lateMs_)},
            {"waited_for_connection", http_.WaitedForConnection()},
            {"connections_max", HttpClient::MaxConnections}};
}

} // namespace boardload
