#pragma once

#include "image/FirmwareImages.h"

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace krv {

enum ExitCode { ExitSuccess = 0, ExitFileError = 1, ExitUsageError = 2 };

// The updater ends lines only at CR LF, while toolchains on Linux end them with LF alone and old
// Mac tools with CR alone; an update file therefore gets CR LF at every line end.
struct CrLfText {
    std::string text;
    std::size_t convertedLineEnds = 0;
};
CrLfText WithCrLfLineEnds(std::string_view text);

// True when some line of CR LF text starts with ':', i.e. the updater would find a record in it.
bool HoldsRecordLine(std::string_view crLfText);

// What the updater holds after loading a file, in the two forms `krv dump` prints.
std::string FormatImagesAsJson(const rq70::FirmwareImages& images, const std::vector<std::string>& messages);
std::string FormatImagesAsText(const rq70::FirmwareImages& images, const std::vector<std::string>& messages);

// The commands. Diagnostics go to `err`, one line each, prefixed "krv: ".
ExitCode Pack(const std::string& hexPath, const std::string& updatePath, std::ostream& err);
ExitCode Unpack(const std::string& updatePath, const std::string& hexPath, std::ostream& err);
ExitCode Dump(const std::string& updatePath, bool asJson, std::ostream& out, std::ostream& err);

} // namespace krv
