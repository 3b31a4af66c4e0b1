#include "CommandLine.h"

#include <QCommandLineParser>

namespace rq70 {

QStringList ArgumentList(const std::string& program, const std::vector<std::string>& arguments) {
    QStringList list{QString::fromLatin1(program)};
    for (const std::string& argument : arguments)
        list.append(QString::fromLatin1(argument.data(), static_cast<qsizetype>(argument.size())));
    return list;
}

std::string ArgumentBytes(const QString& argument) {
    return argument.toLatin1().toStdString();
}

QString ParseOptions(QCommandLineParser& parser, const QStringList& arguments) {
    if (parser.parse(arguments))
        return {};
    // The library names unknown options without their dashes; a one-letter name came from a
    // single dash ("-x", or one letter of "-xyz").
    if (const QStringList unknown = parser.unknownOptionNames(); !unknown.isEmpty()) {
        const QString& name = unknown.first();
        const QLatin1String dashes(name.size() == 1 ? "-" : "--");
        return QStringLiteral("unknown option '%1%2'").arg(dashes, name);
    }
    // "Missing value after '--baud'." and its kin, in the style of the programs' other messages.
    QString reason = parser.errorText();
    if (reason.endsWith(QLatin1Char('.')))
        reason.chop(1);
    if (!reason.isEmpty())
        reason[0] = reason[0].toLower();
    return reason;
}

QString HelpText(const QCommandLineParser& parser, const QString& program) {
    QString help = parser.helpText();
    const QString usage = QStringLiteral("Usage: ");
    const qsizetype end = help.indexOf(QLatin1String(" [options]"));
    if (help.startsWith(usage) && end > 0)
        help.replace(usage.size(), end - usage.size(), program);
    return help;
}

} // namespace rq70
