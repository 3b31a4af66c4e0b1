#include "image/ShortenPath.h"

#include <cstddef>
#include <string_view>

namespace rq70 {

namespace {

// Paths are UTF-8; a user counts characters, not bytes.
std::size_t CharacterCount(std::string_view text) {
    std::size_t count = 0;
    for (const unsigned char c : text)
        count += (c & 0xC0) != 0x80;
    return count;
}

} // namespace

std::string ShortenPath(const std::string& path, int maxLength) {
    const std::size_t length = CharacterCount(path);
    if (maxLength >= 0 && length <= static_cast<std::size_t>(maxLength))
        return path;

    // Drive paths ("C:\...") keep their first three characters; a POSIX path keeps its root "/".
    const char separator = path.find('\\') != std::string::npos ? '\\' : '/';
    const bool posixRoot = separator == '/' && !path.empty() && path.front() == '/';
    const std::string prefix = posixRoot ? std::string("/") : path.substr(0, 3);
    const std::string ellipsis = std::string("...") + separator;
    const std::size_t fixedLength = CharacterCount(prefix) + ellipsis.size();

    // Try the tails from the longest (all components) down to the file name alone.
    std::size_t tailStart = 0;
    while (true) {
        const std::string_view tail = std::string_view(path).substr(tailStart);
        if (maxLength >= 0 && fixedLength + CharacterCount(tail) <= static_cast<std::size_t>(maxLength))
            return prefix + ellipsis + std::string(tail);
        const std::size_t next = path.find(separator, tailStart);
        if (next == std::string::npos)
            return path;
        tailStart = next + 1;
    }
}

} // namespace rq70
