#include "image/HexLoader.h"

#include "image/HexRecordLine.h"
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

// value / 2 with an exact half going to the even neighbour: 1 -> 0, 3 -> 2, 5 -> 2, 7 -> 4.
std::uint32_t HalfRoundedToEven(std::uint32_t value) {
    std::uint32_t half = value / 2;
    if (value % 2 == 1 && half % 2 == 1)
        ++half;
    return half;
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
    const std::optional<RecordHeader> header = ReadRecordHeader(line);
    if (!header)
        return;

    switch (header->type) {
    case DataRecord:
        StoreDataRecord(line, HalfRoundedToEven(header->byteCount), HalfRoundedToEven(header->loadAddress),
                        address, images);
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
            onMessage(UnsupportedRecordMessage(static_cast<int>(header->type)));
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
    CrLfLines lines(text);
    while (const std::optional<std::string_view> line = lines.Next()) {
        if (IsRecordLine(*line))
            LoadRecord(*line, address, images, onMessage);
    }
}

HexFileLoad LoadHexFile(const std::string& path, FirmwareImages& images, const HexMessageHandler& onMessage) {
    DecodedFile decoded = DecodeScrambledFile(path);
    LoadHexText(decoded.text, images, onMessage);
    return {ShortenPath(path, 40), std::move(decoded.file)};
}

} // namespace rq70
