#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace rq70 {

// How the updater cuts Intel HEX text into lines and reads the fields every record starts with.
// The loader and krv's checks share these, so krv reports on exactly the lines the updater loads.

enum RecordType { DataRecord = 0, EndOfFileRecord = 1, SegmentRecord = 2, LinearRecord = 4 };

// Hands out the lines of a text one at a time, without their line ends. Lines end only at CR LF;
// a lone CR or LF stays inside its line, and text ending in CR LF has no empty line after it.
class CrLfLines {
public:
    explicit CrLfLines(std::string_view text) : rest_(text) {}
    // The next line, or nothing once the text is used up.
    std::optional<std::string_view> Next();

private:
    std::string_view rest_;
};

// A line is a record only when it starts with ':' and holds no NUL anywhere; empty lines and
// everything else (comments, blank lines, indented records) are passed over.
bool IsRecordLine(std::string_view line);

// The value of one hex digit in either letter case, or -1.
int HexDigit(char c);

// The value of `digits` hex digits starting at 1-based character `position`, or nothing when the
// line is too short there or a character is not a hex digit.
std::optional<std::uint32_t> HexField(std::string_view line, std::size_t position, std::size_t digits);

// Byte count, load address and type of a record line, or nothing when one of them is not hex; the
// updater passes such a line over.
struct RecordHeader {
    std::uint32_t byteCount = 0;
    std::uint32_t loadAddress = 0;
    std::uint32_t type = 0;
};
std::optional<RecordHeader> ReadRecordHeader(std::string_view line);

// How many lines of CR LF text the updater would hand to its data path: record lines with a
// readable header of type 00. A text without one has nothing for a device.
std::size_t CountDataRecords(std::string_view crLfText);

// Where the data of a record starts, 1-based as HexField counts.
inline constexpr std::size_t FirstDataCharacter = 10;

} // namespace rq70
