// The station's config file. Read here rather than through QSettings: a station that ignores a
// misspelt key, or keeps the second of two notes, runs a shift with options nobody chose, so every
// line must be accounted for and a mistake named by its line; and a note or a connection string
// must come through as written (QSettings would split it at commas and take ; and \ as its own).

#include "flash/StationConfig.h"

#include "record/PgConnection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringDecoder>

namespace rq70::flash {

namespace {

struct TextKey {
    const char* name;
    std::optional<QString> StationConfig::*field;
    bool isPath;
};

constexpr TextKey TextKeys[] = {
    {"file", &StationConfig::file, true},
    {"record", &StationConfig::record, true},
    {"http-token-file", &StationConfig::httpTokenFile, true},
    {"note", &StationConfig::note, false},
    {"db", &StationConfig::db, false},
    {"http", &StationConfig::http, false},
    {"station", &StationConfig::station, false},
};

struct FlagKey {
    const char* name;
    std::optional<bool> StationConfig::*field;
};

constexpr FlagKey FlagKeys[] = {
    {"wait-unplug", &StationConfig::waitUnplug},
    {"require-record", &StationConfig::requireRecord},
};

QString KnownKeys() {
    QStringList names{QStringLiteral("port")};
    for (const TextKey& key : TextKeys)
        names << QLatin1String(key.name);
    for (const FlagKey& key : FlagKeys)
        names << QLatin1String(key.name);
    return names.join(QLatin1String(", "));
}

// "" when the line `key = value` was taken into `config`, else what is wrong with it.
QString TakeLine(const QString& key, const QString& value, const QDir& folder, StationConfig& config) {
    if (value.isEmpty())
        return QStringLiteral("'%1' takes a value").arg(key);
    if (key == QLatin1String("port")) {
        config.ports << value;
        return {};
    }
    for (const TextKey& known : TextKeys) {
        if (key != QLatin1String(known.name))
            continue;
        if (key == QLatin1String("db")) {
            if (const QString problem = ConninfoProblem(value); !problem.isEmpty())
                return QStringLiteral("db: %1").arg(problem);
        }
        config.*known.field = known.isPath ? QDir::cleanPath(folder.absoluteFilePath(value)) : value;
        return {};
    }
    for (const FlagKey& known : FlagKeys) {
        if (key != QLatin1String(known.name))
            continue;
        if (value != QLatin1String("yes") && value != QLatin1String("no"))
            return QStringLiteral("'%1' takes yes or no, not '%2'").arg(key, value);
        config.*known.field = value == QLatin1String("yes");
        return {};
    }
    return QStringLiteral("unknown key '%1' (the keys are %2)").arg(key, KnownKeys());
}

} // namespace

StationConfig ReadStationConfig(const QString& path) {
    StationConfig config;
    QFile file(path);
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
        config.problem =
            QStringLiteral("%1: cannot be read: %2")
                .arg(path, QFileInfo(path).isDir() ? QStringLiteral("a folder") : file.errorString());
        return config;
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(file.readAll());
    if (file.error() != QFileDevice::NoError) {
        config.problem = QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString());
        return config;
    }
    if (utf8.hasError()) {
        config.problem = QStringLiteral("%1: not UTF-8 text").arg(path);
        return config;
    }
    const QDir folder = QFileInfo(path).absoluteDir();
    // Keys that go once: the line each was given on.
    QHash<QString, int> given;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int number = int(i) + 1;
        const QString line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        const QString key = line.left(equals).trimmed();
        QString problem;
        if (equals < 0 || key.isEmpty())
            problem = QStringLiteral("not a 'key = value' line: %1").arg(line);
        else if (key != QLatin1String("port") && given.contains(key))
            problem = QStringLiteral("'%1' is given twice (first on line %2); only port may be given "
                                     "more than once, once per cradle")
                          .arg(key, QString::number(given.value(key)));
        else
            problem = TakeLine(key, line.mid(equals + 1).trimmed(), folder, config);
        if (!problem.isEmpty()) {
            config = StationConfig();
            config.problem = QStringLiteral("%1:%2: %3").arg(path, QString::number(number), problem);
            return config;
        }
        given.insert(key, number);
    }
    return config;
}

} // namespace rq70::flash
