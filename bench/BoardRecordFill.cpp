// Earlier shifts in the board bench's record: lines from the update record's own writer.
#include "BoardRecordFill.h"

#include "record/UpdateRecord.h"
#include "update/RunRecord.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <algorithm>
#include <random>
#include <vector>

namespace boardbench {

namespace {

constexpr int UnitsPerShift = 420;
// A paced update with the unit's swap: about a minute and a half per cradle.
constexpr int CradleCycleSeconds = 90;

int Uniform(std::mt19937_64& random, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
}

// The failure of one run as the update procedure reports it.
void Fail(std::mt19937_64& random, rq70::UpdateResult& result, int highestWord) {
    result.outcome = rq70::UpdateResult::Failed;
    switch (Uniform(random, 0, 3)) {
    case 0: {
        const int word = Uniform(random, 256, highestWord);
        result.failedPhase = rq70::UpdatePhase::Program;
        result.failedWord = word;
        result.reason = QStringLiteral("the echo of word %1 did not match").arg(word);
        break;
    }
    case 1: {
        const int block = 256 + Uniform(random, 0, (highestWord - 256) / 4) * 4;
        result.failedPhase = rq70::UpdatePhase::Program;
        result.failedWord = block;
        result.reason = QStringLiteral("the write command for word %1 was not acknowledged").arg(block);
        break;
    }
    case 2:
        result.failedPhase = rq70::UpdatePhase::Eeprom;
        result.reason =
            QStringLiteral("the EEPROM write for address %1 got no reply").arg(Uniform(random, 0, 255));
        break;
    default:
        result.failedPhase = rq70::UpdatePhase::Program;
        result.reason = QStringLiteral("the port failed");
        break;
    }
}

} // namespace

QString FillRecord(const QString& path, int lines, quint64 seed, const EarlierShifts& shifts) {
    if (shifts.ports.isEmpty())
        return QStringLiteral("no cradles to record");
    std::mt19937_64 random(seed ^ 0x5EC0DD5ull);
    const int cradles = int(shifts.ports.size());
    const int shiftCount = (lines + UnitsPerShift - 1) / UnitsPerShift;
    // Two shifts a day, going back from yesterday.
    const QDateTime firstShift =
        QDateTime(QDate::currentDate().addDays(-(shiftCount + 1) / 2 - 1), QTime(6, 0)).toUTC();
    const QString olderFile =
        QFileInfo(shifts.updateFile).dir().filePath(QStringLiteral("RQ70-PREVIOUS.KRV"));
    const rq70::UpdateFileFacts current = rq70::UpdateFileFactsOf(shifts.updateFileBytes.toStdString());
    const rq70::UpdateFileFacts older =
        rq70::UpdateFileFactsOf(QByteArray(shifts.updateFileBytes).append("older").toStdString());

    QByteArray text;
    int unitNumber = 1;
    for (int written = 0, shift = 0; written < lines; ++shift) {
        const QDateTime shiftStart = firstShift.addSecs(qint64(shift / 2) * 86400 + (shift % 2) * 8 * 3600);
        const QString shiftId = shiftStart.toLocalTime().toString(QStringLiteral("yyyyMMdd-HHmmss-")) +
                                QStringLiteral("%1").arg(Uniform(random, 0, 0xFFFF), 4, 16, QLatin1Char('0'));
        // The newer file came in half way.
        const bool newer = shift >= shiftCount / 2;
        rq70::RunContext context;
        context.program = QStringLiteral("rq70-flash");
        context.version = QStringLiteral(RQ70_VERSION);
        context.station = shifts.station;
        context.updateFile = newer ? shifts.updateFile : olderFile;
        context.updateFileFacts = newer ? current : older;
        context.highestProgramWord = shifts.highestProgramWord;
        context.shift = shiftId;
        context.note = shifts.note;
        // Each unit goes to the cradle that is free first; the record has them in the order
        // their updates ended, as the station appends them.
        std::vector<QDateTime> free(std::size_t(cradles), shiftStart);
        std::vector<std::pair<QDateTime, QByteArray>> shiftLines;
        for (int unit = 0; unit < UnitsPerShift && written < lines; ++unit, ++written) {
            const auto first = std::min_element(free.begin(), free.end());
            const int slot = int(first - free.begin()) + 1;
            context.slot = slot;
            context.port = context.devicePath = shifts.ports[slot - 1];
            context.deviceNode = QStringLiteral("/dev/pts/%1").arg(Uniform(random, 3, 40));
            context.started = first->addMSecs(Uniform(random, 2000, 20000));
            rq70::UpdateResult result;
            const int roll = Uniform(random, 1, 100);
            if (roll <= 92) {
                result.outcome = rq70::UpdateResult::Succeeded;
                result.identification =
                    QStringLiteral("RQ-70 unit %1").arg(unitNumber++, 4, 10, QLatin1Char('0'));
                context.ended = context.started.addMSecs(Uniform(random, 60000, 75000));
            } else if (roll <= 98) {
                Fail(random, result, shifts.highestProgramWord);
                context.ended = context.started.addMSecs(Uniform(random, 3000, 60000));
            } else {
                result.outcome = rq70::UpdateResult::Failed;
                result.aborted = true;
                result.failedPhase = rq70::UpdatePhase::Program;
                result.reason = QStringLiteral("aborted");
                context.ended = context.started.addMSecs(Uniform(random, 3000, 60000));
            }
            *first = context.ended.addSecs(Uniform(random, 5, 2 * CradleCycleSeconds - 70));
            shiftLines.emplace_back(context.ended,
                                    QJsonDocument(rq70::ToJson(rq70::RecordOfRun(context, result)))
                                            .toJson(QJsonDocument::Compact) +
                                        '\n');
        }
        std::stable_sort(shiftLines.begin(), shiftLines.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& line : shiftLines)
            text += line.second;
    }
    QFile file(path);
    if (file.exists())
        return QStringLiteral("%1 is there already").arg(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.flush())
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return {};
}

} // namespace boardbench
