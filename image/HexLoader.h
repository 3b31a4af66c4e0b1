#pragma once

#include "image/FirmwareImages.h"

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

// Descrambles the update file at `path`, loads it into `images` and returns the status-line text
// for it (the path shortened to 40 characters).
std::string LoadHexFile(const std::string& path, FirmwareImages& images, const HexMessageHandler& onMessage);

} // namespace rq70
