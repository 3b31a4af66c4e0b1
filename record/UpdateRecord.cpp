// The update record's line: what one update did, as both programs write it.

#include "record/UpdateRecord.h"

#include <QCryptographicHash>
#include <QJsonValue>
#include <QRandomGenerator>
#include <QSysInfo>

#include <array>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace rq70 {

namespace {

QJsonValue TextOrNull(const QString& text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonValue TimeOrNull(const QDateTime& time) {
    return time.isValid() ? QJsonValue(time.toUTC().toString(Qt::ISODateWithMs))
                          : QJsonValue(QJsonValue::Null);
}

// The login name: the environment first, as the user's shell tells it, then the password
// database for sessions that have no such variables (services, some containers).
QString CurrentUser() {
    for (const char* name : {"USER", "LOGNAME"}) {
        const QString value = qEnvironmentVariable(name);
        if (!value.isEmpty())
            return value;
    }
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return {};
}

} // namespace

QString NewRecordId() {
    std::array<quint32, 4> bits{};
    QRandomGenerator::system()->fillRange(bits.data(), qsizetype(bits.size()));
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bits.data()), qsizetype(sizeof bits)).toHex());
}

QJsonObject ToJson(const UpdateRecord& record) {
    const bool timed = record.started.isValid() && record.ended.isValid();
    const QString host = record.host.isEmpty() ? QSysInfo::machineHostName() : record.host;
    return QJsonObject{
        {"id", TextOrNull(record.id)},
        {"start", TimeOrNull(record.started)},
        {"end", TimeOrNull(record.ended)},
        {"duration_s",
         timed ? QJsonValue(record.started.msecsTo(record.ended) / 1000.0) : QJsonValue(QJsonValue::Null)},
        {"host", TextOrNull(host)},
        {"station", TextOrNull(record.station.isEmpty() ? host : record.station)},
        {"user", TextOrNull(record.user.isEmpty() ? CurrentUser() : record.user)},
        {"program", record.program},
        {"version", record.version},
        {"port", record.port},
        {"device_path", record.devicePath},
        {"device_node", TextOrNull(record.deviceNode)},
        {"usb_serial", TextOrNull(record.usbSerial)},
        {"update_file", record.updateFile},
        {"update_file_size",
         record.updateFileSize < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(record.updateFileSize)},
        {"update_file_sha256", TextOrNull(record.updateFileSha256)},
        {"highest_program_word", record.highestProgramWord},
        {"identification", TextOrNull(record.identification)},
        {"verdict", record.verdict},
        {"failed_phase", TextOrNull(record.failedPhase)},
        {"failed_word", record.failedWord < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(record.failedWord)},
        {"reason", TextOrNull(record.reason)},
        {"shift", TextOrNull(record.shift)},
        {"slot", record.slot > 0 ? QJsonValue(record.slot) : QJsonValue(QJsonValue::Null)},
        {"note", TextOrNull(record.note)},
    };
}

UpdateFileFacts UpdateFileFactsOf(std::string_view bytes) {
    const QByteArrayView view(bytes.data(), static_cast<qsizetype>(bytes.size()));
    return {view.size(),
            QString::fromLatin1(QCryptographicHash::hash(view, QCryptographicHash::Sha256).toHex())};
}

} // namespace rq70
