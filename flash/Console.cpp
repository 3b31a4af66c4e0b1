#include "flash/Console.h"

#include "common/TerminalText.h"

#include <QJsonDocument>

#include <cstdio>

namespace rq70::flash {

namespace {

void SayLine(const QByteArray& line) {
    std::fprintf(stdout, "%s\n", line.constData());
    std::fflush(stdout);
}

} // namespace

void Say(const QString& text) {
    SayLine(TerminalSafe(text).toUtf8());
}

void Complain(const QString& text) {
    std::fprintf(stderr, "rq70-flash: %s\n", TerminalSafe(text).toUtf8().constData());
}

void SayJson(const QJsonObject& object) {
    SayLine(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace rq70::flash
