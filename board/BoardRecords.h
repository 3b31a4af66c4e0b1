#pragma once

#include "record/RecordFilter.h"
#include "record/RecordHistory.h"

#include <QUrlQuery>

#include <functional>

namespace rq70::board {

// Where the board's record list comes from: the station's own record file, or the line's database
// when the station ships to one. Both readers are called in a worker thread of the board's.
struct RecordReaders {
    // One page, newest first.
    std::function<RecordPage(const RecordFilter& filter, int limit, qint64 offset)> page;
    // Every record the filter lets through, oldest first (as history prints them), in `records`.
    std::function<RecordPage(const RecordFilter& filter)> all;
};

RecordReaders RecordFileReaders(const QString& recordPath);
RecordReaders LineDatabaseReaders(const QString& conninfo);

// What /api/records and /records.csv are asked: ?limit=&offset=&shift=&q=.
struct RecordQuery {
    RecordFilter filter;
    int limit = DefaultLimit;
    qint64 offset = 0;

    static constexpr int DefaultLimit = 50;
    static constexpr int MaxLimit = 500;
    static constexpr int MaxTextLength = 200;
};

// The query of `query`, or why it is none (a limit or offset that is no number): "" and sets `out`.
// A limit above MaxLimit is taken as MaxLimit.
QString ParseRecordQuery(const QUrlQuery& query, RecordQuery& out);

} // namespace rq70::board
