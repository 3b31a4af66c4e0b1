// The board's record list: what it is asked, and where it reads the records from.

#include "board/BoardRecords.h"

#include "board/RecordFileIndex.h"
#include "record/LineHistory.h"

#include <memory>

namespace rq70::board {

RecordReaders RecordFileReaders(const QString& recordPath) {
    auto index = std::make_shared<RecordFileIndex>(recordPath);
    return {[index](const RecordFilter& filter, int limit, qint64 offset) {
                return index->Page(filter, limit, offset);
            },
            [recordPath](const RecordFilter& filter) {
                RecordHistory history = ReadUpdateRecords(recordPath, 0, filter);
                RecordPage all{std::move(history.records), 0, history.error};
                all.total = all.records.size();
                return all;
            }};
}

RecordReaders LineDatabaseReaders(const QString& conninfo) {
    return {[conninfo](const RecordFilter& filter, int limit, qint64 offset) {
                return ReadLineHistoryPage(conninfo, filter, limit, offset);
            },
            [conninfo](const RecordFilter& filter) {
                LineHistory history = ReadLineHistory(conninfo, filter);
                RecordPage all{std::move(history.records), 0, history.error};
                all.total = all.records.size();
                return all;
            }};
}

QString ParseRecordQuery(const QUrlQuery& query, RecordQuery& out) {
    const auto value = [&query](const char* key) {
        return query.queryItemValue(QLatin1String(key), QUrl::FullyDecoded);
    };
    if (query.hasQueryItem(QStringLiteral("limit"))) {
        bool number = false;
        out.limit = value("limit").toInt(&number);
        if (!number || out.limit < 1)
            return QStringLiteral("limit takes a whole number from 1 up");
        out.limit = std::min(out.limit, int(RecordQuery::MaxLimit));
    }
    if (query.hasQueryItem(QStringLiteral("offset"))) {
        bool number = false;
        out.offset = value("offset").toLongLong(&number);
        if (!number || out.offset < 0)
            return QStringLiteral("offset takes a whole number from 0 up");
    }
    out.filter.shift = value("shift");
    out.filter.text = value("q").trimmed().left(RecordQuery::MaxTextLength);
    return {};
}

} // namespace rq70::board
