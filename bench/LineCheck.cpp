// The line bench's verdict: every station's record against the table, line by line (by id), and
// how long the lines took to arrive.
#include "LineBench.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace line {

namespace {

constexpr int ProblemsListed = 5;

QList<QByteArray> LinesOf(const QString& path) {
    QFile file(path);
    QList<QByteArray> lines;
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            lines << line;
    }
    return lines;
}

// Nearest rank of `fraction` in the sorted `values`.
double Percentile(const QList<double>& values, double fraction) {
    const qsizetype rank = qsizetype(std::ceil(fraction * double(values.size())));
    return values[std::clamp<qsizetype>(rank - 1, 0, values.size() - 1)];
}

Delays DelaysOf(QList<double> seconds) {
    Delays delays;
    delays.rows = int(seconds.size());
    if (seconds.isEmpty())
        return delays;
    std::sort(seconds.begin(), seconds.end());
    delays.p50 = Percentile(seconds, 0.50);
    delays.p99 = Percentile(seconds, 0.99);
    delays.max = seconds.last();
    return delays;
}

} // namespace

int LineBench::TableRows() {
    QString output;
    if (!cluster_.Psql(QStringLiteral("SELECT count(*) FROM rq70_updates;"), QStringLiteral("rq70"), &output)
             .isEmpty())
        return -1;
    bool ok = false;
    const int rows = output.trimmed().toInt(&ok);
    return ok ? rows : -1;
}

bool LineBench::AllLinesInTable() {
    QString output;
    if (!cluster_
             .Psql(QStringLiteral("SELECT station, count(*) FROM rq70_updates GROUP BY station;"),
                   QStringLiteral("rq70"), &output)
             .isEmpty())
        return false;
    QHash<QString, int> rows;
    for (const QString& row : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList columns = row.split(QLatin1Char('|'));
        if (columns.size() == 2)
            rows.insert(columns[0], columns[1].toInt());
    }
    return std::all_of(stations_.begin(), stations_.end(), [&rows](const auto& station) {
        return rows.value(station->Name()) == LinesOf(station->RecordPath()).size();
    });
}

void LineBench::CheckTable() {
    LineFigures& f = figures_;
    static const QRegularExpression idPattern(QStringLiteral("^[0-9a-f]{32}$"));
    // Every id of every record, and the station whose record holds it.
    QHash<QString, QString> stationOf;
    QStringList duplicates;
    for (const auto& station : stations_) {
        for (const QByteArray& line : LinesOf(station->RecordPath())) {
            ++f.recordLines;
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            const QString id = record.value("id").toString();
            if (!idPattern.match(id).hasMatch()) {
                if (++f.linesWithoutId <= ProblemsListed)
                    Problem(QStringLiteral("%1: a record line without an id of 32 hex digits: %2")
                                .arg(station->Name(), QString::fromUtf8(line)));
                continue;
            }
            if (record.value("station").toString() != station->Name() &&
                ++f.linesOfOtherStation <= ProblemsListed)
                Problem(QStringLiteral("%1: a record line names station \"%2\"")
                            .arg(station->Name(), record.value("station").toString()));
            if (stationOf.contains(id)) {
                ++f.duplicateIds;
                duplicates << id;
                continue;
            }
            stationOf.insert(id, station->Name());
        }
        const QList<QByteArray> rejected = LinesOf(station->RecordPath() + QStringLiteral(".rejected"));
        f.rejectedLines += int(rejected.size());
        for (qsizetype i = 0; i < std::min<qsizetype>(rejected.size(), ProblemsListed); ++i)
            Problem(QStringLiteral("%1: the database refused a line: %2")
                        .arg(station->Name(), QString::fromUtf8(rejected[i])));
    }
    if (!duplicates.isEmpty())
        Problem(QStringLiteral("%1 id(s) twice in the records, e.g. %2")
                    .arg(duplicates.size())
                    .arg(duplicates.mid(0, ProblemsListed).join(QStringLiteral(", "))));

    // Times as milliseconds since the epoch, from the server's clock (received) and the line (end).
    QString output;
    const QString error =
        cluster_.Psql(QStringLiteral("SELECT id, station, line->>'station',"
                                     " (extract(epoch FROM received) * 1000)::bigint,"
                                     " (extract(epoch FROM (line->>'end')::timestamptz) * 1000)::bigint"
                                     " FROM rq70_updates;"),
                      QStringLiteral("rq70"), &output);
    if (!error.isEmpty()) {
        Problem(QStringLiteral("reading the table: %1").arg(error));
        return;
    }
    QSet<QString> inTable;
    QStringList surplus;
    QStringList wrongStation;
    QList<double> upDelays;
    QList<double> outageDelays;
    f.tableRows = 0;
    for (const QString& row : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList columns = row.split(QLatin1Char('|'));
        ++f.tableRows;
        if (columns.size() != 5) {
            Problem(QStringLiteral("a row of the table reads \"%1\"").arg(row));
            continue;
        }
        const QString& id = columns[0];
        inTable.insert(id);
        const auto record = stationOf.constFind(id);
        if (record == stationOf.constEnd()) {
            ++f.surplus;
            surplus << id;
            continue;
        }
        if (columns[1] != *record || columns[2] != *record) {
            ++f.wrongStation;
            wrongStation << QStringLiteral("%1 (record of %2, row of %3, line of %4)")
                                .arg(id, *record, columns[1], columns[2]);
        }
        if (columns[4].isEmpty())
            continue;
        const qint64 received = columns[3].toLongLong();
        const qint64 end = columns[4].toLongLong();
        // Shipped by `rq70-flash ship` after the shift: no delay of the stations' own.
        if (received >= shiftEndMs_)
            continue;
        // A line whose way to the table spans an outage waited for it; the others show what
        // shipping costs while everything is up.
        const bool waited = std::any_of(outages_.begin(), outages_.end(), [&](const Outage& outage) {
            return (outage.station.isEmpty() || outage.station == *record) && end <= outage.untilMs &&
                   received >= outage.fromMs;
        });
        (waited ? outageDelays : upDelays) << double(received - end) / 1000;
    }
    for (auto it = stationOf.cbegin(); it != stationOf.cend(); ++it) {
        if (!inTable.contains(it.key()) && ++f.lost <= ProblemsListed)
            Problem(QStringLiteral("lost: %1 of %2 is in the record, not in the table")
                        .arg(it.key(), it.value()));
    }
    if (!surplus.isEmpty())
        Problem(QStringLiteral("%1 row(s) in the table with an id of no record line, e.g. %2")
                    .arg(surplus.size())
                    .arg(surplus.mid(0, ProblemsListed).join(QStringLiteral(", "))));
    if (!wrongStation.isEmpty())
        Problem(QStringLiteral("%1 row(s) under the wrong station, e.g. %2")
                    .arg(wrongStation.size())
                    .arg(wrongStation.mid(0, ProblemsListed).join(QStringLiteral("; "))));
    f.upDelays = DelaysOf(upDelays);
    f.outageDelays = DelaysOf(outageDelays);

    // The same line shipped twice under two ids would hide from the primary key.
    if (const QString twice =
            cluster_.Psql(QStringLiteral("SELECT count(*) - count(DISTINCT line - 'id') FROM rq70_updates;"),
                          QStringLiteral("rq70"), &output);
        !twice.isEmpty())
        Problem(QStringLiteral("counting repeated lines: %1").arg(twice));
    else
        f.duplicateRows = output.trimmed().toInt();
    if (f.duplicateRows > 0)
        Problem(QStringLiteral("%1 row(s) repeat another row's line under another id").arg(f.duplicateRows));
}

} // namespace line
