#include "flash/ShiftSummary.h"

#include "flash/FlashCommands.h"
#include "flash/OutcomeText.h"
#include "flash/UpdateEvents.h"

#include <QJsonArray>

namespace rq70::flash {

ShiftTally::ShiftTally(const QStringList& ports) {
    for (const QString& port : ports)
        slots_.append(Slot{port, 0, 0, 0});
}

void ShiftTally::Count(const DeviceOutcome& outcome) {
    if (outcome.device < 0 || outcome.device >= slots_.size())
        return;
    Slot& slot = slots_[outcome.device];
    ++slot.units;
    if (outcome.Succeeded()) {
        ++slot.succeeded;
        ++succeeded_;
    } else {
        ++slot.failed;
        ++failed_;
    }
    recordMissing_ = recordMissing_ || outcome.RecordMissing();
}

int ShiftTally::ExitStatus() const {
    if (recordMissing_)
        return ExitRecordNotWritten;
    return failed_ == 0 ? ExitAllUpdated : ExitUpdateFailed;
}

QJsonObject SummaryEvent(const QString& shift, const ShiftTally& tally, qint64 elapsedMs) {
    QJsonArray perSlot;
    for (qsizetype i = 0; i < tally.Slots().size(); ++i) {
        const ShiftTally::Slot& slot = tally.Slots()[i];
        perSlot.append(QJsonObject{{"slot", int(i) + 1},
                                   {"port", slot.port},
                                   {"units", slot.units},
                                   {"succeeded", slot.succeeded},
                                   {"failed", slot.failed}});
    }
    return {{"event", "summary"},       {"shift", shift},
            {"units", tally.Units()},   {"succeeded", tally.Succeeded()},
            {"failed", tally.Failed()}, {"elapsed_s", Seconds(elapsedMs)},
            {"slots", perSlot},         {"exit_status", tally.ExitStatus()}};
}

QStringList SummaryLines(const QString& shift, const ShiftTally& tally, qint64 elapsedMs) {
    QList<QStringList> rows{{"Slot", "Port", "Units", "Succeeded", "Failed"}};
    for (qsizetype i = 0; i < tally.Slots().size(); ++i) {
        const ShiftTally::Slot& slot = tally.Slots()[i];
        rows.append({QString::number(i + 1), slot.port, QString::number(slot.units),
                     QString::number(slot.succeeded), QString::number(slot.failed)});
    }
    rows.append({"all", "", QString::number(tally.Units()), QString::number(tally.Succeeded()),
                 QString::number(tally.Failed())});
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList& row : rows) {
        for (qsizetype column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    }
    QStringList lines{QString(),
                      QStringLiteral("Shift %1 ended after %2: %3 unit(s), %4 succeeded, %5 failed")
                          .arg(shift, Clock(elapsedMs), QString::number(tally.Units()),
                               QString::number(tally.Succeeded()), QString::number(tally.Failed()))};
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype column = 0; column < row.size(); ++column) {
            // The port is text, the counts are numbers: left- and right-aligned.
            line += column == 1 ? row[column].leftJustified(widths[column])
                                : row[column].rightJustified(widths[column]);
            line += column + 1 < row.size() ? QStringLiteral("  ") : QString();
        }
        if (!line.trimmed().isEmpty())
            lines << line;
    }
    return lines;
}

} // namespace rq70::flash
