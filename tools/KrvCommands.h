#pragma once

#include "image/FirmwareImages.h"

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace krv {

// ExitFileError also stands for input that pack refuses: both mean "no usable file came out".
enum ExitCode { ExitSuccess = 0, ExitFileError = 1, ExitUsageError = 2 };

// The updater ends lines only at CR LF, while toolchains on Linux end them with LF alone and old
// Mac tools with CR alone; an update file therefore gets CR LF at every line end.
struct CrLfText {
    std::string text;
    std::size_t convertedLineEnds = 0;
};
CrLfText WithCrLfLineEnds(std::string_view text);

// What the updater holds after loading a file, in the two forms `krv dump` prints.
std::string FormatImagesAsJson(const rq70::FirmwareImages& images, const std::vector<std::string>& messages);
std::string FormatImagesAsText(const rq70::FirmwareImages& images, const std::vector<std::string>& messages);

// The commands. Diagnostics go to `err`, one line each, prefixed "krv: ".
// Pack refuses HEX text without a data record unless `force` is set, and warns about bad records.
ExitCode Pack(const std::string& hexPath, const std::string& updatePath, bool force, std::ostream& err);
ExitCode Unpack(const std::string& updatePath, const std::string& hexPath, std::ostream& err);
ExitCode Dump(const std::string& updatePath, bool asJson, std::ostream& out, std::ostream& err);

} // namespace krv
