#include "image/ScrambledFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

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

FileContent ReadWholeFile(const std::string& path) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file)
        return {std::nullopt, std::strerror(errno)};

    // Read to the end rather than trusting a size taken beforehand: the file may change under us.
    std::string bytes;
    try {
        char chunk[64 * 1024];
        while (true) {
            const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
            bytes.append(chunk, got);
            if (got < sizeof chunk)
                break;
        }
    } catch (const std::bad_alloc&) {
        return {std::nullopt, "file too large to hold in memory"};
    }
    if (std::ferror(file.get()))
        return {std::nullopt, std::strerror(errno ? errno : EIO)};
    return {std::move(bytes), {}};
}

std::string DecodeScrambledFile(const std::string& path) {
    FileContent content = ReadWholeFile(path);
    if (!content.bytes)
        return {};
    ApplyScrambleKey(*content.bytes);
    return std::move(*content.bytes);
}

} // namespace rq70
