// Feeds arbitrary update-file bytes through the descrambler and the HEX loader, the way the
// updater reads a file it found beside itself, and the file's path through ShortenPath.

#include "image/HexLoader.h"
#include "image/ScrambledFile.h"
#include "image/ShortenPath.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    rq70::ApplyScrambleKey(bytes);

    static rq70::FirmwareImages images;
    images.HighestProgramWord = 0;
    std::size_t messages = 0;
    rq70::LoadHexText(bytes, images, [&](const std::string& message) {
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
