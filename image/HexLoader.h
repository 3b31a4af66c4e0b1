#pragma once

#include "image/FirmwareImages.h"
#include "image/ScrambledFile.h"

#include <functional>
#include <string>
#include <string_view>

namespace rq70 {

// Receives, once per record of a type the device has no use for, the text the updater shows in a
// message box before it goes on with the next line.
using HexMessageHandler = std::function<void(const std::string& message)>;

// The message for an unsupported record type: "## Error in Hex-File, type: 3".
std::string UnsupportedRecordMessage(int recordType);

// Clears the images and fills them from Intel HEX text as this device reads it: lines end only at
// CR LF; a line that is empty, does not start with ':' or holds a NUL anywhere is ignored; byte
// count and load address are halved with halves rounded to even; record types 0, 1, 2 and 4 are
// understood, any other is reported through `onMessage`. Malformed records store nothing.
void LoadHexText(std::string_view text, FirmwareImages& images, const HexMessageHandler& onMessage);

// What LoadHexFile read and what the status line shows of it.
struct HexFileLoad {
    // The path shortened to 40 characters.
    std::string status;
    // The file's bytes exactly as read, still scrambled: what the images were made from, read
    // once. When the file could not be read whole, the reason instead, and the images are erased.
    FileContent file;
};

// Reads the update file at `path` once, descrambles it and loads it into `images`.
HexFileLoad LoadHexFile(const std::string& path, FirmwareImages& images, const HexMessageHandler& onMessage);

} // namespace rq70
