#pragma once

namespace rq70::flash {

// What `rq70-flash --help` says above its options: the commands, the station, the line's
// database, the signals and the exit statuses. The manual page is made from it.
extern const char* const HelpDescription;

} // namespace rq70::flash
