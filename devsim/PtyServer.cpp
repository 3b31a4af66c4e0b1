#include "PtyServer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace devsim {

namespace {

using namespace std::chrono_literals;

// The pty moves bytes from master to slave in a kernel worker, so an empty slave queue right
// after a write may only mean the bytes are still on their way.
constexpr PtyServer::Duration SettleTime = 100ms;
// A host that has not read for this long is not going to; the line closes regardless.
constexpr PtyServer::Duration GiveUpWaitingForHost = 2s;
constexpr PtyServer::Duration SettleCheckInterval = 2ms;

std::string Failure(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Opens the tty at `path` into `fd` as a raw 8-bit line with no modem control, so every byte
// 0x00-0xFF passes untouched whatever the other end set; "" or why not.
std::string OpenRaw(const std::string& path, int& fd) {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Failure("cannot open " + path);
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return Failure("cannot read the settings of " + path);
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    if (::tcsetattr(fd, TCSANOW, &settings) != 0)
        return Failure("cannot make " + path + " raw");
    return {};
}

} // namespace

PtyServer::PtyServer(const Options& options, DeviceCore& device, int signalFd,
                     std::chrono::steady_clock::time_point start)
    : options_(options), device_(device), signalFd_(signalFd), start_(start),
      pacing_(options.baud, std::chrono::milliseconds(device.Plan().replyDelayMs)),
      toHost_(std::chrono::milliseconds(options.adapterLatencyMs)) {}

PtyServer::~PtyServer() {
    Close();
}

PtyServer::Duration PtyServer::Now() const {
    return std::chrono::steady_clock::now() - start_;
}

std::string PtyServer::Open() {
    if (!options_.logPath.empty()) {
        log_ = std::fopen(options_.logPath.c_str(), "w");
        if (!log_)
            return Failure("cannot write the log " + options_.logPath);
        // Written out whenever the simulator has nothing left to do for the moment (see Serve), so
        // tests can read it while the simulator runs, and a burst of bytes costs one write.
        std::setvbuf(log_, nullptr, _IOFBF, 1 << 16);
    }
    if (!options_.ttyPath.empty())
        return OpenTty();
    if (std::string error = OpenPty(); !error.empty())
        return error;
    return MakeLink();
}

std::string PtyServer::OpenTty() {
    // The given tty takes the master's place: the host's bytes are read from it and the replies
    // written to it. Nothing else of ours holds it, so there is no slave end to watch.
    ptyPath_ = options_.ttyPath;
    if (std::string error = OpenRaw(ptyPath_, masterFd_); !error.empty())
        return error;
    // Whatever a host left on the line before the simulator started is not for this device.
    ::tcflush(masterFd_, TCIOFLUSH);
    return {};
}

std::string PtyServer::OpenPty() {
    masterFd_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (masterFd_ < 0)
        return Failure("cannot open a pseudo-terminal");
    if (::grantpt(masterFd_) != 0 || ::unlockpt(masterFd_) != 0)
        return Failure("cannot unlock the pseudo-terminal");
    const char* slaveName = ::ptsname(masterFd_);
    if (!slaveName)
        return Failure("cannot name the pseudo-terminal");
    ptyPath_ = slaveName;
    if (::fcntl(masterFd_, F_SETFL, ::fcntl(masterFd_, F_GETFL) | O_NONBLOCK) != 0 ||
        ::fcntl(masterFd_, F_SETFD, FD_CLOEXEC) != 0)
        return Failure("cannot configure the pseudo-terminal");

    // Holding the slave open keeps the master from reading EIO while no host has the port open,
    // and keeps the raw settings alive between hosts.
    return OpenRaw(ptyPath_, slaveFd_);
}

void PtyServer::Vanish() {
    // The host's end of the line reads a hang-up from now on, as when a USB adapter is pulled;
    // whatever was on its way in either direction is lost with it.
    RemoveLink();
    ::close(masterFd_);
    ::close(slaveFd_);
    masterFd_ = slaveFd_ = -1;
    fromHost_.clear();
    toHost_ = AdapterHold(std::chrono::milliseconds(options_.adapterLatencyMs));
    outputBlocked_ = false;
    vanished_ = true;
    reappearTimed_ = options_.reappearAfterMs >= 0;
    reappearAt_ = Now() + std::chrono::milliseconds(std::max(options_.reappearAfterMs, 0));
    std::fprintf(stderr, "rq70-devsim: adapter pulled\n");
}

std::string PtyServer::Reappear() {
    vanished_ = reappearTimed_ = false;
    if (std::string error = OpenPty(); !error.empty())
        return error;
    if (std::string error = MakeLink(); !error.empty())
        return error;
    std::printf("%s\n", ptyPath_.c_str());
    std::fflush(stdout);
    return {};
}

std::string PtyServer::TakeSignal(bool& stop) {
    stop = false;
    signalfd_siginfo info{};
    if (::read(signalFd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
        return errno == EAGAIN ? std::string() : Failure("cannot read the signal");
    if (info.ssi_signo == SIGUSR1) {
        // A tty of someone else's is pulled by its own means (the USB gadget's disconnect).
        if (!vanished_ && !closing_ && options_.ttyPath.empty())
            Vanish();
        return {};
    }
    if (info.ssi_signo == SIGUSR2)
        return vanished_ ? Reappear() : std::string();
    stop = true;
    return {};
}

std::string PtyServer::MakeLink() {
    struct stat folder {};
    if (::stat(options_.portDir.c_str(), &folder) != 0)
        return Failure("cannot use the port folder " + options_.portDir);
    if (!S_ISDIR(folder.st_mode))
        return "the port folder " + options_.portDir + " is not a folder";

    linkPath_ = options_.portDir + "/" + options_.port;
    struct stat existing {};
    if (::lstat(linkPath_.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode))
        return "refusing to replace " + linkPath_ + ": it is not a symbolic link";

    // A host looking at the port while a stale link is replaced sees the old or the new link,
    // never none.
    const std::string temporary =
        options_.portDir + "/." + options_.port + ".devsim-" + std::to_string(static_cast<long>(::getpid()));
    ::unlink(temporary.c_str());
    if (::symlink(ptyPath_.c_str(), temporary.c_str()) != 0)
        return Failure("cannot create a link in " + options_.portDir);
    if (::rename(temporary.c_str(), linkPath_.c_str()) != 0) {
        const std::string error = Failure("cannot create the link " + linkPath_);
        ::unlink(temporary.c_str());
        return error;
    }
    linkMade_ = true;
    return {};
}

void PtyServer::RemoveLink() {
    if (!linkMade_)
        return;
    linkMade_ = false;
    // Another simulator may have taken the port name over since; its link stays.
    std::vector<char> target(ptyPath_.size() + 2);
    const ssize_t length = ::readlink(linkPath_.c_str(), target.data(), target.size());
    if (length >= 0 && std::string(target.data(), static_cast<std::size_t>(length)) == ptyPath_)
        ::unlink(linkPath_.c_str());
}

std::string PtyServer::Close() {
    if (masterFd_ >= 0)
        ::close(masterFd_);
    if (slaveFd_ >= 0)
        ::close(slaveFd_);
    masterFd_ = slaveFd_ = -1;
    RemoveLink();
    std::string error;
    if (log_) {
        if (std::ferror(log_) != 0 || std::fclose(log_) != 0)
            error = "cannot write the log " + options_.logPath;
        log_ = nullptr;
    }
    return error;
}

void PtyServer::LogByte(const char* direction, std::uint8_t byte) {
    if (!log_)
        return;
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(Now()).count();
    std::fprintf(log_, "%lld %s %02x\n", static_cast<long long>(micros), direction, byte);
}

std::string PtyServer::TakeHostBytes() {
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t count = ::read(masterFd_, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return {};
        if (count <= 0)
            return count == 0 ? "the pseudo-terminal closed" : Failure("cannot read " + ptyPath_);
        // Bytes that come in while the line is closing never reach the device.
        if (closing_)
            continue;
        const Duration written = Now();
        for (ssize_t i = 0; i < count; ++i)
            fromHost_.push_back({pacing_.HostByteArrives(written), buffer[i]});
    }
}

std::string PtyServer::RunDueBytes() {
    for (;;) {
        const Duration now = Now();
        const bool inDue = !closing_ && !fromHost_.empty() && fromHost_.front().at <= now;
        const bool outDue = !outputBlocked_ && !toHost_.Empty() && toHost_.Front().at <= now;
        if (!inDue && !outDue)
            return {};

        if (outDue && (!inDue || toHost_.Front().at <= fromHost_.front().at)) {
            const ssize_t written = ::write(masterFd_, &toHost_.Front().byte, 1);
            if (written == 1) {
                lastWrite_ = Now();
                LogByte("out", toHost_.Front().byte);
                toHost_.PopFront();
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                outputBlocked_ = true;
            } else if (errno != EINTR) {
                return Failure("cannot write the pseudo-terminal");
            }
            continue;
        }

        const TimedByte received = fromHost_.front();
        fromHost_.pop_front();
        if (ContactBroken(received.at))
            continue;
        LogByte("in", received.byte);
        // Replies are timed from when the byte was due, not from when this loop got to it, so a
        // late wake-up does not stretch the line.
        const std::vector<std::uint8_t> replies = device_.Receive(received.byte);
        if (!quietUntil_ && options_.quietAfterFinishMs > 0 && device_.FinishSeen())
            quietUntil_ = received.at + std::chrono::milliseconds(options_.quietAfterFinishMs);
        Duration lastReply = received.at;
        if (!quietUntil_ || received.at >= *quietUntil_) {
            for (const std::uint8_t reply : replies) {
                lastReply = pacing_.ReplyByteArrives(received.at);
                if (!ContactBroken(lastReply))
                    toHost_.Take(lastReply, reply);
            }
        }
        // The answer that the break follows still reaches the host; what comes after it does not.
        if (const std::optional<int> breakMs = device_.TakeContactBreak()) {
            brokenFrom_ = lastReply + std::chrono::nanoseconds(1);
            brokenUntil_ = lastReply + std::chrono::milliseconds(*breakMs);
            std::fprintf(stderr, "rq70-devsim: contact broken for %d ms\n", *breakMs);
        }
        if (device_.TakeVanish()) {
            Vanish();
            return {};
        }
        if (device_.HangUpDue() || (options_.exitAfterFinish && device_.FinishSeen())) {
            closing_ = true;
            fromHost_.clear();
        }
    }
}

bool PtyServer::HostHasReadEverything() const {
    const Duration sinceLastWrite = Now() - lastWrite_;
    if (sinceLastWrite >= GiveUpWaitingForHost)
        return true;
    int queued = 0;
    // On a tty of its own the simulator can only see what has not yet left its side of the line.
    if (slaveFd_ < 0 ? ::ioctl(masterFd_, TIOCOUTQ, &queued) != 0 : ::ioctl(slaveFd_, TIOCINQ, &queued) != 0)
        return true;
    return queued == 0 && sinceLastWrite >= SettleTime;
}

std::optional<PtyServer::Duration> PtyServer::NextWake() const {
    if (vanished_)
        return reappearTimed_ ? std::optional(reappearAt_) : std::nullopt;
    std::optional<Duration> wake;
    const auto wakeAt = [&](Duration at) {
        if (!wake || at < *wake)
            wake = at;
    };
    if (!closing_ && !fromHost_.empty())
        wakeAt(fromHost_.front().at);
    if (!outputBlocked_ && !toHost_.Empty())
        wakeAt(toHost_.Front().at);
    if (closing_ && toHost_.Empty())
        wakeAt(Now() + SettleCheckInterval);
    return wake;
}

std::string PtyServer::Serve(Ending& ending) {
    for (;;) {
        if (vanished_ && reappearTimed_ && Now() >= reappearAt_) {
            if (std::string error = Reappear(); !error.empty())
                return error;
        }
        if (!vanished_) {
            if (std::string error = RunDueBytes(); !error.empty())
                return error;
            // Once the adapter is pulled there is no line left to close.
            if (!vanished_ && closing_ && toHost_.Empty() && HostHasReadEverything()) {
                ending = device_.HangUpDue() ? Ending::HangUp : Ending::Finish;
                return {};
            }
        }

        // While the adapter is pulled there is no pty: only signals and the time to plug it back.
        pollfd fds[2] = {{signalFd_, POLLIN, 0},
                         {masterFd_, static_cast<short>(POLLIN | (outputBlocked_ ? POLLOUT : 0)), 0}};
        const nfds_t watched = vanished_ ? 1 : 2;
        const std::optional<Duration> wake = NextWake();
        timespec timeout{};
        if (wake) {
            const auto left = std::max(*wake - Now(), Duration::zero());
            timeout.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
        }
        // The bytes handed over are on their way; the log of them goes out before the sleep.
        if (log_)
            std::fflush(log_);
        if (::ppoll(fds, watched, wake ? &timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            return Failure("ppoll");
        }
        if (fds[0].revents & POLLIN) {
            bool stop = false;
            if (std::string error = TakeSignal(stop); !error.empty() || stop) {
                ending = Ending::Signal;
                return error;
            }
            continue;
        }
        if (fds[1].revents & POLLOUT)
            outputBlocked_ = false;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (std::string error = TakeHostBytes(); !error.empty())
                return error;
        }
    }
}

} // namespace devsim
