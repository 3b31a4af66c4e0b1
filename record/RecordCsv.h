#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

namespace rq70 {

// The records as CSV for a spreadsheet (RFC 4180): a header row, then one row per record, every
// row ended by CR LF. The columns, in this order: id, station, shift, slot, start, end, duration_s,
// port, device_path, usb_serial, identification, verdict, failed_phase, failed_word, reason,
// update_file, update_file_size, update_file_sha256, note, host, user, program, version.
// A missing or null value is an empty cell, a number is written as the JSON line has it. A cell
// holding '"', ',', CR or LF is quoted, its quotes doubled. A text that begins with '=', '+', '-',
// '@', TAB or CR gets a "'" in front, so that a spreadsheet shows it as text instead of running it
// as a formula: identifications and notes come from devices and operators.
QString RecordsCsv(const QList<QJsonObject>& records);

} // namespace rq70
