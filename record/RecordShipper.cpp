// The shipper reads the record from its cursor on, a batch of whole lines at a time, and hands
// each batch to the database in one statement. A line still being written (no newline yet) is
// left for the next pass.

#include "record/RecordShipper.h"

#include "record/LineSchema.h"
#include "record/RecordFile.h"
#include "record/RecordHistory.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace rq70 {

namespace {

constexpr int ConnectTimeoutMs = 10000;
constexpr int StatementTimeoutMs = 20000;
constexpr int LongestBackoffMs = 30000;
// A batch also stops at this many bytes, whatever its number of lines.
constexpr qint64 BatchBytes = 4 << 20;

// Refusals of the data itself: the same line would be refused again, however often it is sent.
// Everything else (rights, a missing table, a server going down) is the database's to mend, and
// the line waits for it.
bool RefusesTheData(const QString& sqlState) {
    return sqlState.startsWith(QLatin1String("22")) || sqlState.startsWith(QLatin1String("23"));
}

QDateTime TimeOf(const QByteArray& line) {
    const QJsonObject record = QJsonDocument::fromJson(line).object();
    for (const char* key : {"end", "start"}) {
        const QDateTime time =
            QDateTime::fromString(record.value(QLatin1String(key)).toString(), Qt::ISODateWithMs);
        if (time.isValid())
            return time;
    }
    return {};
}

} // namespace

// One whole line of the record and where it ends in the file.
struct RecordShipper::Line {
    QByteArray text; // without its newline; empty for a line too long to hold
    qint64 end = 0;
    // Of the whole line in the file, newline and all: what the cursor names it by.
    qint64 length = 0;
    QByteArray sha256;
    QByteArray id;
    QString unreadable; // why it is no record line, else empty
};

RecordShipper::RecordShipper(QString recordPath, QString conninfo, QObject* parent)
    : QObject(parent), recordPath_(std::move(recordPath)), conninfo_(std::move(conninfo)), retry_(this),
      watcher_(this) {
    qRegisterMetaType<ShipperState>();
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &RecordShipper::Pass);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, &RecordShipper::Nudge);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &RecordShipper::Nudge);
}

RecordShipper::~RecordShipper() = default;

void RecordShipper::Begin() {
    cursor_ = LoadShipCursor(recordPath_, ConninfoForDisplay(conninfo_));
    Watch();
    Pass();
}

void RecordShipper::Nudge() {
    Watch();
    // While the database is away, new lines only add to the count; the retry comes at its time.
    if (retry_.isActive()) {
        CountWaiting();
        if (state_.waiting != reported_.waiting) {
            reported_ = state_;
            emit StateChanged(state_);
        }
        return;
    }
    Pass();
}

void RecordShipper::Finish(int withinMs) {
    if (finishing_)
        return;
    finishing_ = true;
    finishBy_ = QDeadlineTimer(withinMs);
    retry_.stop();
    // A wait already under way is cut short at the deadline.
    QTimer::singleShot(withinMs, this, [this] { connection_.Interrupt(); });
    if (!busy_)
        Pass();
}

// The record file, and its folder for a record that does not exist yet or is replaced.
void RecordShipper::Watch() {
    if (finishing_)
        return;
    const QFileInfo record(recordPath_);
    if (record.exists() && !watcher_.files().contains(recordPath_))
        watcher_.addPath(recordPath_);
    if (record.absoluteDir().exists() && watcher_.directories().isEmpty())
        watcher_.addPath(record.absolutePath());
}

int RecordShipper::TimeLeft(int wanted) const {
    return finishing_ ? int(qMin<qint64>(wanted, finishBy_.remainingTime())) : wanted;
}

void RecordShipper::Pass() {
    // A pass waits in local event loops, in which another nudge may arrive: it is taken up by the
    // pass under way.
    if (busy_) {
        again_ = true;
        return;
    }
    busy_ = true;
    Outcome outcome = Outcome::Shipped;
    do {
        again_ = false;
        outcome = ShipWhatIsThere();
    } while (again_ && outcome == Outcome::Shipped && !finishing_);
    busy_ = false;

    if (outcome == Outcome::Shipped) {
        backoffMs_ = 1000;
        state_.reason.clear();
    } else if (!finishing_) {
        retry_.start(backoffMs_);
        backoffMs_ = qMin(backoffMs_ * 2, LongestBackoffMs);
    }
    CountWaiting();
    if (state_.waiting != reported_.waiting || state_.reason != reported_.reason) {
        reported_ = state_;
        emit StateChanged(state_);
    }
    if (finishing_ && !finished_) {
        finished_ = true;
        connection_.Close();
        emit Finished(state_);
    }
}

RecordShipper::Outcome RecordShipper::ShipWhatIsThere() {
    QFile file(recordPath_);
    if (!file.exists())
        return Outcome::Shipped;
    if (!file.open(QIODevice::ReadOnly))
        return Wait(QStringLiteral("cannot read the record %1: %2").arg(recordPath_, file.errorString()));
    // A record cut back or replaced since the cursor was written is sent again from the top: the
    // line before the cursor must be the one the cursor names.
    if (cursor_.offset > 0 && !CursorFits(file))
        cursor_ = ShipCursor{cursor_.path, cursor_.database, 0, 0, {}};
    if (!file.seek(cursor_.offset))
        return Wait(QStringLiteral("cannot read the record %1: %2").arg(recordPath_, file.errorString()));

    for (;;) {
        QList<Line> batch;
        bool atEnd = false;
        qint64 bytes = 0;
        qint64 position = cursor_.offset;
        while (batch.size() < BatchLines && bytes < BatchBytes) {
            Line line;
            line.text = file.readLine(MaxRecordLineBytes + 2);
            if (!line.text.endsWith('\n')) {
                if (line.text.size() <= MaxRecordLineBytes) {
                    atEnd = true; // the end of the file, maybe inside a line still being written
                    break;
                }
                // Longer than any record: only where it ends is kept.
                QByteArray rest;
                do {
                    rest = file.readLine(64 * 1024);
                    line.text.append(rest);
                } while (!rest.isEmpty() && !rest.endsWith('\n'));
                if (!line.text.endsWith('\n')) {
                    atEnd = true;
                    break;
                }
                line.end = position + line.text.size();
                line.length = line.text.size();
                line.sha256 = QCryptographicHash::hash(line.text, QCryptographicHash::Sha256).toHex();
                line.text.clear();
                line.unreadable = QStringLiteral("longer than any record line");
            } else {
                line.end = position + line.text.size();
                line.length = line.text.size();
                line.sha256 = QCryptographicHash::hash(line.text, QCryptographicHash::Sha256).toHex();
                line.text.chop(1);
            }
            position = line.end;
            bytes += line.text.size();
            if (line.unreadable.isEmpty() && line.text.trimmed().isEmpty()) {
                // An empty line holds nothing to send.
            } else if (line.unreadable.isEmpty()) {
                const QJsonDocument document = QJsonDocument::fromJson(line.text);
                if (!document.isObject()) {
                    line.unreadable = QStringLiteral("not a record line (no JSON object)");
                } else {
                    line.id = document.object().value(QLatin1String("id")).toString().toUtf8();
                    // A line written before records had ids is named by its bytes, which is the
                    // same name each time it is sent.
                    if (line.id.isEmpty())
                        line.id = QCryptographicHash::hash(line.text, QCryptographicHash::Sha256).toHex();
                }
            }
            batch << line;
        }
        if (batch.isEmpty())
            return Outcome::Shipped;
        const Outcome outcome = Send(batch);
        if (outcome != Outcome::Shipped || atEnd)
            return outcome;
    }
}

RecordShipper::Outcome RecordShipper::Wait(const QString& reason) {
    state_.reason = reason;
    return Outcome::Waiting;
}

bool RecordShipper::SendOne(const QList<Line>& lines, PgResult& result) {
    QByteArray pairs = "[";
    for (const Line& line : lines) {
        if (!line.unreadable.isEmpty() || line.id.isEmpty())
            continue;
        if (pairs.size() > 1)
            pairs += ',';
        pairs +=
            QJsonDocument(QJsonArray{QString::fromUtf8(line.id)}).toJson(QJsonDocument::Compact).chopped(1);
        pairs += ',' + line.text + ']';
    }
    pairs += ']';
    if (pairs == "[]") {
        result.ok = true;
        return true;
    }
    result = connection_.Exec(InsertLinesSql(), {pairs}, TimeLeft(StatementTimeoutMs));
    return result.ok;
}

RecordShipper::Outcome RecordShipper::Send(const QList<Line>& lines) {
    if (!connection_.IsOpen()) {
        const QString error = connection_.Open(conninfo_, TimeLeft(ConnectTimeoutMs));
        if (!error.isEmpty())
            return Wait(QStringLiteral("cannot reach the database (%1): %2")
                            .arg(ConninfoForDisplay(conninfo_), error));
    }
    PgResult result;
    if (SendOne(lines, result)) {
        for (const Line& line : lines) {
            if (!line.unreadable.isEmpty())
                SetAside(line, line.unreadable);
            else if (!line.id.isEmpty())
                ++state_.shipped;
        }
        return Advance(lines.last()) ? Outcome::Shipped : Outcome::Waiting;
    }
    if (!RefusesTheData(result.sqlState)) {
        if (result.sqlState == QLatin1String("42501"))
            return Wait(QStringLiteral("the role %1 may not add lines to %2 (it needs INSERT and SELECT: "
                                       "rq70-flash db init --print)")
                            .arg(connection_.User(), QLatin1String(LineTable)));
        if (result.sqlState == QLatin1String("42P01"))
            return Wait(QStringLiteral("the database has no table %1 yet: rq70-flash db init")
                            .arg(QLatin1String(LineTable)));
        return Wait(QStringLiteral("the database did not take the lines: %1").arg(result.error));
    }
    // One of the lines is refused: each goes on its own, so only those at fault stay behind.
    for (const Line& line : lines) {
        PgResult single;
        if (!line.unreadable.isEmpty()) {
            SetAside(line, line.unreadable);
        } else if (SendOne({line}, single)) {
            if (!line.id.isEmpty())
                ++state_.shipped;
        } else if (RefusesTheData(single.sqlState)) {
            SetAside(line, QStringLiteral("refused by the database: %1").arg(single.error));
        } else {
            return Wait(QStringLiteral("the database did not take the lines: %1").arg(single.error));
        }
        if (!Advance(line))
            return Outcome::Waiting;
    }
    return Outcome::Shipped;
}

bool RecordShipper::CursorFits(QFile& file) const {
    const qint64 start = cursor_.offset - cursor_.lastLineLength;
    if (cursor_.offset > file.size() || cursor_.lastLineLength <= 0 || start < 0 || !file.seek(start))
        return false;
    const QByteArray line = file.read(cursor_.lastLineLength);
    return line.size() == cursor_.lastLineLength && line.endsWith('\n') &&
           QCryptographicHash::hash(line, QCryptographicHash::Sha256).toHex() == cursor_.lastLineSha256;
}

bool RecordShipper::Advance(const Line& last) {
    const ShipCursor before = cursor_;
    cursor_.offset = last.end;
    cursor_.lastLineLength = last.length;
    cursor_.lastLineSha256 = last.sha256;
    const QString error = SaveShipCursor(cursor_);
    if (error.isEmpty())
        return true;
    // The lines are in the database; sent again later, they are passed over.
    cursor_ = before;
    state_.reason = error;
    return false;
}

void RecordShipper::SetAside(const Line& line, const QString& reason) {
    const QJsonObject aside{{"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                            {"record", recordPath_},
                            {"end_offset", line.end},
                            {"reason", reason},
                            {"line", QString::fromUtf8(line.text)}};
    const QString error = AppendRecordLine(SetAsidePath(recordPath_),
                                           QJsonDocument(aside).toJson(QJsonDocument::Compact) + '\n');
    ++state_.setAside;
    emit LineSetAside(error.isEmpty()
                          ? QStringLiteral("%1 (kept in %2)").arg(reason, SetAsidePath(recordPath_))
                          : QStringLiteral("%1 (and not kept: %2)").arg(reason, error));
}

void RecordShipper::CountWaiting() {
    state_.waiting = 0;
    state_.oldest = {};
    QFile file(recordPath_);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(qMin(cursor_.offset, file.size())))
        return;
    bool first = true;
    while (!file.atEnd()) {
        QByteArray line = file.readLine(MaxRecordLineBytes + 2);
        if (line.isEmpty() || !line.endsWith('\n'))
            break;
        if (line.trimmed().isEmpty())
            continue;
        if (first)
            state_.oldest = TimeOf(line);
        first = false;
        ++state_.waiting;
    }
}

} // namespace rq70
