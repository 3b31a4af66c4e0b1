// The filters of history: which record lines to show, and the times they are given as.

#include "record/RecordFilter.h"

#include <QJsonValue>
#include <QRegularExpression>

namespace rq70 {

namespace {

// The moment a line stands for: its end, or its start where it has none.
QDateTime TimeOfLine(const QJsonObject& line) {
    for (const char* key : {"end", "start"}) {
        const QJsonValue value = line.value(QLatin1String(key));
        if (value.isString())
            return QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    }
    return {};
}

bool HoldsText(const QJsonObject& line, const QString& text) {
    for (const char* key : {"identification", "port", "verdict", "station"}) {
        if (line.value(QLatin1String(key)).toString().contains(text, Qt::CaseInsensitive))
            return true;
    }
    return UpdateFileName(line.value("update_file").toString()).contains(text, Qt::CaseInsensitive);
}

bool Equals(const QJsonObject& line, const char* key, const QString& wanted) {
    const QJsonValue value = line.value(QLatin1String(key));
    return value.isString() && value.toString() == wanted;
}

} // namespace

QString UpdateFileName(const QString& path) {
    return path.mid(qMax(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\')) + 1);
}

bool RecordFilter::Matches(const QJsonObject& line) const {
    if (!shift.isEmpty() && !Equals(line, "shift", shift))
        return false;
    if (!station.isEmpty() && !Equals(line, "station", station))
        return false;
    if (!verdict.isEmpty() && !Equals(line, "verdict", verdict))
        return false;
    if (!identification.isEmpty() && !line.value("identification").toString().contains(identification))
        return false;
    if (!fileSha256.isEmpty()) {
        const QJsonValue sha256 = line.value("update_file_sha256");
        if (!sha256.isString() || sha256.toString().compare(fileSha256, Qt::CaseInsensitive) != 0)
            return false;
    }
    if (!text.isEmpty() && !HoldsText(line, text))
        return false;
    if (since.isValid() || until.isValid()) {
        const QDateTime time = TimeOfLine(line);
        if (!time.isValid() || (since.isValid() && time < since) || (until.isValid() && time > until))
            return false;
    }
    return true;
}

QString ParseFilterTime(const QString& text, bool until, QDateTime& out) {
    static const QRegularExpression pattern(QStringLiteral(
        R"(^(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2})(?:\.(\d{1,3}))?)?(Z|[+-]\d{2}:?\d{2})?)?$)"));
    const QString wrong =
        QStringLiteral("'%1' is not a time: give 2026-12-08, 2026-12-08T14:30 or 2026-12-08 14:30:05, "
                       "in local time or with a zone (Z, +01:00)")
            .arg(text);
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch())
        return wrong;
    const QDate date(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
    if (!date.isValid())
        return wrong;

    QTime time = until ? QTime(23, 59, 59, 999) : QTime(0, 0);
    if (match.hasCaptured(4)) {
        // "5" milliseconds are 500: the digits are a decimal fraction of the second.
        const int milliseconds = match.captured(7).leftJustified(3, u'0').toInt();
        time = QTime(match.captured(4).toInt(), match.captured(5).toInt(), match.captured(6).toInt(),
                     milliseconds);
        if (!time.isValid())
            return wrong;
    }

    const QString zone = match.captured(8);
    if (zone.isEmpty()) {
        out = QDateTime(date, time);
        // The hour skipped when the clocks go forward.
        if (!out.isValid())
            return QStringLiteral("'%1' is no time of the local day: the clocks skip it").arg(text);
        return {};
    }
    if (zone == QLatin1String("Z")) {
        out = QDateTime(date, time, Qt::UTC);
    } else {
        const QString digits = QString(zone).remove(u':');
        const int hours = digits.mid(1, 2).toInt();
        const int minutes = digits.mid(3, 2).toInt();
        if (hours > 23 || minutes > 59)
            return wrong;
        const int seconds = (hours * 3600 + minutes * 60) * (zone.startsWith(u'-') ? -1 : 1);
        out = QDateTime(date, time, Qt::OffsetFromUTC, seconds);
    }
    return out.isValid() ? QString() : wrong;
}

} // namespace rq70
