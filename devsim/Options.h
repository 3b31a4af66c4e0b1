#pragma once

#include "DeviceCore.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

enum ExitCode { ExitSuccess = 0, ExitFailure = 1, ExitUsageError = 2 };

struct Options {
    std::string portDir;
    std::string port;
    // Serve this existing tty (the device's end of a real line, such as a USB gadget's serial
    // port) instead of a pty of our own; no port folder and no link then.
    std::string ttyPath;
    std::string idText{DefaultIdText};
    std::string dumpPath;
    std::string logPath;
    bool exitAfterFinish = false;
    // After the finish command, answer nothing for this many milliseconds, as a device does that
    // starts its own program; 0: go on answering at once.
    int quietAfterFinishMs = 0;
    // 0: bytes cross the pty at once.
    int baud = 0;
    // 0: reply bytes reach the host as they cross the line; otherwise a USB serial adapter's
    // latency timer holds them, in milliseconds.
    int adapterLatencyMs = 0;
    // After the adapter was pulled, plug it back in after this many milliseconds; -1: only on
    // SIGUSR2.
    int reappearAfterMs = -1;
    // Program memory and EEPROM kept across runs, as a device keeps them across power cycles.
    std::string memoryPath;
    FaultPlan faults;
};

struct ParsedArguments {
    // Set when the simulator is to run.
    std::optional<Options> options;
    bool helpRequested = false;
    bool versionRequested = false;
    // One line, without the program name, when the arguments are wrong.
    std::string error;
};

// `arguments` without the program name. Every option takes its value either as the next argument
// or after '=' in the same one; an option given twice keeps the later value (--nak: each one).
ParsedArguments ParseArguments(const std::vector<std::string>& arguments);

// The --id value as bytes: "\xNN" is the byte NN (two hex digits), "\\" a backslash, and every
// other byte stands for itself, so a UTF-8 terminal's "é" becomes its two UTF-8 bytes. Empty when
// the text holds another escape or is too long; `error` then says why.
std::optional<std::string> DecodeIdText(std::string_view text, std::string& error);

std::string HelpText();

} // namespace devsim
