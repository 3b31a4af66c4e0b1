// history --db: the filters of the record file's history, put to the line's table. Only the
// filters that are set become conditions, each on an indexed column (the board's text search
// excepted) and with its value bound.

#include "record/LineHistory.h"

#include "record/PgConnection.h"

#include <QJsonDocument>

#include <algorithm>

namespace rq70 {

namespace {

constexpr int ConnectTimeoutMs = 10000;
constexpr int QueryTimeoutMs = 60000;

QByteArray Utc(const QDateTime& time) {
    return time.toUTC().toString(Qt::ISODateWithMs).toUtf8();
}

// The conditions of `filter` on the line's table, their values bound as $1, $2, ...
struct Conditions {
    QString where;
    QList<QByteArray> values;
};

Conditions ConditionsOf(const RecordFilter& filter) {
    Conditions conditions;
    QStringList parts;
    const auto where = [&](const QString& condition, const QByteArray& value) {
        conditions.values << value;
        parts << condition.arg(conditions.values.size());
    };
    if (!filter.shift.isEmpty())
        where(QStringLiteral("shift = $%1"), filter.shift.toUtf8());
    if (!filter.station.isEmpty())
        where(QStringLiteral("station = $%1"), filter.station.toUtf8());
    if (!filter.verdict.isEmpty())
        where(QStringLiteral("verdict = $%1"), filter.verdict.toUtf8());
    if (!filter.identification.isEmpty())
        where(QStringLiteral("strpos(identification, $%1) > 0"), filter.identification.toUtf8());
    if (!filter.fileSha256.isEmpty())
        where(QStringLiteral("update_file_sha256 = $%1"), filter.fileSha256.toLower().toUtf8());
    if (filter.since.isValid())
        where(QStringLiteral("time >= $%1::timestamptz"), Utc(filter.since));
    if (filter.until.isValid())
        where(QStringLiteral("time <= $%1::timestamptz"), Utc(filter.until));
    if (!filter.text.isEmpty()) {
        // As RecordFilter::Matches: the file name is what follows the path's last separator.
        where(QStringLiteral(
                  "(strpos(lower(coalesce(identification, '')), $%1) > 0"
                  " OR strpos(lower(coalesce(port, '')), $%1) > 0"
                  " OR strpos(lower(coalesce(verdict, '')), $%1) > 0"
                  " OR strpos(lower(coalesce(station, '')), $%1) > 0"
                  " OR strpos(lower(substring(coalesce(line->>'update_file', '') from '[^/\\\\]*$')),"
                  " $%1) > 0)"),
              filter.text.toLower().toUtf8());
    }
    if (!parts.isEmpty())
        conditions.where = QStringLiteral(" WHERE ") + parts.join(QStringLiteral(" AND "));
    return conditions;
}

// Newest first: the order of every query of the table.
constexpr const char* NewestFirst = " ORDER BY time DESC NULLS LAST, received DESC, id DESC";

QString OpenForHistory(PgConnection& connection, const QString& conninfo) {
    if (const QString error = connection.Open(conninfo, ConnectTimeoutMs); !error.isEmpty())
        return QStringLiteral("cannot reach the database (%1): %2").arg(ConninfoForDisplay(conninfo), error);
    return {};
}

QList<QJsonObject> RecordsOf(const PgResult& result) {
    QList<QJsonObject> records;
    for (const QStringList& row : result.rows)
        records << QJsonDocument::fromJson(row.value(0).toUtf8()).object();
    return records;
}

} // namespace

LineHistory ReadLineHistory(const QString& conninfo, const RecordFilter& filter, int last) {
    Conditions conditions = ConditionsOf(filter);
    // The newest `last`, then turned round: oldest first, as the record file reads.
    QString sql = QStringLiteral("SELECT line::text FROM rq70_updates") + conditions.where + NewestFirst;
    if (last > 0) {
        conditions.values << QByteArray::number(last);
        sql += QStringLiteral(" LIMIT $%1::integer").arg(conditions.values.size());
    }

    LineHistory history;
    PgConnection connection;
    if (history.error = OpenForHistory(connection, conninfo); !history.error.isEmpty())
        return history;
    const PgResult result = connection.Exec(sql.toUtf8(), conditions.values, QueryTimeoutMs);
    if (!result.ok) {
        history.error = QStringLiteral("the database did not answer the query: %1").arg(result.error);
        return history;
    }
    history.records = RecordsOf(result);
    std::reverse(history.records.begin(), history.records.end());
    return history;
}

RecordPage ReadLineHistoryPage(const QString& conninfo, const RecordFilter& filter, int limit,
                               qint64 offset) {
    Conditions conditions = ConditionsOf(filter);
    RecordPage page;
    PgConnection connection;
    if (page.error = OpenForHistory(connection, conninfo); !page.error.isEmpty())
        return page;
    const PgResult count =
        connection.Exec((QStringLiteral("SELECT count(*) FROM rq70_updates") + conditions.where).toUtf8(),
                        conditions.values, QueryTimeoutMs);
    if (!count.ok) {
        page.error = QStringLiteral("the database did not answer the query: %1").arg(count.error);
        return page;
    }
    page.total = count.rows.value(0).value(0).toLongLong();
    conditions.values << QByteArray::number(limit) << QByteArray::number(offset);
    const qsizetype n = conditions.values.size();
    const QString sql = QStringLiteral("SELECT line::text FROM rq70_updates") + conditions.where +
                        NewestFirst +
                        QStringLiteral(" LIMIT $%1::integer OFFSET $%2::bigint").arg(n - 1).arg(n);
    const PgResult rows = connection.Exec(sql.toUtf8(), conditions.values, QueryTimeoutMs);
    if (!rows.ok) {
        page.error = QStringLiteral("the database did not answer the query: %1").arg(rows.error);
        return page;
    }
    page.records = RecordsOf(rows);
    return page;
}

} // namespace rq70
