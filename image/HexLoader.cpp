#include "image/HexLoader.h"

#include "image/ScrambledFile.h"
#include "image/ShortenPath.h"

#include <cstdint>
#include <optional>

namespace rq70 {

namespace {

// Where a target word address lands. Program words come from linear value 0 and load addresses
// below 0x8000; the EEPROM window starts at 0x17000, which a file reaches with linear value 1 and
// load addresses from 0xE000 (the loader halves the load address but not the linear value).
constexpr std::int64_t EepromWindowStart = 0x17000;

enum RecordType { DataRecord = 0, EndOfFileRecord = 1, SegmentRecord = 2, LinearRecord = 4 };

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The value of `digits` hex digits starting at 1-based character `position`, or nothing when the
// line is too short there or a character is not a hex digit.
std::optional<std::uint32_t> HexField(std::string_view line, std::size_t position, std::size_t digits) {
    if (position + digits - 1 > line.size())
        return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int digit = HexDigit(line[position - 1 + i]);
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return value;
}

// value / 2 with an exact half going to the even neighbour: 1 -> 0, 3 -> 2, 5 -> 2, 7 -> 4.
std::uint32_t HalfRoundedToEven(std::uint32_t value) {
    std::uint32_t half = value / 2;
    if (value % 2 == 1 && half % 2 == 1)
        ++half;
    return half;
}

// A line is a record only when it starts with ':' and holds no NUL anywhere; empty lines and
// everything else (comments, blank lines, indented records) are passed over.
bool IsRecordLine(std::string_view line) {
    return !line.empty() && line.front() == ':' && line.find('\0') == std::string_view::npos;
}

// Persistent between lines of one load.
struct AddressState {
    std::int64_t segmentValue = 0;
    std::int64_t linearValue = 0;
};

void StoreDataRecord(std::string_view line, std::uint32_t wordCount, std::uint32_t wordOffset,
                     const AddressState& address, FirmwareImages& images) {
    // A record must hold four hex digits for every word it announces; a short or garbled one
    // stores nothing at all rather than a guess.
    const std::size_t dataDigits = 4 * static_cast<std::size_t>(wordCount);
    if (line.size() < 9 + dataDigits)
        return;
    for (std::size_t j = 0; j < dataDigits; ++j) {
        if (HexDigit(line[9 + j]) < 0)
            return;
    }
    const std::int64_t base = address.segmentValue * 16 + address.linearValue * 65536 + wordOffset;
    for (std::uint32_t j = 0; j < wordCount; ++j) {
        const std::int64_t target = base + j;
        const auto low = static_cast<std::uint8_t>(*HexField(line, 10 + 4 * j, 2));
        const auto high = static_cast<std::uint8_t>(*HexField(line, 12 + 4 * j, 2));
        if (target >= 0 && target < ProgramWordCount) {
            images.StoreProgramWord(target, low, high);
        } else if (target >= EepromWindowStart && target - EepromWindowStart < EepromByteCount) {
            // The window runs to 0x173FF, but only its first 256 addresses have an EEPROM byte;
            // the word's high byte is unused.
            images.StoreEepromByte(target - EepromWindowStart, low);
        }
    }
}

void LoadRecord(std::string_view line, AddressState& address, FirmwareImages& images,
                const HexMessageHandler& onMessage) {
    const auto byteCount = HexField(line, 2, 2);
    const auto loadAddress = HexField(line, 4, 4);
    const auto recordType = HexField(line, 8, 2);
    if (!byteCount || !loadAddress || !recordType)
        return;

    switch (*recordType) {
    case DataRecord:
        StoreDataRecord(line, HalfRoundedToEven(*byteCount), HalfRoundedToEven(*loadAddress), address,
                        images);
        break;
    case EndOfFileRecord:
        // Not the end of loading: records after it are read too.
        break;
    case SegmentRecord:
        if (const auto value = HexField(line, 10, 4))
            address.segmentValue = *value;
        break;
    case LinearRecord:
        if (const auto value = HexField(line, 10, 4))
            address.linearValue = *value;
        break;
    default:
        if (onMessage)
            onMessage(UnsupportedRecordMessage(static_cast<int>(*recordType)));
        break;
    }
}

} // namespace

std::string UnsupportedRecordMessage(int recordType) {
    return "## Error in Hex-File, type: " + std::to_string(recordType);
}

void LoadHexText(std::string_view text, FirmwareImages& images, const HexMessageHandler& onMessage) {
    images.Clear();
    AddressState address;
    // Lines end only at CR LF; a lone CR or LF stays inside its line.
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        const std::size_t lineEnd = text.find("\r\n", lineStart);
        const std::string_view line = text.substr(
            lineStart, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - lineStart);
        if (IsRecordLine(line))
            LoadRecord(line, address, images, onMessage);
        if (lineEnd == std::string_view::npos)
            break;
        lineStart = lineEnd + 2;
    }
}

std::string LoadHexFile(const std::string& path, FirmwareImages& images, const HexMessageHandler& onMessage) {
    LoadHexText(DecodeScrambledFile(path), images, onMessage);
    return ShortenPath(path, 40);
}

} // namespace rq70
