#pragma once

#include "record/RecordFilter.h"
#include "record/RecordHistory.h"

#include <QJsonObject>
#include <QList>
#include <QString>

namespace rq70 {

struct LineHistory {
    // Oldest first, each the record line as the station wrote it.
    QList<QJsonObject> records;
    // Empty unless the database could not be asked.
    QString error;
};

// The records of every station of the line that pass `filter`, or only the `last` of them (0: all).
LineHistory ReadLineHistory(const QString& conninfo, const RecordFilter& filter, int last = 0);

// One page of them, newest first, as ReadUpdateRecordPage reads it from a record file.
RecordPage ReadLineHistoryPage(const QString& conninfo, const RecordFilter& filter, int limit, qint64 offset);

} // namespace rq70
