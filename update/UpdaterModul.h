#pragma once

#include "image/FirmwareImages.h"
#include "link/LongOperation.h"
#include "link/SerialLink.h"

namespace rq70 {

// Everything the updater's procedures share: the firmware images of the loaded update file, the
// serial link with its monitor timer, the abort flag of the Abort buttons, and which long
// operation is running. main() owns the one instance; tests make their own.
struct UpdaterModul {
    FirmwareImages images;
    SerialLink link;
    // Set by the Abort buttons; the search and the update look at it between units of work.
    bool AbortRequested = false;
    LongOperation running = LongOperation::None;
};

} // namespace rq70
