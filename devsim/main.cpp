// rq70-devsim: the RQ-70 boot loader on a pseudo-terminal, for testing the updater's serial code
// and its update procedure against a device that behaves, and one that misbehaves on purpose.

#include "DeviceCore.h"
#include "Dump.h"
#include "MemoryFile.h"
#include "Options.h"
#include "PtyServer.h"

#include "common/AtomicWrite.h"
#include "common/TerminalText.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

using namespace devsim;

namespace {

// A problem on stderr. It may name a file or quote an option as given: neither steers the terminal.
void Complain(const std::string& problem) {
    std::cerr << "rq70-devsim: " << rq70::TerminalSafeUtf8(problem) << '\n';
}

int Fail(const std::string& problem) {
    Complain(problem);
    return ExitFailure;
}

} // namespace

int main(int argc, char* argv[]) {
    const auto start = std::chrono::steady_clock::now();
    const ParsedArguments parsed = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.helpRequested) {
        std::cout << HelpText();
        return ExitSuccess;
    }
    if (parsed.versionRequested) {
        std::cout << "rq70-devsim " RQ70_VERSION "\n";
        return ExitSuccess;
    }
    if (!parsed.options) {
        Complain(parsed.error + " (try --help)");
        return ExitUsageError;
    }
    const Options& options = *parsed.options;

    // Blocked before anything else, so a stop request during start-up waits in the signalfd and
    // the link is still removed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    // Pulling the adapter out and plugging it back in.
    sigaddset(&stopSignals, SIGUSR1);
    sigaddset(&stopSignals, SIGUSR2);
    if (::sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0)
        return Fail(std::string("cannot block signals: ") + std::strerror(errno));
    std::signal(SIGPIPE, SIG_IGN);
    const int signalFd = ::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0)
        return Fail(std::string("cannot watch for signals: ") + std::strerror(errno));

    std::optional<DeviceCore> device;
    try {
        device.emplace(options.idText, options.faults);
    } catch (const std::invalid_argument& error) {
        Complain(error.what() + std::string(" (try --help)"));
        return ExitUsageError;
    }

    if (!options.memoryPath.empty()) {
        if (const std::string error = LoadMemory(options.memoryPath, *device); !error.empty())
            return Fail(error);
    }

    // The line's byte times and the adapter's timer are what a paced run measures: wake up on
    // them, not up to 50 us late.
    if (options.baud > 0 || options.adapterLatencyMs > 0)
        ::prctl(PR_SET_TIMERSLACK, 1UL);

    PtyServer server(options, *device, signalFd, start);
    if (const std::string error = server.Open(); !error.empty())
        return Fail(error);
    std::cout << server.PtyPath() << std::endl;

    PtyServer::Ending ending = PtyServer::Ending::Signal;
    const std::string serveError = server.Serve(ending);
    const std::string closeError = server.Close();
    if (serveError.empty() && ending == PtyServer::Ending::HangUp)
        Complain("hung up as the fault plan asked");

    int status = ExitSuccess;
    for (const std::string& error : {serveError, closeError}) {
        if (!error.empty())
            status = Fail(error);
    }
    // What was written stays written: the next start with this file is the device powered up
    // again.
    if (!options.memoryPath.empty()) {
        if (const std::string error = SaveMemory(options.memoryPath, *device); !error.empty())
            status = Fail(error);
    }
    if (!options.dumpPath.empty()) {
        if (const std::string error = rq70::WriteFileAtomically(options.dumpPath, DumpJson(*device));
            !error.empty())
            status = Fail("cannot write " + options.dumpPath + ": " + error);
    }
    return status;
}
