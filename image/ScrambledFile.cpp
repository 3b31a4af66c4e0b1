#include "image/ScrambledFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rq70 {

void ApplyScrambleKey(std::string& bytes) {
    std::size_t keyPosition = 0;
    for (char& byte : bytes) {
        byte = static_cast<char>(static_cast<unsigned char>(byte) ^
                                 static_cast<unsigned char>(ScrambleKey[keyPosition]));
        if (++keyPosition == ScrambleKey.size())
            keyPosition = 0;
    }
}

namespace {

struct OpenFile {
    int fd;
    ~OpenFile() {
        if (fd >= 0)
            ::close(fd);
    }
};

FileRefusal TooLarge(long long size) {
    return {FileRefusal::Kind::TooLarge, "too large for an update file (" + std::to_string(size) +
                                             " bytes; at most " +
                                             std::to_string(MaxUpdateFileBytes / (1024 * 1024)) + " MiB)"};
}

FileRefusal Refuse(const struct stat& facts) {
    if (!S_ISREG(facts.st_mode))
        return {FileRefusal::Kind::NotRegular, "not a regular file (a named pipe, a device or a folder)"};
    if (facts.st_size > MaxUpdateFileBytes)
        return TooLarge(facts.st_size);
    return {};
}

} // namespace

FileRefusal UpdateFileRefusal(const std::string& path) {
    struct stat facts {};
    if (::stat(path.c_str(), &facts) != 0)
        return {};
    return Refuse(facts);
}

FileContent ReadWholeFile(const std::string& path) {
    // Non-blocking, so that opening a named pipe does not wait for a writer; the refusal below
    // then closes it unread.
    const OpenFile file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    const int fd = file.fd;
    if (fd < 0)
        return {std::nullopt, std::strerror(errno)};
    struct stat facts {};
    if (::fstat(fd, &facts) != 0)
        return {std::nullopt, std::strerror(errno)};
    if (FileRefusal refusal = Refuse(facts); refusal.kind != FileRefusal::Kind::None)
        return {std::nullopt, std::move(refusal.reason)};

    // Read to the end rather than trusting the size taken above: the file may grow under us, so
    // one byte beyond the limit is enough to know.
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(facts.st_size));
    char chunk[64 * 1024];
    while (true) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return {std::nullopt, std::strerror(errno)};
        }
        if (got == 0)
            break;
        if (static_cast<long long>(bytes.size()) + got > MaxUpdateFileBytes)
            return {std::nullopt, TooLarge(static_cast<long long>(bytes.size()) + got).reason};
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return {std::move(bytes), {}};
}

DecodedFile DecodeScrambledFile(const std::string& path) {
    DecodedFile decoded{ReadWholeFile(path), {}};
    if (decoded.file.bytes) {
        decoded.text = *decoded.file.bytes;
        ApplyScrambleKey(decoded.text);
    }
    return decoded;
}

} // namespace rq70
