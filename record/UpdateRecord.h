#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <string_view>

namespace rq70 {

// 128 random bits from the system's generator as 32 lower-case hex digits: names one record line
// wherever it is copied to, so that a line shipped twice is still one update.
QString NewRecordId();

// What one update did, for the record file that both the updater and rq70-flash append to: one
// JSON line per update, so that a production line can tell afterwards which device got which
// file, when, and how it ended.
struct UpdateRecord {
    // Every record made is a new update and gets an id of its own; a copy keeps it.
    QString id = NewRecordId();
    QDateTime started;
    QDateTime ended;
    // Filled by ToJson when left empty: the machine's host name and the user running the update.
    QString host;
    QString user;
    // The station that ran the update, as the line's records name it (rq70-flash --station);
    // filled with the host name by ToJson when left empty, as the windows leave it.
    QString station;
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

} // namespace rq70
