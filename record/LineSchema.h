#pragma once

#include <QByteArray>
#include <QString>

namespace rq70 {

// The line's table of updates. Every column but `received` comes from the record line, which is
// kept whole in `line`; the columns are there for the queries and their indexes.
inline constexpr char LineTable[] = "rq70_updates";

// Creates the table and its indexes, or brings an older one up to date; running it again changes
// nothing.
QByteArray LineSchemaSql();

// What a station's role needs and nothing more: it adds lines and reads them, and can change none.
QByteArray StationGrantSql(const QString& role);

// The statement that adds a batch of record lines: its one parameter is a JSON array of
// [id, line] pairs, and an id the table already holds is passed over, so a line sent twice is
// stored once.
QByteArray InsertLinesSql();

} // namespace rq70
