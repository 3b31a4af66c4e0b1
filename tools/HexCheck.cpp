#include "HexCheck.h"

#include "image/HexRecordLine.h"

#include <cstdint>
#include <cstdio>
#include <optional>

namespace krv {

namespace {

std::string TwoHexDigits(unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%02X", value & 0xFFu);
    return buffer;
}

// Text from the file as it goes into a message: quoted, and control characters and bytes from
// 0x7F up as \xNN so that they cannot garble the terminal.
std::string Quoted(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F)
            quoted += "\\x" + TwoHexDigits(byte);
        else
            quoted += c;
    }
    return quoted + "'";
}

// What is wrong with a record line's checksum, or "" when nothing is.
std::string ChecksumProblem(std::string_view line, const rq70::RecordHeader& header) {
    std::uint32_t sum =
        header.byteCount + (header.loadAddress >> 8) + (header.loadAddress & 0xFF) + header.type;
    for (std::uint32_t i = 0; i < header.byteCount; ++i) {
        const std::size_t position = rq70::FirstDataCharacter + 2 * i;
        if (position + 1 > line.size())
            return "malformed record: its byte count announces " + std::to_string(header.byteCount) +
                   " data byte" + (header.byteCount == 1 ? "" : "s") + ", the line holds " +
                   std::to_string(i) + "; no checksum can be expected";
        const std::optional<std::uint32_t> byte = rq70::HexField(line, position, 2);
        if (!byte)
            return "malformed record: data byte " + std::to_string(i + 1) + " is " +
                   Quoted(line.substr(position - 1, 2)) + ", not hex; no checksum can be expected";
        sum += *byte;
    }
    const unsigned expected = (0x100 - (sum & 0xFF)) & 0xFF;
    const std::size_t position = rq70::FirstDataCharacter + 2 * header.byteCount;
    const std::optional<std::uint32_t> found = rq70::HexField(line, position, 2);
    if (found && *found == expected)
        return {};
    const std::string foundText = position > line.size() ? "none" : Quoted(line.substr(position - 1, 2));
    return "wrong checksum: expected " + TwoHexDigits(expected) + ", found " + foundText;
}

} // namespace

HexCheck CheckHexText(std::string_view crLfText) {
    HexCheck check;
    check.dataRecords = rq70::CountDataRecords(crLfText);
    rq70::CrLfLines lines(crLfText);
    std::size_t lineNumber = 0;
    while (const std::optional<std::string_view> line = lines.Next()) {
        ++lineNumber;
        if (!rq70::IsRecordLine(*line))
            continue;
        const std::optional<rq70::RecordHeader> header = rq70::ReadRecordHeader(*line);
        if (!header)
            continue;
        const std::string problem = ChecksumProblem(*line, *header);
        if (problem.empty())
            continue;
        if (check.badRecords.size() < DescribedBadRecordLimit)
            check.badRecords.push_back("line " + std::to_string(lineNumber) + ": " + problem);
        else
            ++check.undescribedBadRecords;
    }
    return check;
}

} // namespace krv
