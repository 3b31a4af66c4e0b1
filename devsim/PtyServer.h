#pragma once

#include "DeviceCore.h"
#include "LinePacing.h"
#include "Options.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>

namespace devsim {

// Serves a DeviceCore on a pseudo-terminal that the updater opens through a link named like its
// serial port, or on an existing tty (--tty) that is the device's end of a real line. Single-threaded: one
// ppoll() loop whose timeout is the next due byte.
class PtyServer {
public:
    using Duration = LinePacing::Duration;

    enum class Ending { Signal, Finish, HangUp };

    // `signalFd` is readable when the simulator is asked to stop; `start` is the log's time zero.
    PtyServer(const Options& options, DeviceCore& device, int signalFd,
              std::chrono::steady_clock::time_point start);
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Opens the log, the pty and the link to it (or the given tty); "" on success, otherwise why not.
    std::string Open();
    const std::string& PtyPath() const { return ptyPath_; }

    // Serves until a stop signal, the finish command with --exit-after-finish, or a hang-up fault.
    // SIGUSR1 pulls the adapter (the pty and the link go away, the device stays as it is) and
    // SIGUSR2 plugs it back in (a new pty under the same link); so do the vanish options.
    // Sets `ending` and returns "", or returns why the pty failed.
    std::string Serve(Ending& ending);

    // Closes the pty, removes the link if it is still ours and closes the log; "" or the first
    // problem met. Safe to call more than once.
    std::string Close();

private:
    Duration Now() const;
    std::string OpenPty();
    std::string OpenTty();
    std::string MakeLink();
    void Vanish();
    std::string Reappear();
    // Reads the pending signal: "" and `stop` set for a stop request, otherwise what plugging the
    // adapter back in failed on.
    std::string TakeSignal(bool& stop);
    void RemoveLink();
    // When the next byte is due, the adapter is to be plugged back in, or a closing line is
    // checked again; none: only a signal or the host wakes the server.
    std::optional<Duration> NextWake() const;
    // Hands due host bytes to the device and writes due replies, in time order.
    std::string RunDueBytes();
    std::string TakeHostBytes();
    // Once the device is done, waits for the host to read what was sent: closing a pty master
    // discards whatever still sits in the slave's input queue.
    bool HostHasReadEverything() const;
    void LogByte(const char* direction, std::uint8_t byte);
    // Whether a byte crossing the cradle's contact at `at` is lost (see FaultPlan::contactBreaks).
    bool ContactBroken(Duration at) const { return at >= brokenFrom_ && at < brokenUntil_; }

    const Options& options_;
    DeviceCore& device_;
    int signalFd_;
    std::chrono::steady_clock::time_point start_;
    LinePacing pacing_;
    int masterFd_ = -1;
    int slaveFd_ = -1;
    std::string ptyPath_;
    std::string linkPath_;
    bool linkMade_ = false;
    std::FILE* log_ = nullptr;
    std::deque<TimedByte> fromHost_;
    AdapterHold toHost_;
    bool outputBlocked_ = false;
    bool closing_ = false;
    // Replies to bytes that arrive before this are not sent (see Options::quietAfterFinishMs).
    std::optional<Duration> quietUntil_;
    // While the contact is broken nothing crosses between the line and the device.
    Duration brokenFrom_{};
    Duration brokenUntil_{};
    // The adapter is pulled: no pty, no link; the device waits as it was.
    bool vanished_ = false;
    bool reappearTimed_ = false;
    Duration reappearAt_{};
    Duration lastWrite_{};
};

} // namespace devsim
