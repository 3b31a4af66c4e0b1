#pragma once

#include "record/RecordFilter.h"

#include <QJsonObject>
#include <QList>
#include <QString>

namespace rq70 {

// Lines longer than this are not records this module wrote; they are counted as unreadable
// without being held in memory.
inline constexpr qint64 MaxRecordLineBytes = 1 << 20;

struct RecordHistory {
    // Oldest first.
    QList<QJsonObject> records;
    // Over the whole file: lines that are not a JSON object (a damaged or foreign line).
    // Empty lines do not count.
    int unreadableLines = 0;
    // Empty unless the file exists but could not be read to its end.
    QString error;
};

// The records of the file that `filter` lets through, or only the `last` of those (0: all). A
// missing file is an empty history. Memory stays bounded by the records kept, however long the
// file has grown.
RecordHistory ReadUpdateRecords(const QString& path, int last = 0, const RecordFilter& filter = {});

// One page of the records a filter lets through, as a board lists them.
struct RecordPage {
    // Newest first.
    QList<QJsonObject> records;
    // Every record of the source that the filter lets through.
    qint64 total = 0;
    // Empty unless the source could not be read.
    QString error;
};

// The `limit` records that `filter` lets through after skipping the `offset` newest of them,
// newest first. Reads the file twice (counting, then taking the page), so memory stays bounded by
// the page whatever the offset.
RecordPage ReadUpdateRecordPage(const QString& path, const RecordFilter& filter, int limit, qint64 offset);

// A plain-text table for a terminal: a header line, then one line per record, with the end time
// in local time. Missing values show as "-"; control characters (the identification comes from
// the device) are replaced so that they cannot steer the terminal.
QString FormatRecordTable(const QList<QJsonObject>& records);

} // namespace rq70
