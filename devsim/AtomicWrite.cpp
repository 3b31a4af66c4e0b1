#include "AtomicWrite.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace devsim {

std::string WriteFileAtomically(const std::string& path, std::string_view bytes) {
    std::string name = path + ".tmp-XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int fd = ::mkstemp(buffer.data());
    if (fd < 0)
        return "cannot write " + path + ": " + std::strerror(errno);
    name = buffer.data();

    // mkstemp makes the file private; a dump is read by whoever runs the tests.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);

    std::string error;
    std::string_view rest = bytes;
    while (!rest.empty() && error.empty()) {
        const ssize_t written = ::write(fd, rest.data(), rest.size());
        if (written < 0 && errno != EINTR)
            error = std::strerror(errno);
        else if (written > 0)
            rest.remove_prefix(static_cast<std::size_t>(written));
    }
    if (error.empty() && ::fsync(fd) != 0)
        error = std::strerror(errno);
    if (::close(fd) != 0 && error.empty())
        error = std::strerror(errno);
    if (error.empty() && ::rename(name.c_str(), path.c_str()) != 0)
        error = std::strerror(errno);
    if (!error.empty()) {
        ::unlink(name.c_str());
        return "cannot write " + path + ": " + error;
    }
    return {};
}

} // namespace devsim
