#include "Options.h"

#include <charconv>
#include <functional>
#include <map>

namespace devsim {

namespace {

constexpr std::string_view Help = R"(usage: rq70-devsim --port-dir DIR --port COMn [options] [fault options]

Simulates the RQ-70 boot loader on a pseudo-terminal. The pty's path is printed on stdout once
DIR/COMn links to it. The simulator serves until SIGTERM, SIGINT or SIGHUP, then removes the
link and writes the dump. After the finish command it goes on serving unless told otherwise.
Numbers are decimal or 0x-prefixed hex; every option also takes its value as --option=VALUE.

  --port-dir DIR            folder for the link to the pty (required)
  --port COMn               name of the link, COM1 to COM256 (required); a stale link is replaced
  --id TEXT                 identification text at data bytes 208..255, at most 48 bytes
                            (default "RQ-70 Boot 1.0"); \xNN is the byte NN, \\ a backslash,
                            other bytes are taken as they are
  --dump FILE               at the end write a JSON object: program (non-erased words as
                            [address, low, high]), eeprom (256 numbers), finish_seen, commands
  --log FILE                one line per byte, in order: <microseconds since start> <in|out> <hex>;
                            in = taken in by the device, out = written to the pty
  --memory FILE             the device's memory (program words and EEPROM): read from FILE at
                            start if it exists, written back at the end, so a run after a
                            power cycle finds what the last one left
  --exit-after-finish       end after the finish command (0xA8) has arrived
  --baud N                  pace the line: every byte takes 10/N s each way (0: instant, default)
  --adapter-latency MS      put a USB serial adapter between the line and the host: reply bytes
                            that have crossed the line are held until MS milliseconds after the
                            first of them arrived, or until 62 are waiting, then all go to the
                            host together; host bytes pass at once (0: no adapter, default).
                            Common adapters hold 16 ms, or 1 ms once set to low latency
  --help                    show this text

Fault options:
  --silent                  never answer anything (commands are still taken in and counted)
  --nak CMD[@ADDR]          answer CMD (probe, read, erase, write, eeprom) with a wrong
                            acknowledge and wait for the next command; with @ADDR only the
                            command whose parameters would name ADDR (for erase its row, for
                            write its 4-word block). As the acknowledge precedes the address,
                            the address is predicted: the first erase names 256, write 256,
                            eeprom 0, read 208; each later one the previous one's address plus
                            32, 4, 1, 1; a probe starts the walk again. Repeatable for
                            different commands
  --nak-byte BYTE           the wrong acknowledge (default 0xA1; not 0xA0)
  --ignore-probes N         leave the first N probes unanswered
  --corrupt-echo WORD[:low|:high]
                            flip bit 0 of the low (default) or high byte in every echo of
                            program word WORD; the word is stored as received
  --drop-echo WORD[:INDEX]  leave byte INDEX (0..7, default 7) out of every echo of the write
                            block holding WORD (normally the block's first word)
  --delay MS                hold every reply byte MS milliseconds before it goes out
  --hangup-after-erases N   close the pty once the Nth erase row has been answered and read
  --hangup-after-writes N   close the pty once the Nth write block has been echoed and read
  --hangup-after-eeprom N   close the pty once the Nth EEPROM byte has been answered and read
                            (the host gets up to 2 s to read the last answer); the simulator
                            then ends as if terminated
  --vanish-after CMD:N      pull the adapter as the Nth CMD (probe, read, erase, write, eeprom)
                            comes in: the link and the pty go away, the device keeps its memory
                            and its state (a command's parameters are still awaited)
  --reappear-after MS       plug the adapter back in MS milliseconds after it was pulled: a new
                            pty under the same link name. Without it, only SIGUSR2 does.
Signals: SIGUSR1 pulls the adapter, SIGUSR2 plugs it back in; each new pty's path is printed.

Exit status: 0 after a signal, a finish with --exit-after-finish or a hang-up; 1 when the pty,
the link, the log or the dump fails; 2 for wrong arguments.
)";

std::optional<long long> ParseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0)
        return std::nullopt;
    return value;
}

// Parses `text` as a whole number in [low, high]; on failure leaves the reason in `error`.
std::optional<int> ParseBounded(std::string_view text, long long low, long long high, std::string_view what,
                                std::string& error) {
    const std::optional<long long> value = ParseNumber(text);
    if (!value) {
        error = "bad number '" + std::string(text) + "' for " + std::string(what);
        return std::nullopt;
    }
    if (*value < low || *value > high) {
        error = std::string(what) + " must be " + std::to_string(low) + " to " + std::to_string(high) +
                ", not " + std::string(text);
        return std::nullopt;
    }
    return static_cast<int>(*value);
}

bool IsValidPortName(std::string_view name) {
    if (!name.starts_with("COM") || name.size() < 4 || name.size() > 6 || name[3] == '0')
        return false;
    const std::optional<long long> number = ParseNumber(name.substr(3));
    return number && *number <= 256;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Splits "BEFORE<separator>AFTER"; `after` is empty when there is no separator.
std::string_view SplitAt(std::string_view text, char separator, std::optional<std::string_view>& after) {
    const std::size_t at = text.find(separator);
    if (at == std::string_view::npos) {
        after.reset();
        return text;
    }
    after = text.substr(at + 1);
    return text.substr(0, at);
}

bool ParseRefusal(std::string_view value, FaultPlan& plan, std::string& error) {
    std::optional<std::string_view> addressText;
    const std::string_view name = SplitAt(value, '@', addressText);
    const std::optional<Command> command = CommandFromName(name);
    if (!command || *command == Command::Finish) {
        error = "--nak needs probe, read, erase, write or eeprom, not '" + std::string(name) + "'";
        return false;
    }
    RefusalRule& rule = plan.refusals[static_cast<std::size_t>(*command)];
    if (rule.active) {
        error = "--nak " + std::string(name) + " given twice";
        return false;
    }
    rule.active = true;
    if (!addressText)
        return true;
    if (*command == Command::Probe) {
        error = "--nak probe takes no address: a probe has none";
        return false;
    }
    rule.address = ParseBounded(*addressText, 0, AddressSpace(*command) - 1,
                                "the address of --nak " + std::string(name), error);
    return rule.address.has_value();
}

bool ParseVanish(std::string_view value, FaultPlan& plan, std::string& error) {
    std::optional<std::string_view> countText;
    const std::string_view name = SplitAt(value, ':', countText);
    const std::optional<Command> command = CommandFromName(name);
    if (!command || *command == Command::Finish || !countText) {
        error = "--vanish-after takes CMD:N with CMD probe, read, erase, write or eeprom, not '" +
                std::string(value) + "'";
        return false;
    }
    const std::optional<int> count =
        ParseBounded(*countText, 1, 1'000'000'000, "the N of --vanish-after", error);
    if (count)
        plan.vanishAfter = FaultPlan::VanishRule{*command, *count};
    return count.has_value();
}

bool ParseCorruptEcho(std::string_view value, FaultPlan& plan, std::string& error) {
    std::optional<std::string_view> byteName;
    const std::string_view wordText = SplitAt(value, ':', byteName);
    if (byteName && *byteName != "low" && *byteName != "high") {
        error = "--corrupt-echo takes WORD, WORD:low or WORD:high, not '" + std::string(value) + "'";
        return false;
    }
    plan.corruptEchoWord =
        ParseBounded(wordText, 0, ProgramWordCount - 1, "the word of --corrupt-echo", error);
    plan.corruptEchoHighByte = byteName == "high";
    return plan.corruptEchoWord.has_value();
}

bool ParseDropEcho(std::string_view value, FaultPlan& plan, std::string& error) {
    std::optional<std::string_view> indexText;
    const std::string_view wordText = SplitAt(value, ':', indexText);
    plan.dropEchoBlock = ParseBounded(wordText, 0, ProgramWordCount - 1, "the word of --drop-echo", error);
    if (!plan.dropEchoBlock)
        return false;
    if (!indexText)
        return true;
    const std::optional<int> index =
        ParseBounded(*indexText, 0, 2 * BlockWords - 1, "the byte of --drop-echo", error);
    if (index)
        plan.dropEchoIndex = *index;
    return index.has_value();
}

// How each option taking a value stores it; false (with `error` set) for a bad value.
using ValueHandler = std::function<bool(std::string_view value, Options& options, std::string& error)>;

bool StoreBounded(std::optional<int>& target, std::string_view value, long long low, long long high,
                  std::string_view what, std::string& error) {
    target = ParseBounded(value, low, high, what, error);
    return target.has_value();
}

bool StoreBounded(int& target, std::string_view value, long long low, long long high, std::string_view what,
                  std::string& error) {
    const std::optional<int> parsed = ParseBounded(value, low, high, what, error);
    if (parsed)
        target = *parsed;
    return parsed.has_value();
}

const std::map<std::string, ValueHandler, std::less<>>& ValueOptions() {
    static const std::map<std::string, ValueHandler, std::less<>> handlers = {
        {"--port-dir",
         [](std::string_view value, Options& options, std::string& error) {
             if (value.empty()) {
                 error = "--port-dir needs a folder";
                 return false;
             }
             options.portDir = value;
             return true;
         }},
        {"--port",
         [](std::string_view value, Options& options, std::string& error) {
             if (!IsValidPortName(value)) {
                 error = "bad port name '" + std::string(value) + "': give COM1 to COM256";
                 return false;
             }
             options.port = value;
             return true;
         }},
        {"--id",
         [](std::string_view value, Options& options, std::string& error) {
             const std::optional<std::string> text = DecodeIdText(value, error);
             if (text)
                 options.idText = *text;
             return text.has_value();
         }},
        {"--dump",
         [](std::string_view value, Options& options, std::string& error) {
             if (value.empty()) {
                 error = "--dump needs a file name";
                 return false;
             }
             options.dumpPath = value;
             return true;
         }},
        {"--memory",
         [](std::string_view value, Options& options, std::string& error) {
             if (value.empty()) {
                 error = "--memory needs a file name";
                 return false;
             }
             options.memoryPath = value;
             return true;
         }},
        {"--vanish-after", [](std::string_view value, Options& options,
                              std::string& error) { return ParseVanish(value, options.faults, error); }},
        {"--reappear-after",
         [](std::string_view value, Options& options, std::string& error) {
             return StoreBounded(options.reappearAfterMs, value, 0, 3'600'000, "--reappear-after", error);
         }},
        {"--hangup-after-erases",
         [](std::string_view value, Options& options, std::string& error) {
             return StoreBounded(options.faults.hangUpAfterErases, value, 1, 1'000'000'000,
                                 "--hangup-after-erases", error);
         }},
        {"--log",
         [](std::string_view value, Options& options, std::string& error) {
             if (value.empty()) {
                 error = "--log needs a file name";
                 return false;
             }
             options.logPath = value;
             return true;
         }},
        {"--baud",
         [](std::string_view value, Options& options, std::string& error) {
             return StoreBounded(options.baud, value, 0, 4'000'000, "--baud", error);
         }},
        {"--adapter-latency",
         [](std::string_view value, Options& options, std::string& error) {
             return StoreBounded(options.adapterLatencyMs, value, 0, 60'000, "--adapter-latency", error);
         }},
        {"--delay",
         [](std::string_view value, Options& options, std::string& error) {
             return StoreBounded(options.faults.replyDelayMs, value, 0, 60'000, "--delay", error);
         }},
        {"--nak", [](std::string_view value, Options& options,
                     std::string& error) { return ParseRefusal(value, options.faults, error); }},
        {"--nak-byte",
         [](std::string_view value, Options& options, std::string& error) {
             int byte = 0;
             if (!StoreBounded(byte, value, 0, 255, "--nak-byte", error))
                 return false;
             if (byte == Ack) {
                 error = "--nak-byte 0xA0 is the right acknowledge, not a wrong one";
                 return false;
             }
             options.faults.wrongAck = static_cast<std::uint8_t>(byte);
             return true;
         }},
        {"--ignore-probes",
         [](std::string_view value, Options& options, std::string& error) {
             return StoreBounded(options.faults.ignoredProbes, value, 0, 1'000'000'000, "--ignore-probes",
                                 error);
         }},
        {"--corrupt-echo", [](std::string_view value, Options& options,
                              std::string& error) { return ParseCorruptEcho(value, options.faults, error); }},
        {"--drop-echo", [](std::string_view value, Options& options,
                           std::string& error) { return ParseDropEcho(value, options.faults, error); }},
        {"--hangup-after-writes",
         [](std::string_view value, Options& options, std::string& error) {
             return StoreBounded(options.faults.hangUpAfterWrites, value, 1, 1'000'000'000,
                                 "--hangup-after-writes", error);
         }},
        {"--hangup-after-eeprom",
         [](std::string_view value, Options& options, std::string& error) {
             return StoreBounded(options.faults.hangUpAfterEepromBytes, value, 1, 1'000'000'000,
                                 "--hangup-after-eeprom", error);
         }},
    };
    return handlers;
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
    ParsedArguments result;
    // Asking for help is never wrong, whatever else the command line holds.
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            result.helpRequested = true;
            return result;
        }
    }
    Options options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        if (argument == "--exit-after-finish" || argument == "--silent") {
            (argument == "--silent" ? options.faults.silent : options.exitAfterFinish) = true;
            continue;
        }
        const auto handler = ValueOptions().find(name);
        if (handler == ValueOptions().end()) {
            result.error = (name == "--exit-after-finish" || name == "--silent")
                               ? name + " takes no value"
                               : "unknown " + std::string(argument.starts_with('-') ? "option" : "argument") +
                                     " '" + argument + "'";
            return result;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        } else {
            result.error = "missing value for " + name;
            return result;
        }
        if (!handler->second(value, options, result.error))
            return result;
        result.error.clear();
    }
    if (options.portDir.empty() || options.port.empty()) {
        result.error = options.portDir.empty() ? "--port-dir is required" : "--port is required";
        return result;
    }
    result.options = options;
    return result;
}

std::string HelpText() {
    return std::string(Help);
}

} // namespace devsim
