// Feeds arbitrary update-file bytes through the file reading, the descrambler and the HEX loader,
// the way the updater reads a file it found beside itself, and the file's path through ShortenPath.

#include "image/HexLoader.h"
#include "image/ScrambledFile.h"
#include "image/ShortenPath.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// The input as a file, so that it goes through the same reading as a found update file.
std::string AsFile(const std::uint8_t* data, std::size_t size) {
    static const int fd = ::memfd_create("update-file", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    return "/proc/self/fd/" + std::to_string(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static rq70::FirmwareImages images;
    images.HighestProgramWord = 0;
    std::size_t messages = 0;
    rq70::LoadHexFile(AsFile(data, size), images, [&](const std::string& message) {
        if (message.rfind("## Error in Hex-File, type: ", 0) != 0)
            std::abort();
        ++messages;
    });
    if (images.HighestProgramWord < 0 || images.HighestProgramWord >= rq70::ProgramWordCount)
        std::abort();

    // The same bytes as a path: whatever comes back is the path itself or no longer than asked.
    const std::string path(reinterpret_cast<const char*>(data), size < 300 ? size : 300);
    const int maxLength = size > 0 ? data[0] % 64 : 40;
    const std::string shortened = rq70::ShortenPath(path, maxLength);
    if (shortened != path && shortened.find("...") == std::string::npos)
        std::abort();
    return 0;
}
