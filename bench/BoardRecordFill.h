#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The record a busy station has gathered before the shift: lines of earlier shifts, as the
// station itself writes them, for the board to page through and search.
namespace boardbench {

struct EarlierShifts {
    // Cradle paths, slot 1 first.
    QStringList ports;
    QString station;
    QString note;
    // The file this shift updates from; earlier shifts had an older one beside it.
    QString updateFile;
    QByteArray updateFileBytes;
    int highestProgramWord = 0;
};

// Writes `lines` record lines of shifts that ended before now to `path` (which must not exist yet),
// oldest first, made by the update record's own line writer: every line an id of its own, shifts
// of a few hundred units over the eight cradles, mostly successes with each unit's identification,
// some failures (echo, acknowledge, EEPROM) and aborts. Returns "" or what went wrong.
QString FillRecord(const QString& path, int lines, quint64 seed, const EarlierShifts& shifts);

} // namespace boardbench
