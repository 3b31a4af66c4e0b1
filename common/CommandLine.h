#pragma once

#include <QStringList>

#include <string>
#include <vector>

class QCommandLineParser;

namespace rq70 {

// The command line as QCommandLineParser takes it, `program` first. Every byte becomes the
// character of the same code (Latin-1), so file names and texts in any encoding come back byte for
// byte through ArgumentBytes; option names are ASCII and match either way.
QStringList ArgumentList(const std::string& program, const std::vector<std::string>& arguments);
std::string ArgumentBytes(const QString& argument);

// Runs `parser` over `arguments` (program name first). Empty when the library finds nothing
// wrong, otherwise one line without the program name: the first unknown option as it was typed
// ("unknown option '--colour'"), or the library's own reason. --help and --version are still
// set after a failure, so a caller can let them win.
QString ParseOptions(QCommandLineParser& parser, const QStringList& arguments);

// The parser's help with `program` in its usage line: the library puts there the path the program
// was started by, which can be any length.
QString HelpText(const QCommandLineParser& parser, const QString& program);

} // namespace rq70
