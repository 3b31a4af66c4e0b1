#pragma once

#include <QJsonObject>
#include <QString>

namespace rq70::flash {

// rq70-flash's own lines: results on stdout, one line each (flushed, so a script reading a pipe sees
// them at once), and problems on stderr after the program's name. Say and Complain pass their text
// through the terminal sanitizer, so a device's identification, a USB adapter's name or a file name
// cannot steer the user's terminal; SayJson keeps every text as it is, escaped by JSON.
void Say(const QString& text);
void SayJson(const QJsonObject& object);
void Complain(const QString& text);

} // namespace rq70::flash
