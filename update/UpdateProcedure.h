#pragma once

#include "link/SerialLink.h"
#include "update/UpdateView.h"
#include "update/UpdaterModul.h"

namespace rq70 {

// The update's memory map: words below 256 hold the boot loader and are never touched; erasing
// goes by 32-word rows and writing by 4-word blocks from there.
inline constexpr int FirstUpdatedWord = 256;
inline constexpr int EraseRowWords = 32;
inline constexpr int WriteBlockWords = 4;

// The progress window's phase line.
inline constexpr const char* EraseCaption = "Erasing Flash...";
inline constexpr const char* ProgramCaption = "Writing program data...";
inline constexpr const char* EepromCaption = "Writing EEPROM data...";

// "erase", "program", "eeprom", or "" for None: how logs and the update record name a phase.
QString PhaseName(UpdatePhase phase);

struct UpdateResult {
    enum Outcome {
        Succeeded,
        Failed,
        // The run did not start: another search or update is running...
        Busy,
        // ...or the chosen port could not be opened (see `open`).
        PortNotOpened,
    } outcome = Failed;
    OpenResult open;

    // What a failed run got stuck on, for logs and the update record; the windows show none of it
    // beyond the verify message.
    bool aborted = false;
    UpdatePhase failedPhase = UpdatePhase::None;
    // The program word whose echo did not match, or whose write was refused; -1 for none.
    int failedWord = -1;
    QString reason;
    // After a success: the identification text read from the device (or the query's own text).
    QString identification;
};

// Erases, writes with read-back check and EEPROM-writes the device from the images, on COM
// `portNumber` (the port chosen in the port list; 0 for the port the link has open): when that is
// not the port already open, it is opened first, as the search would. When it is the device the
// link holds but its line went away, that device is opened again wherever it is now, or the run
// does not start. Shows its progress and verdict through `view`.
// `replyTimeoutMs` is the wait for each reply; only tests shorten it.
UpdateResult RunUpdate(UpdaterModul& state, UpdateView& view, int portNumber,
                       int replyTimeoutMs = SerialLink::ReplyTimeoutMs);

} // namespace rq70
