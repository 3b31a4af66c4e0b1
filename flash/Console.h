#pragma once

#include <QJsonObject>
#include <QString>

namespace rq70::flash {

// rq70-flash's own lines: results on stdout, one line each (flushed, so a script reading a pipe sees
// them at once), and problems on stderr after the program's name.
void Say(const QString& text);
void SayJson(const QJsonObject& object);
void Complain(const QString& text);

} // namespace rq70::flash
