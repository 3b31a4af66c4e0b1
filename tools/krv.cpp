// krv: the firmware engineer's tool for RQ-70 update files (.KRV). It turns the Intel HEX file a
// toolchain writes into an update file and back, and shows what the updater would load from one.

#include "KrvCommands.h"

#include "common/CommandLine.h"
#include "common/TerminalText.h"

#include <QCommandLineParser>

#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr const char* Usage = R"(Usage: krv pack [--force] IN.hex OUT.KRV
  or:  krv unpack IN.KRV OUT.hex
  or:  krv dump [--json] FILE.KRV
  or:  krv help | --help | --version

  pack     scramble an Intel HEX file into an update file; every line end
           becomes CR LF. A file without a data record (a line ':LLAAAA00...')
           is refused, as the updater would write nothing from it; --force
           packs it anyway. Records with a wrong checksum, which the updater
           never checks, are listed as warnings
  unpack   descramble an update file back into its Intel HEX text, byte for
           byte
  dump     load an update file as the updater does and print the program
           words, the EEPROM bytes and the messages the updater would show;
           --json prints one JSON object with highest_program_word, program,
           eeprom and messages

Exit status: 0 on success, 1 when a file cannot be read or written or pack
refuses its input, 2 for wrong arguments.
)";

// The problem may quote an option or a command as it was typed.
int UsageError(const std::string& problem) {
    std::cerr << "krv: " << rq70::TerminalSafeUtf8(problem) << '\n' << Usage;
    return krv::ExitUsageError;
}

} // namespace

int main(int argc, char* argv[]) {
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, {});
    const QCommandLineOption version(QStringLiteral("version"), {});
    const QCommandLineOption force(QStringLiteral("force"), {});
    const QCommandLineOption json(QStringLiteral("json"), {});
    parser.addOptions({help, version, force, json});
    const QString problem = rq70::ParseOptions(
        parser, rq70::ArgumentList("krv", std::vector<std::string>(argv + 1, argv + argc)));
    if (parser.isSet(help)) {
        std::cout << Usage;
        return krv::ExitSuccess;
    }
    if (parser.isSet(version)) {
        std::cout << "krv " RQ70_VERSION "\n";
        return krv::ExitSuccess;
    }
    if (!problem.isEmpty())
        return UsageError(rq70::ArgumentBytes(problem));

    std::vector<std::string> args;
    for (const QString& argument : parser.positionalArguments())
        args.push_back(rq70::ArgumentBytes(argument));
    if (args.empty())
        return UsageError("no command given");
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "help") {
        std::cout << Usage;
        return krv::ExitSuccess;
    }
    if (command != "pack" && command != "unpack" && command != "dump")
        return UsageError("unknown command '" + command + "'");
    if (parser.isSet(force) && command != "pack")
        return UsageError("--force goes with pack");
    if (parser.isSet(json) && command != "dump")
        return UsageError("--json goes with dump");

    if (command == "pack") {
        if (args.size() != 2)
            return UsageError("pack needs an input and an output file");
        return krv::Pack(args[0], args[1], parser.isSet(force), std::cerr);
    }
    if (command == "unpack") {
        if (args.size() != 2)
            return UsageError("unpack needs an input and an output file");
        return krv::Unpack(args[0], args[1], std::cerr);
    }
    if (args.size() != 1)
        return UsageError("dump needs exactly one file");
    return krv::Dump(args[0], parser.isSet(json), std::cout, std::cerr);
}
