// krv: the firmware engineer's tool for RQ-70 update files (.KRV). It turns the Intel HEX file a
// toolchain writes into an update file and back, and shows what the updater would load from one.

#include "KrvCommands.h"

#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr const char* Usage = R"(usage: krv pack [--force] IN.hex OUT.KRV
       krv unpack IN.KRV OUT.hex
       krv dump [--json] FILE.KRV
       krv help

  pack     scramble an Intel HEX file into an update file; every line end becomes CR LF.
           A file without a data record (a line ':LLAAAA00...') is refused, as the updater
           would write nothing from it; --force packs it anyway. Records with a wrong
           checksum, which the updater never checks, are listed as warnings
  unpack   descramble an update file back into its Intel HEX text, byte for byte
  dump     load an update file as the updater does and print the program words, the
           EEPROM bytes and the messages the updater would show; --json prints one JSON
           object with highest_program_word, program, eeprom and messages

Exit status: 0 on success, 1 when a file cannot be read or written or pack refuses its input,
2 for wrong arguments.
)";

int UsageError(const std::string& problem) {
    std::cerr << "krv: " << problem << '\n' << Usage;
    return krv::ExitUsageError;
}

// A command's file names and whether its one option was given anywhere among them, or what is
// wrong with its arguments.
struct Arguments {
    std::vector<std::string> files;
    bool optionGiven = false;
    std::string problem;
};

Arguments SplitArguments(const std::vector<std::string>& args, const std::string& option,
                         std::size_t fileCount, const std::string& wrongFileCount) {
    Arguments split;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == option)
            split.optionGiven = true;
        else if (!args[i].starts_with('-'))
            split.files.push_back(args[i]);
        else if (split.problem.empty())
            split.problem = "unknown option '" + args[i] + "'";
    }
    if (split.problem.empty() && split.files.size() != fileCount)
        split.problem = wrongFileCount;
    return split;
}

} // namespace

int main(int argc, char* argv[]) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return UsageError("no command given");

    const std::string& command = args[0];
    if (command == "help" || command == "--help" || command == "-h") {
        std::cout << Usage;
        return krv::ExitSuccess;
    }
    if (command == "pack") {
        const Arguments split = SplitArguments(args, "--force", 2, "pack needs an input and an output file");
        if (!split.problem.empty())
            return UsageError(split.problem);
        return krv::Pack(split.files[0], split.files[1], split.optionGiven, std::cerr);
    }
    if (command == "unpack") {
        if (args.size() != 3)
            return UsageError("unpack needs an input and an output file");
        return krv::Unpack(args[1], args[2], std::cerr);
    }
    if (command == "dump") {
        const Arguments split = SplitArguments(args, "--json", 1, "dump needs exactly one file");
        if (!split.problem.empty())
            return UsageError(split.problem);
        return krv::Dump(split.files[0], split.optionGiven, std::cout, std::cerr);
    }
    return UsageError("unknown command '" + command + "'");
}
