#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace rq70 {

// `text` with every character that could steer a terminal replaced by '?': control characters
// (escape sequences, bells, carriage returns, line feeds, C1 controls), line and paragraph
// separators and the direction overrides that would reorder what the terminal shows. Every text
// that comes from a device, a file, sysfs or a command line passes through this on its way to a
// terminal or a log; JSON output keeps texts as they are and escapes them instead.
QString TerminalSafe(QString text);

// The same for UTF-8 bytes (file names, messages of the programs written in plain C++); bytes that
// are not UTF-8 show as the replacement character.
std::string TerminalSafeUtf8(std::string_view text);

} // namespace rq70
