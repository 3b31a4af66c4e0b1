// rq70-flash history: the update record, as a table or as its JSON lines.

#include "flash/Console.h"
#include "flash/FlashCommands.h"
#include "record/UpdateRecord.h"
#include "record/RecordHistory.h"

#include <cstdio>

namespace rq70::flash {

int History(const FlashOptions& options) {
    const QString path = RecordPath(options);
    const RecordHistory history = ReadUpdateRecords(path, options.last, options.shift);
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
    if (history.records.isEmpty()) {
        Complain(options.shift.isEmpty()
                     ? QStringLiteral("no update recorded in '%1'").arg(path)
                     : QStringLiteral("no update of shift '%1' recorded in '%2'").arg(options.shift, path));
        return ExitAllUpdated;
    }
    std::fputs(qPrintable(FormatRecordTable(history.records)), stdout);
    return ExitAllUpdated;
}

} // namespace rq70::flash
