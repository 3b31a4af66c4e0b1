#pragma once

#include <QString>

namespace rq70 {

// `text` with every character that could steer a terminal replaced by '?': control characters
// (escape sequences, carriage returns, C1 controls), line and paragraph separators and the
// direction overrides that would reorder what the terminal shows. Texts from the device and from
// the update record go through this before they reach a terminal.
QString TerminalSafe(QString text);

} // namespace rq70
