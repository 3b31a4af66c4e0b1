// Reading the update record back: the lines a filter lets through or the last few of them, and the
// table that history prints for a terminal.

#include "record/RecordHistory.h"

#include "common/TerminalText.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonValue>

#include <deque>

namespace rq70 {

namespace {

// Texts from the device or from a hand-edited file may hold escape sequences, carriage returns
// or direction overrides that would rewrite what the terminal shows.
QString ForTerminal(const QString& text) {
    return text.isEmpty() ? QStringLiteral("-") : TerminalSafe(text);
}

QString EndCell(const QJsonObject& record) {
    const QDateTime end = QDateTime::fromString(record.value("end").toString(), Qt::ISODateWithMs);
    return end.isValid() ? end.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

QString WhatFailedCell(const QJsonObject& record) {
    const QString phase = record.value("failed_phase").toString();
    if (phase.isEmpty())
        return record.value("reason").toString();
    const QJsonValue word = record.value("failed_word");
    return word.isDouble() ? QStringLiteral("%1 at word %2").arg(phase, QString::number(word.toInteger()))
                           : phase;
}

QString DurationCell(const QJsonObject& record) {
    const QJsonValue duration = record.value("duration_s");
    return duration.isDouble() ? QString::number(duration.toDouble(), 'f', 1) + QStringLiteral(" s")
                               : QString();
}

// Calls `take` with every record line of `file` that is a JSON object, in the file's order; counts
// the others in `unreadable`. Returns "" or what went wrong reading the file.
template <class Take> QString ReadRecordLines(QFile& file, int& unreadable, Take take) {
    while (!file.atEnd()) {
        QByteArray line = file.readLine(MaxRecordLineBytes + 2);
        if (line.isEmpty())
            break; // a read error; reported below
        if (line.endsWith('\n')) {
            line.chop(1);
        } else if (!file.atEnd()) {
            // Longer than any record: skip the rest of it without holding it.
            QByteArray rest;
            do {
                rest = file.readLine(64 * 1024);
            } while (!rest.isEmpty() && !rest.endsWith('\n'));
            ++unreadable;
            continue;
        }
        if (line.trimmed().isEmpty())
            continue;
        const QJsonDocument document =
            line.size() > MaxRecordLineBytes ? QJsonDocument() : QJsonDocument::fromJson(line);
        if (!document.isObject()) {
            ++unreadable;
            continue;
        }
        take(document.object());
    }
    if (file.error() != QFileDevice::NoError)
        return QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString());
    return {};
}

// The record file opened for reading: false with `error` set when it exists and does not open.
bool OpenRecord(QFile& file, QString& error) {
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot open %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

} // namespace

RecordHistory ReadUpdateRecords(const QString& path, int last, const RecordFilter& filter) {
    RecordHistory history;
    QFile file(path);
    if (!file.exists() || !OpenRecord(file, history.error))
        return history;
    // Only the records that can still be among the last `last` are kept while reading.
    std::deque<QJsonObject> kept;
    history.error = ReadRecordLines(file, history.unreadableLines, [&](const QJsonObject& record) {
        if (!filter.Matches(record))
            return;
        kept.push_back(record);
        if (last > 0 && kept.size() > static_cast<std::size_t>(last))
            kept.pop_front();
    });
    history.records = QList<QJsonObject>(kept.begin(), kept.end());
    return history;
}

RecordPage ReadUpdateRecordPage(const QString& path, const RecordFilter& filter, int limit, qint64 offset) {
    RecordPage page;
    QFile file(path);
    if (!file.exists() || !OpenRecord(file, page.error))
        return page;
    int unreadable = 0;
    page.error = ReadRecordLines(file, unreadable,
                                 [&](const QJsonObject& record) { page.total += filter.Matches(record); });
    // Lines appended since the count come after the page and are left for the next one.
    const qint64 first = qMax<qint64>(0, page.total - offset - limit);
    const qint64 end = page.total - offset;
    if (!page.error.isEmpty() || end <= 0 || limit <= 0 || !file.seek(0))
        return page;
    qint64 index = 0;
    page.error = ReadRecordLines(file, unreadable, [&](const QJsonObject& record) {
        if (!filter.Matches(record))
            return;
        if (index >= first && index < end)
            page.records.prepend(record);
        ++index;
    });
    return page;
}

QString FormatRecordTable(const QList<QJsonObject>& records) {
    QList<QStringList> rows{
        {"End", "Port", "Verdict", "What failed", "Identification", "Update file", "Duration"}};
    for (const QJsonObject& record : records) {
        QStringList row{EndCell(record),
                        record.value("port").toString(),
                        record.value("verdict").toString(),
                        WhatFailedCell(record),
                        record.value("identification").toString(),
                        UpdateFileName(record.value("update_file").toString()),
                        DurationCell(record)};
        for (QString& cell : row)
            cell = ForTerminal(cell);
        rows << row;
    }

    const qsizetype columns = rows.first().size();
    QList<qsizetype> widths(columns, 0);
    for (const QStringList& row : rows) {
        for (qsizetype column = 0; column < columns; ++column)
            widths[column] = qMax(widths[column], row[column].size());
    }

    // The duration, last, is right-aligned so that its decimal points line up.
    QString table;
    for (const QStringList& row : rows) {
        for (qsizetype column = 0; column < columns - 1; ++column)
            table += row[column].leftJustified(widths[column]) + QStringLiteral("  ");
        table += row.last().rightJustified(widths.last()) + u'\n';
    }
    return table;
}

} // namespace rq70
