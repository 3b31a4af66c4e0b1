#include "flash/Console.h"

#include <QJsonDocument>

#include <cstdio>

namespace rq70::flash {

void Say(const QString& text) {
    std::fprintf(stdout, "%s\n", qPrintable(text));
    std::fflush(stdout);
}

void Complain(const QString& text) {
    std::fprintf(stderr, "rq70-flash: %s\n", qPrintable(text));
}

void SayJson(const QJsonObject& object) {
    Say(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

} // namespace rq70::flash
