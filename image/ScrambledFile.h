#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace rq70 {

// Every byte of an update file is XOR-ed with the codes of these twelve digits in turn, starting
// again at the first digit for each file.
inline constexpr std::string_view ScrambleKey = "570194638215";

// XOR `bytes` with the key in place, from the key's first character on. Scrambling and
// descrambling are the same operation.
void ApplyScrambleKey(std::string& bytes);

// The whole content of a file as raw bytes, or the reason it could not be read.
struct FileContent {
    std::optional<std::string> bytes;
    std::string error;
};
FileContent ReadWholeFile(const std::string& path);

// The descrambled text of the update file at `path` (the updater's UpdateFileText), one
// character per file byte. A file that vanished or became unreadable after it was found reads as
// empty, which leaves the images erased: the updater then offers nothing to write rather than
// half a file.
std::string DecodeScrambledFile(const std::string& path);

} // namespace rq70
