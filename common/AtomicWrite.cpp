#include "AtomicWrite.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Written against POSIX rather than with QSaveFile: QSaveFile ignores a failed fsync, and a file
// the disk did not take must not be reported as written.

namespace rq70 {

namespace {

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// mkstemp creates the file readable by its owner only; update files and dumps are passed around
// and read by others, so the file gets the permissions any other new file would get.
void GiveUsualPermissions(int fd) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
}

} // namespace

std::string WriteFileAtomically(const std::string& path, std::string_view bytes) {
    std::string temporaryName = path + ".tmp-XXXXXX";
    std::vector<char> nameBuffer(temporaryName.begin(), temporaryName.end());
    nameBuffer.push_back('\0');
    const int fd = ::mkstemp(nameBuffer.data());
    if (fd < 0)
        return std::strerror(errno);
    temporaryName = nameBuffer.data();

    GiveUsualPermissions(fd);
    int error = 0;
    if (!WriteAll(fd, bytes) || ::fsync(fd) != 0)
        error = errno;
    // close can report a failed delayed write (NFS, full disk), so its result counts too.
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporaryName.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporaryName.c_str());
        return std::strerror(error);
    }

    // The rename itself lives in the folder; without this a power cut could still lose it.
    const int folder = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return {};
}

} // namespace rq70
