// rq70-flash history: the update record, as a table, as its JSON lines or as CSV, filtered.

#include "common/TerminalText.h"
#include "flash/Console.h"
#include "flash/FlashCommands.h"
#include "record/LineHistory.h"
#include "record/PgConnection.h"
#include "record/RecordCsv.h"
#include "record/RecordHistory.h"

#include <QJsonValue>
#include <QStringList>

#include <cstdio>
#include <unistd.h>

namespace rq70::flash {

namespace {

QString ShownTime(const QDateTime& time) {
    return time.toString(Qt::ISODate);
}

// "of shift 'early', with verdict failure": the filter in words, for the note that nothing matched.
QString InWords(const RecordFilter& filter) {
    QStringList words;
    if (!filter.shift.isEmpty())
        words << QStringLiteral("of shift '%1'").arg(filter.shift);
    if (!filter.station.isEmpty())
        words << QStringLiteral("of station '%1'").arg(filter.station);
    if (!filter.verdict.isEmpty())
        words << QStringLiteral("with verdict %1").arg(filter.verdict);
    if (!filter.identification.isEmpty())
        words << QStringLiteral("of a device identified with '%1'").arg(filter.identification);
    if (!filter.fileSha256.isEmpty())
        words << QStringLiteral("from the update file %1").arg(filter.fileSha256);
    if (filter.since.isValid())
        words << QStringLiteral("since %1").arg(ShownTime(filter.since));
    if (filter.until.isValid())
        words << QStringLiteral("until %1").arg(ShownTime(filter.until));
    return words.join(QStringLiteral(", "));
}

// CSV is meant for a file or a spreadsheet; read on a terminal, what a device or a person wrote
// into a record must not steer it, as in every other output.
QList<QJsonObject> ForTerminal(QList<QJsonObject> records) {
    for (QJsonObject& record : records) {
        for (auto value = record.begin(); value != record.end(); ++value) {
            if (value->isString())
                *value = TerminalSafe(value->toString());
        }
    }
    return records;
}

} // namespace

int History(const FlashOptions& options) {
    // The line's database, or this computer's record.
    const bool line = !options.database.isEmpty();
    const QString path =
        line ? QStringLiteral("the line's database (%1)").arg(ConninfoForDisplay(options.database))
             : RecordPath(options);
    RecordHistory history;
    if (line) {
        LineHistory answer = ReadLineHistory(options.database, options.filter, options.last);
        if (!answer.error.isEmpty()) {
            Complain(answer.error);
            return ExitDatabase;
        }
        history.records = std::move(answer.records);
    } else {
        history = ReadUpdateRecords(path, options.last, options.filter);
    }
    if (!history.error.isEmpty()) {
        Complain(QStringLiteral("cannot read the update record '%1': %2").arg(path, history.error));
        return ExitNoUpdateFile;
    }
    if (history.unreadableLines > 0)
        Complain(QStringLiteral("%1 unreadable line(s) in '%2' passed over")
                     .arg(QString::number(history.unreadableLines), path));
    if (options.json) {
        for (const QJsonObject& record : history.records)
            SayJson(record);
        return ExitAllUpdated;
    }
    if (options.csv) {
        // The header row even for no records, so that a script's import always finds its columns.
        const QByteArray csv =
            RecordsCsv(::isatty(STDOUT_FILENO) ? ForTerminal(history.records) : history.records).toUtf8();
        std::fwrite(csv.constData(), 1, std::size_t(csv.size()), stdout);
        std::fflush(stdout);
        return ExitAllUpdated;
    }
    if (history.records.isEmpty()) {
        const QString filter = InWords(options.filter);
        Complain(filter.isEmpty() ? QStringLiteral("no update recorded in '%1'").arg(path)
                                  : QStringLiteral("no update %1 recorded in '%2'").arg(filter, path));
        return ExitAllUpdated;
    }
    std::fputs(qPrintable(FormatRecordTable(history.records)), stdout);
    return ExitAllUpdated;
}

} // namespace rq70::flash
