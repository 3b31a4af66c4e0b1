// krv: the firmware engineer's tool for RQ-70 update files (.KRV). It turns the Intel HEX file a
// toolchain writes into an update file and back, and shows what the updater would load from one.

#include "KrvCommands.h"

#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr const char* Usage = R"(usage: krv pack IN.hex OUT.KRV
       krv unpack IN.KRV OUT.hex
       krv dump [--json] FILE.KRV
       krv help

  pack     scramble an Intel HEX file into an update file; every line end becomes CR LF
  unpack   descramble an update file back into its Intel HEX text, byte for byte
  dump     load an update file as the updater does and print the program words, the
           EEPROM bytes and the messages the updater would show; --json prints one JSON
           object with highest_program_word, program, eeprom and messages

Exit status: 0 on success, 1 when a file cannot be read or written, 2 for wrong arguments.
)";

int UsageError(const std::string& problem) {
    std::cerr << "krv: " << problem << '\n' << Usage;
    return krv::ExitUsageError;
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
    if (command == "pack" || command == "unpack") {
        if (args.size() != 3)
            return UsageError(command + " needs an input and an output file");
        return command == "pack" ? krv::Pack(args[1], args[2], std::cerr)
                                 : krv::Unpack(args[1], args[2], std::cerr);
    }
    if (command == "dump") {
        bool asJson = false;
        std::vector<std::string> files;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--json")
                asJson = true;
            else if (args[i].starts_with('-'))
                return UsageError("unknown option '" + args[i] + "'");
            else
                files.push_back(args[i]);
        }
        if (files.size() != 1)
            return UsageError("dump needs exactly one file");
        return krv::Dump(files[0], asJson, std::cout, std::cerr);
    }
    return UsageError("unknown command '" + command + "'");
}
