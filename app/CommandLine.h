#pragma once

#include <QString>
#include <QStringList>

namespace rq70 {

// What the updater's command line asks for. The windows themselves take no options: the command
// line only answers --help and --version, and may name the update file to load.
struct CommandLine {
    enum Action { Run, ShowHelp, ShowVersion, WrongArguments };
    Action action = Run;
    // Run: the update file named on the command line, as given; empty when none was named.
    QString updateFile;
    // ShowHelp, ShowVersion: the text for standard output; WrongArguments: the problem.
    QString text;
};

// The exit status for wrong arguments, as every program of the updater uses it.
inline constexpr int ExitWrongArguments = 2;

// Parses the arguments (the first is the program itself). Needs no application object and no
// display, so --help and --version work where no window can open.
CommandLine ParseCommandLine(const QStringList& arguments, const QString& version);

} // namespace rq70
