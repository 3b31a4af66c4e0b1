#include "record/ShipCursor.h"

#include "common/AtomicWrite.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace rq70 {

QString ShipCursorPath(const QString& recordPath) {
    return recordPath + QStringLiteral(".shipped");
}

QString SetAsidePath(const QString& recordPath) {
    return recordPath + QStringLiteral(".rejected");
}

ShipCursor LoadShipCursor(const QString& recordPath, const QString& database) {
    ShipCursor cursor{ShipCursorPath(recordPath), database, 0, 0, {}};
    QFile file(cursor.path);
    if (!file.open(QIODevice::ReadOnly))
        return cursor;
    const QJsonObject saved = QJsonDocument::fromJson(file.read(64 * 1024)).object();
    const qint64 offset = saved.value(QLatin1String("offset")).toInteger(-1);
    if (saved.value(QLatin1String("database")).toString() == database && offset > 0) {
        cursor.offset = offset;
        cursor.lastLineLength = saved.value(QLatin1String("last_line_length")).toInteger();
        cursor.lastLineSha256 = saved.value(QLatin1String("last_line_sha256")).toString().toLatin1();
    }
    return cursor;
}

QString SaveShipCursor(const ShipCursor& cursor) {
    const QByteArray bytes =
        QJsonDocument(QJsonObject{{"offset", cursor.offset},
                                  {"database", cursor.database},
                                  {"last_line_length", cursor.lastLineLength},
                                  {"last_line_sha256", QString::fromLatin1(cursor.lastLineSha256)}})
            .toJson(QJsonDocument::Compact) +
        '\n';
    const std::string error =
        WriteFileAtomically(QFile::encodeName(cursor.path).toStdString(), bytes.toStdString());
    return error.empty()
               ? QString()
               : QStringLiteral("cannot write %1: %2").arg(cursor.path, QString::fromStdString(error));
}

} // namespace rq70
