#pragma once

#include "common/InterruptSignal.h"
#include "link/PortSearch.h"
#include "update/UpdaterModul.h"

#include <optional>

namespace rq70::flash {

// A boot loader that answered but whose port failed before it gave its identification: whatever
// is on the port now, it is no device a script can rely on. The message that says so.
QString IdentificationLost(const QString& port);

// The same search as "Auto Detect...": COM1 to COM20, two pings each. A signal of `interrupt`
// stops it after the ping under way. Says why when it finds nothing, or a device that went away
// before it told who it is; NothingFoundStatus then gives the exit status. The port found is left
// open.
std::optional<SearchResult> Search(UpdaterModul& state, InterruptSignal& interrupt);
int NothingFoundStatus(const UpdaterModul& state);

} // namespace rq70::flash
