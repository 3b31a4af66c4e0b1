#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace rq70::flash {

// A station's options as a file holds them, for a station that a service manager starts
// (`station --config FILE`): one `key = value` a line, each key named as its option. Every field is
// unset when the file does not name it, so that the command line can win over the file one option
// at a time.
struct StationConfig {
    // "" when the file was read; else what is wrong, beginning with the file's name and, for a
    // line that is wrong, its number ("station-line1.conf:4: unknown key 'colour'").
    QString problem;
    // Paths relative to the file's folder come absolute.
    std::optional<QString> file;
    std::optional<QString> record;
    std::optional<QString> httpTokenFile;
    std::optional<QString> note;
    std::optional<QString> db;
    std::optional<QString> http;
    std::optional<QString> station;
    // One line per cradle, in slot order; the only key that may be given more than once.
    QStringList ports;
    std::optional<bool> waitUnplug;
    std::optional<bool> requireRecord;
};

// Reads `path` strictly: an unknown key, a key other than port given twice, a line without "=", a
// key without a value, a yes/no key with another value, a db holding a password or a file that is
// not UTF-8 text is refused, naming the file and the line.
StationConfig ReadStationConfig(const QString& path);

} // namespace rq70::flash
