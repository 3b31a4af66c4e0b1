// The update record as CSV, for the spreadsheets that production reports are made in.

#include "record/RecordCsv.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

namespace rq70 {

namespace {

constexpr const char* Columns[] = {"id",
                                   "station",
                                   "shift",
                                   "slot",
                                   "start",
                                   "end",
                                   "duration_s",
                                   "port",
                                   "device_path",
                                   "usb_serial",
                                   "identification",
                                   "verdict",
                                   "failed_phase",
                                   "failed_word",
                                   "reason",
                                   "update_file",
                                   "update_file_size",
                                   "update_file_sha256",
                                   "note",
                                   "host",
                                   "user",
                                   "program",
                                   "version"};

// Spreadsheets run a cell that begins with one of these as a formula, also when it was imported
// from CSV.
bool StartsLikeAFormula(const QString& text) {
    static const QString starts = QStringLiteral("=+-@\t\r");
    return !text.isEmpty() && starts.contains(text.front());
}

QString TextOf(const QJsonValue& value) {
    if (value.isNull() || value.isUndefined())
        return {};
    if (value.isString()) {
        const QString text = value.toString();
        return StartsLikeAFormula(text) ? QStringLiteral("'") + text : text;
    }
    // A number (or what a hand-edited line may hold) exactly as JSON writes it.
    const QByteArray json = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

QString Cell(const QString& text) {
    static const QString special = QStringLiteral("\",\r\n");
    for (const QChar c : text) {
        if (special.contains(c))
            return QStringLiteral("\"") + QString(text).replace(u'"', QStringLiteral("\"\"")) + u'"';
    }
    return text;
}

} // namespace

QString RecordsCsv(const QList<QJsonObject>& records) {
    QStringList header;
    for (const char* column : Columns)
        header << QString::fromLatin1(column);
    QString csv = header.join(u',') + QStringLiteral("\r\n");
    for (const QJsonObject& record : records) {
        QStringList row;
        for (const char* column : Columns)
            row << Cell(TextOf(record.value(QLatin1String(column))));
        csv += row.join(u',') + QStringLiteral("\r\n");
    }
    return csv;
}

} // namespace rq70
