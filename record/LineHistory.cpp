// history --db: the filters of the record file's history, put to the line's table. Only the
// filters that are set become conditions, each on an indexed column and with its value bound.

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

} // namespace

LineHistory ReadLineHistory(const QString& conninfo, const RecordFilter& filter, int last) {
    QStringList conditions;
    QList<QByteArray> values;
    const auto where = [&](const QString& condition, const QByteArray& value) {
        values << value;
        conditions << condition.arg(values.size());
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

    // The newest `last`, then turned round: oldest first, as the record file reads.
    QString sql = QStringLiteral("SELECT line::text FROM rq70_updates");
    if (!conditions.isEmpty())
        sql += QStringLiteral(" WHERE ") + conditions.join(QStringLiteral(" AND "));
    sql += QStringLiteral(" ORDER BY time DESC NULLS LAST, received DESC, id DESC");
    if (last > 0) {
        values << QByteArray::number(last);
        sql += QStringLiteral(" LIMIT $%1::integer").arg(values.size());
    }

    LineHistory history;
    PgConnection connection;
    if (const QString error = connection.Open(conninfo, ConnectTimeoutMs); !error.isEmpty()) {
        history.error =
            QStringLiteral("cannot reach the database (%1): %2").arg(ConninfoForDisplay(conninfo), error);
        return history;
    }
    const PgResult result = connection.Exec(sql.toUtf8(), values, QueryTimeoutMs);
    if (!result.ok) {
        history.error = QStringLiteral("the database did not answer the query: %1").arg(result.error);
        return history;
    }
    for (const QStringList& row : result.rows)
        history.records << QJsonDocument::fromJson(row.value(0).toUtf8()).object();
    std::reverse(history.records.begin(), history.records.end());
    return history;
}

} // namespace rq70
