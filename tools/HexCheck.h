#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace krv {

// What `krv pack` looks for in HEX text before it becomes an update file. The updater checks
// neither: it "updates" a device from a file without data, and it never looks at a checksum.

// Bad records described one by one before the rest are only counted, so that a broken big file
// does not flood the terminal.
inline constexpr std::size_t DescribedBadRecordLimit = 10;

struct HexCheck {
    std::size_t dataRecords = 0;
    // The first DescribedBadRecordLimit bad records in line order, each "line N: what is wrong".
    std::vector<std::string> badRecords;
    std::size_t undescribedBadRecords = 0;
};

// Reads CR LF text line by line exactly as the updater does (lines end only at CR LF; a record
// line starts with ':' and holds no NUL; line numbers count from 1).
//
// A data record is a record line whose byte count, load address and type are hex and whose type
// is 00: every line the updater hands on to store data. Whether its data then lands anywhere is
// left to `krv dump`; a record whose data is garbled is counted but reported below.
//
// Every record line whose byte count, load address and type are hex is checked, whatever its type;
// the updater passes the other lines over. Its checksum field is the two characters after the
// `byte count` data bytes and must be the two's complement of the sum of the bytes from the byte
// count through the last data byte. Bad are a record whose checksum field is missing, not two hex
// digits or another value (a wrong checksum), and a record whose data bytes are missing or not
// hex, so that no checksum can be expected (reported as malformed instead). Characters after the
// checksum are ignored, as the updater ignores them.
HexCheck CheckHexText(std::string_view crLfText);

} // namespace krv
