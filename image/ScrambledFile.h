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

// The largest update file the updater reads. A file for the whole device, one data byte per
// record, is about half a megabyte; anything far beyond that is not an update file, and reading
// it whole would only cost memory and time.
inline constexpr long long MaxUpdateFileBytes = 16LL * 1024 * 1024;

// The whole content of a file as raw bytes, or the reason it could not be read.
struct FileContent {
    std::optional<std::string> bytes;
    std::string error;
};

// Reads a regular file of at most MaxUpdateFileBytes. A named pipe, a device (/dev/zero under an
// update file's name) or a larger file is refused with a reason instead, without waiting for a
// writer and without reading more than the limit.
FileContent ReadWholeFile(const std::string& path);

// Why a file cannot be an update file. `reason` is empty when it is a regular file within the limit.
struct FileRefusal {
    enum class Kind { None, NotRegular, TooLarge } kind = Kind::None;
    std::string reason;
};

// Looks at the file at `path` without opening it; Kind::None also when it cannot be looked at, as
// reading it then gives the reason.
FileRefusal UpdateFileRefusal(const std::string& path);

// An update file read once: its bytes and their descrambled text.
struct DecodedFile {
    // The bytes exactly as read, still scrambled (what the update record describes), or the reason
    // the file could not be read whole: it vanished, may not be read, or a read failed on the way.
    FileContent file;
    // The descrambled text (the updater's UpdateFileText), one character per file byte; empty when
    // the file could not be read, which leaves the images erased, never half a file.
    std::string text;
};

DecodedFile DecodeScrambledFile(const std::string& path);

} // namespace rq70
