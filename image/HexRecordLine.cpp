#include "image/HexRecordLine.h"

namespace rq70 {

std::optional<std::string_view> CrLfLines::Next() {
    if (rest_.empty())
        return std::nullopt;
    const std::size_t end = rest_.find("\r\n");
    const std::string_view line = rest_.substr(0, end);
    rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 2);
    return line;
}

bool IsRecordLine(std::string_view line) {
    return !line.empty() && line.front() == ':' && line.find('\0') == std::string_view::npos;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

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

std::optional<RecordHeader> ReadRecordHeader(std::string_view line) {
    const auto byteCount = HexField(line, 2, 2);
    const auto loadAddress = HexField(line, 4, 4);
    const auto type = HexField(line, 8, 2);
    if (!byteCount || !loadAddress || !type)
        return std::nullopt;
    return RecordHeader{*byteCount, *loadAddress, *type};
}

std::size_t CountDataRecords(std::string_view crLfText) {
    std::size_t count = 0;
    CrLfLines lines(crLfText);
    while (const std::optional<std::string_view> line = lines.Next()) {
        if (!IsRecordLine(*line))
            continue;
        const std::optional<RecordHeader> header = ReadRecordHeader(*line);
        count += header && header->type == DataRecord;
    }
    return count;
}

} // namespace rq70
