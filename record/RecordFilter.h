#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

namespace rq70 {

// Which record lines history shows. Every field left empty (or invalid) lets every line through;
// those that are set must all hold. The fields stay plain values so that the same filter can be
// put to the database as well as to the record file.
struct RecordFilter {
    // Equal to the line's "shift", "station" or "verdict". A line without the key (one written
    // before stations were named) does not match a station that is asked for.
    QString shift;
    QString station;
    QString verdict;
    // Contained in the line's "identification", as written (case matters).
    QString identification;
    // Equal to the line's "update_file_sha256", whatever the case of the hex digits.
    QString fileSha256;
    // Contained, whatever the case, in the line's "identification", "port", "verdict" or "station",
    // or in the file name of its "update_file": what a search field is asked for.
    QString text;
    // Both ends included; an invalid one leaves that end open. Compared with the line's "end", or
    // its "start" where it has no end. A line with neither fails any time that is asked for.
    QDateTime since;
    QDateTime until;

    bool Matches(const QJsonObject& line) const;
};

// The file name of an update file's path as a record holds it. Records may come from the windows
// program on another system, so both separators count.
QString UpdateFileName(const QString& path);

// Reads a time given to --since or --until: "2026-12-08", "2026-12-08T14:30", "2026-12-08 14:30:05"
// (also with milliseconds), with a zone ("Z", "+01:00", "+0100") or without one for local time.
// A date alone is the day's first moment, or with `until` its last, so that it covers that whole
// day. Returns "" and sets `out`, or says what is wrong with `text`.
QString ParseFilterTime(const QString& text, bool until, QDateTime& out);

} // namespace rq70
