#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <string_view>

namespace rq70 {

// What one update did, for the record file that both the updater and rq70-flash append to: one
// JSON line per update, so that a production line can tell afterwards which device got which
// file, when, and how it ended.
struct UpdateRecord {
    QDateTime started;
    QDateTime ended;
    // Filled by ToJson when left empty: the machine's host name and the user running the update.
    QString host;
    QString user;
    // "rq70-updater" or "rq70-flash".
    QString program;
    QString version;
    // As the user gave it: "COM3" or a device path.
    QString port;
    // The path the port stood for: the COMn link (or the port COMn was), or the path as given.
    QString devicePath;
    // The device node with every link followed, when the port opened ("/dev/ttyUSB1"); empty when
    // unknown.
    QString deviceNode;
    // Of the port's adapter when the port opened; empty when it has none.
    QString usbSerial;
    QString updateFile;
    // -1 and empty when unknown.
    qint64 updateFileSize = -1;
    QString updateFileSha256;
    int highestProgramWord = 0;
    // What the device answered to the identification query after a successful update, else empty.
    QString identification;
    // "success", "failure" or "aborted".
    QString verdict;
    // "", "open", "erase", "program" or "eeprom".
    QString failedPhase;
    // -1 when no particular word failed.
    int failedWord = -1;
    QString reason;
    // Where a production station ran the update: its shift, the 1-based slot the device sat in
    // (0: none) and the operator's note. Empty and 0 outside a station.
    QString shift;
    int slot = 0;
    QString note;
};

// The record as its JSON line holds it. Every key is always there; what is unknown or does not
// apply is null. Times are UTC ("2026-12-07T16:40:01.123Z") whatever zone they were given in.
QJsonObject ToJson(const UpdateRecord& record);

struct UpdateFileFacts {
    // -1 and empty when unknown.
    qint64 size = -1;
    // Lower-case hex.
    QString sha256;
};

// The size and SHA-256 of an update file's bytes as the loader read them (still scrambled): the
// record names the bytes the images were made from, never the file read again later, which may
// have been replaced by then.
UpdateFileFacts UpdateFileFactsOf(std::string_view bytes);

// Where the record goes: $RQ70_UPDATE_RECORD when set, else updates.jsonl in rq70-updater/ under
// $XDG_STATE_HOME (when absolute) or ~/.local/state.
QString UpdateRecordPath();

// Appends the record as one line, creating missing folders (owner-only). The line reaches the
// file in one write, so lines from parallel updates and from both programs never mix, and it is
// on disk when this returns. It is written whole or not at all: a line that does not fit (a full
// disk) is taken back, and a line left torn at the file's end by a crash is never joined. Returns
// "" on success, else one line saying what failed.
QString AppendUpdateRecord(const QString& path, const UpdateRecord& record);

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

// The records of the file, or only its `last` ones (0: all); with `shift`, only the records whose
// "shift" is that one (and `last` then counts those). A missing file is an empty history. Memory
// stays bounded by the records kept, however long the file has grown.
RecordHistory ReadUpdateRecords(const QString& path, int last = 0, const QString& shift = {});

// A plain-text table for a terminal: a header line, then one line per record, with the end time
// in local time. Missing values show as "-"; control characters (the identification comes from
// the device) are replaced so that they cannot steer the terminal.
QString FormatRecordTable(const QList<QJsonObject>& records);

} // namespace rq70
