#pragma once

#include <QString>

namespace rq70 {

// How far the line's database has a record file: the byte offset just past the last line it has
// committed, kept in a file beside the record and replaced whole, so a crash at any instant
// leaves the old offset or the new one. The database it was counted for is kept with it: a
// record sent to another database starts again from the top (the lines already there are passed
// over by their ids).
struct ShipCursor {
    QString path;     // "<record>.shipped"
    QString database; // ConninfoForDisplay of the connection
    qint64 offset = 0;
    // The line that ends at `offset`, newline and all: its length and SHA-256 (hex). A record
    // replaced by another file is told by it, and sent again from the top.
    qint64 lastLineLength = 0;
    QByteArray lastLineSha256;
};

QString ShipCursorPath(const QString& recordPath);
// Where lines the database refused for good are kept, with the reason: "<record>.rejected".
QString SetAsidePath(const QString& recordPath);

// The cursor of `recordPath` for `database`: 0 when there is none, it cannot be read, or it was
// counted for another database. Whether it still fits the record is the reader's to check.
ShipCursor LoadShipCursor(const QString& recordPath, const QString& database);
// "" or why the cursor could not be written.
QString SaveShipCursor(const ShipCursor& cursor);

} // namespace rq70
