#pragma once

#include "record/RecordFilter.h"

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

} // namespace rq70
