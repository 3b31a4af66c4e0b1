#include "Options.h"

#include "OptionValues.h"

#include "common/CommandLine.h"

#include <QCommandLineParser>

#include <functional>
#include <type_traits>
#include <vector>

namespace devsim {

namespace {

constexpr std::string_view Usage = R"(Usage: rq70-devsim --port-dir DIR --port COMn [options] [fault options]
   or: rq70-devsim --tty PATH [options] [fault options]

Simulates the RQ-70 boot loader on a pseudo-terminal. The pty's path is printed
on stdout once DIR/COMn links to it. The simulator serves until SIGTERM, SIGINT
or SIGHUP, then removes the link and writes the dump. After the finish command
it goes on serving unless told otherwise. With --tty it serves an existing tty
instead (put in raw mode), and prints its path. Numbers are decimal or
0x-prefixed hex; every option also takes its value as --option=VALUE.

)";

constexpr std::string_view AfterOptions =
    R"(Signals: SIGUSR1 pulls the adapter, SIGUSR2 plugs it back in; each new pty's
path is printed.

Exit status: 0 after a signal, a finish with --exit-after-finish or a hang-up;
1 when the pty, the link, the log or the dump fails; 2 for wrong arguments.
)";

// Stores an option's value (empty for a switch) in `options`; false, with `error` set, for a bad
// one. `option` is the name as --help shows it, for the messages.
using Store = std::function<bool(std::string_view option, std::string_view value, Options& options,
                                 std::string& error)>;

// The field a store writes, in the options or in their fault plan.
template <typename Owner, typename T> T& Field(Options& options, T Owner::*field) {
    if constexpr (std::is_same_v<Owner, FaultPlan>)
        return options.faults.*field;
    else
        return options.*field;
}

template <typename Owner> Store Flag(bool Owner::*field) {
    return [field](std::string_view, std::string_view, Options& options, std::string&) {
        return Field(options, field) = true;
    };
}

template <typename Owner> Store Text(std::string Owner::*field, std::string_view need) {
    return
        [field, need](std::string_view option, std::string_view value, Options& options, std::string& error) {
            if (value.empty()) {
                error = std::string(option) + " needs " + std::string(need);
                return false;
            }
            Field(options, field) = value;
            return true;
        };
}

// A whole number from `low` to `high`, into an int or an optional one.
template <typename Owner, typename T> Store Number(T Owner::*field, long long low, long long high) {
    return [field, low, high](std::string_view option, std::string_view value, Options& options,
                              std::string& error) {
        const std::optional<int> number = ParseBounded(value, low, high, option, error);
        if (number)
            Field(options, field) = *number;
        return number.has_value();
    };
}

// One option: its name without the dashes, the name of its value (none for a switch), its lines
// in --help, whether --help lists it among the faults, and how it is stored (nothing for --help
// and --version, which the caller answers). A new option is one entry here.
struct OptionEntry {
    std::string_view name;
    std::string_view valueName;
    std::string_view help;
    bool fault;
    Store store;
};

const std::vector<OptionEntry>& OptionTable() {
    using V = std::string_view;
    using E = std::string&;
    static const std::vector<OptionEntry> table = {
        {"port-dir", "DIR", "folder for the link to the pty (required)", false,
         Text(&Options::portDir, "a folder")},
        {"port", "COMn", "name of the link, COM1 to COM256 (required); a stale link is replaced", false,
         [](V, V value, Options& options, E error) {
             if (!IsValidPortName(value)) {
                 error = "bad port name '" + std::string(value) + "': give COM1 to COM256";
                 return false;
             }
             options.port = value;
             return true;
         }},
        {"tty", "PATH",
         "serve this existing tty, in raw mode, instead of a pty of its own\n"
         "(the device's end of a real line); no --port-dir or --port then",
         false, Text(&Options::ttyPath, "a tty")},
        {"id", "TEXT",
         "identification text at data bytes 208..255, at most 48 bytes\n"
         "(default \"RQ-70 Boot 1.0\"); \\xNN is the byte NN, \\\\ a backslash,\n"
         "other bytes are taken as they are",
         false,
         [](V, V value, Options& options, E error) {
             const std::optional<std::string> text = DecodeIdText(value, error);
             if (text)
                 options.idText = *text;
             return text.has_value();
         }},
        {"dump", "FILE",
         "at the end write a JSON object: program (non-erased words as\n"
         "[address, low, high]), eeprom (256 numbers), finish_seen, commands",
         false, Text(&Options::dumpPath, "a file name")},
        {"log", "FILE",
         "one line per byte, in order: <microseconds since start> <in|out> <hex>;\n"
         "in = taken in by the device, out = written to the pty",
         false, Text(&Options::logPath, "a file name")},
        {"memory", "FILE",
         "the device's memory (program words and EEPROM): read from FILE at\n"
         "start if it exists, written back at the end, so a run after a\n"
         "power cycle finds what the last one left",
         false, Text(&Options::memoryPath, "a file name")},
        {"exit-after-finish", "", "end after the finish command (0xA8) has arrived", false,
         Flag(&Options::exitAfterFinish)},
        {"quiet-after-finish", "MS",
         "after the finish command answer nothing for MS milliseconds (bytes\n"
         "are still taken in), as a device that starts its own program",
         false, Number(&Options::quietAfterFinishMs, 0, 86'400'000)},
        {"baud", "N", "pace the line: every byte takes 10/N s each way (0: instant, default)", false,
         Number(&Options::baud, 0, 4'000'000)},
        {"adapter-latency", "MS",
         "put a USB serial adapter between the line and the host: reply bytes\n"
         "that have crossed the line are held until MS milliseconds after the\n"
         "first of them arrived, or until 62 are waiting, then all go to the\n"
         "host together; host bytes pass at once (0: no adapter, default).\n"
         "Common adapters hold 16 ms, or 1 ms once set to low latency",
         false, Number(&Options::adapterLatencyMs, 0, 60'000)},
        {"help", "", "show this text", false, nullptr},
        {"version", "", "print the program's name and version", false, nullptr},

        {"silent", "", "never answer anything (commands are still taken in and counted)", true,
         Flag(&FaultPlan::silent)},
        {"nak", "CMD[@ADDR]",
         "answer CMD (probe, read, erase, write, eeprom) with a wrong\n"
         "acknowledge and wait for the next command; with @ADDR only the\n"
         "command whose parameters would name ADDR (for erase its row, for\n"
         "write its 4-word block). As the acknowledge precedes the address,\n"
         "the address is predicted: the first erase names 256, write 256,\n"
         "eeprom 0, read 208; each later one the previous one's address plus\n"
         "32, 4, 1, 1; a probe starts the walk again. Repeatable for\n"
         "different commands",
         true,
         [](V, V value, Options& options, E error) { return ParseRefusal(value, options.faults, error); }},
        {"nak-byte", "BYTE", "the wrong acknowledge (default 0xA1; not 0xA0)", true,
         [](V option, V value, Options& options, E error) {
             const std::optional<int> byte = ParseBounded(value, 0, 255, option, error);
             if (!byte)
                 return false;
             if (*byte == Ack) {
                 error = "--nak-byte 0xA0 is the right acknowledge, not a wrong one";
                 return false;
             }
             options.faults.wrongAck = static_cast<std::uint8_t>(*byte);
             return true;
         }},
        {"ignore-probes", "N", "leave the first N probes unanswered", true,
         Number(&FaultPlan::ignoredProbes, 0, 1'000'000'000)},
        {"corrupt-echo", "WORD[:low|:high]",
         "flip bit 0 of the low (default) or high byte in every echo of\n"
         "program word WORD; the word is stored as received",
         true,
         [](V, V value, Options& options, E error) {
             return ParseCorruptEcho(value, options.faults, error);
         }},
        {"drop-echo", "WORD[:INDEX]",
         "leave byte INDEX (0..7, default 7) out of every echo of the write\n"
         "block holding WORD (normally the block's first word)",
         true,
         [](V, V value, Options& options, E error) { return ParseDropEcho(value, options.faults, error); }},
        {"delay", "MS", "hold every reply byte MS milliseconds before it goes out", true,
         Number(&FaultPlan::replyDelayMs, 0, 60'000)},
        {"hangup-after-erases", "N", "close the pty once the Nth erase row has been answered and read", true,
         Number(&FaultPlan::hangUpAfterErases, 1, 1'000'000'000)},
        {"hangup-after-writes", "N", "close the pty once the Nth write block has been echoed and read", true,
         Number(&FaultPlan::hangUpAfterWrites, 1, 1'000'000'000)},
        {"hangup-after-eeprom", "N",
         "close the pty once the Nth EEPROM byte has been answered and read\n"
         "(the host gets up to 2 s to read the last answer); the simulator\n"
         "then ends as if terminated",
         true, Number(&FaultPlan::hangUpAfterEepromBytes, 1, 1'000'000'000)},
        {"vanish-after", "CMD:N",
         "pull the adapter as the Nth CMD (probe, read, erase, write, eeprom)\n"
         "comes in: the link and the pty go away, the device keeps its memory\n"
         "and its state (a command's parameters are still awaited)",
         true,
         [](V, V value, Options& options, E error) { return ParseVanish(value, options.faults, error); }},
        {"break-contact", "CMD:N:MS",
         "break the contact between cradle and unit for MS milliseconds right\n"
         "after the answer to the Nth CMD (probe, read, erase, write, eeprom):\n"
         "nothing crosses either way, the line stays, and the device keeps\n"
         "waiting for what it was waiting for. Repeatable",
         true,
         [](V, V value, Options& options, E error) {
             return ParseContactBreak(value, options.faults, error);
         }},
        {"reappear-after", "MS",
         "plug the adapter back in MS milliseconds after it was pulled: a new\n"
         "pty under the same link name. Without it, only SIGUSR2 does.",
         true, Number(&Options::reappearAfterMs, 0, 3'600'000)},
    };
    return table;
}

QString Name(const OptionEntry& entry) {
    return QString::fromLatin1(entry.name.data(), static_cast<qsizetype>(entry.name.size()));
}

// "  --name VALUE" and its help beside it, filled into the column up to the 80th and below the name
// when the two would touch. The line breaks in the table only split its source lines.
std::string HelpEntry(const OptionEntry& option) {
    constexpr std::size_t Column = 28;
    constexpr std::size_t Width = 80 - Column;
    std::string text = "  --" + std::string(option.name);
    if (!option.valueName.empty())
        text += " " + std::string(option.valueName);
    const std::string indent(Column, ' ');
    text += text.size() < Column ? std::string(Column - text.size(), ' ') : "\n" + indent;
    std::size_t filled = 0;
    std::size_t start = 0;
    while ((start = option.help.find_first_not_of(" \n", start)) != std::string_view::npos) {
        const std::size_t end = std::min(option.help.find_first_of(" \n", start), option.help.size());
        const std::string_view word = option.help.substr(start, end - start);
        if (filled > 0 && filled + 1 + word.size() > Width) {
            text += "\n" + indent;
            filled = 0;
        } else if (filled > 0) {
            text += ' ';
            ++filled;
        }
        text += word;
        filled += word.size();
        start = end;
    }
    return text + "\n";
}

} // namespace

std::optional<std::string> DecodeIdText(std::string_view text, std::string& error) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            bytes += '\\';
            ++i;
        } else if (i + 3 < text.size() && text[i + 1] == 'x' && HexDigit(text[i + 2]) >= 0 &&
                   HexDigit(text[i + 3]) >= 0) {
            bytes += static_cast<char>(HexDigit(text[i + 2]) * 16 + HexDigit(text[i + 3]));
            i += 3;
        } else {
            error = "--id: a backslash must start \\xNN (two hex digits) or \\\\";
            return std::nullopt;
        }
    }
    if (bytes.size() > static_cast<std::size_t>(IdTextMaxLength)) {
        error = "--id: the text has " + std::to_string(bytes.size()) + " bytes; at most " +
                std::to_string(IdTextMaxLength) + " fit";
        return std::nullopt;
    }
    return bytes;
}

ParsedArguments ParseArguments(const std::vector<std::string>& arguments) {
    QCommandLineParser parser;
    for (const OptionEntry& entry : OptionTable()) {
        const QStringList names =
            entry.name == "help" ? QStringList{QStringLiteral("h"), Name(entry)} : QStringList{Name(entry)};
        QCommandLineOption option(names);
        if (!entry.valueName.empty())
            option.setValueName(
                QString::fromLatin1(entry.valueName.data(), qsizetype(entry.valueName.size())));
        parser.addOption(option);
    }
    ParsedArguments result;
    const QString problem = rq70::ParseOptions(parser, rq70::ArgumentList("rq70-devsim", arguments));
    // Asking for help or the version is never wrong, whatever else the command line holds.
    result.helpRequested = parser.isSet(QStringLiteral("help"));
    result.versionRequested = parser.isSet(QStringLiteral("version"));
    if (result.helpRequested || result.versionRequested)
        return result;
    if (!problem.isEmpty()) {
        result.error = rq70::ArgumentBytes(problem);
        return result;
    }
    if (const QStringList stray = parser.positionalArguments(); !stray.isEmpty()) {
        result.error = "unknown argument '" + rq70::ArgumentBytes(stray.first()) + "'";
        return result;
    }

    Options options;
    for (const OptionEntry& entry : OptionTable()) {
        if (!entry.store || !parser.isSet(Name(entry)))
            continue;
        const QStringList values =
            entry.valueName.empty() ? QStringList{QString()} : parser.values(Name(entry));
        for (const QString& value : values) {
            if (!entry.store("--" + std::string(entry.name), rq70::ArgumentBytes(value), options,
                             result.error))
                return result;
        }
    }
    if (!options.ttyPath.empty()) {
        // A tty of someone else's cannot be pulled out and plugged back in by the simulator.
        if (!options.portDir.empty() || !options.port.empty()) {
            result.error = "--tty takes no --port-dir or --port";
            return result;
        }
        if (options.faults.vanishAfter || options.reappearAfterMs >= 0) {
            result.error = "--tty cannot be combined with --vanish-after or --reappear-after";
            return result;
        }
    } else if (options.portDir.empty() || options.port.empty()) {
        result.error = options.portDir.empty() ? "--port-dir is required" : "--port is required";
        return result;
    }
    result.options = options;
    return result;
}

std::string HelpText() {
    std::string text(Usage);
    for (const bool fault : {false, true}) {
        text += fault ? "\nFault options:\n" : "";
        for (const OptionEntry& entry : OptionTable()) {
            if (entry.fault == fault)
                text += HelpEntry(entry);
        }
    }
    return text + std::string(AfterOptions);
}

} // namespace devsim
