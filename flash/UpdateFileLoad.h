#pragma once

#include "image/FirmwareImages.h"
#include "record/UpdateRecord.h"

#include <QString>

#include <optional>

namespace rq70::flash {

// An update file as rq70-flash read it, once: every device of a run is written from these images,
// and the record describes exactly the bytes they were made from, whatever lies under the path by
// the time an update ends.
struct LoadedFile {
    // Absolute.
    QString path;
    FirmwareImages images;
    UpdateFileFacts facts;
};

// Reads the update file `given` ("" for the one RQ70*.KRV beside rq70-flash; for the installed
// rq70-flash, in the current folder) and loads it as the windows do, with the loader's messages on
// stderr. A file that is missing, cannot be read or holds no data record is refused, with the reason
// on stderr; the caller then ends with ExitNoUpdateFile.
std::optional<LoadedFile> LoadUpdateFile(const QString& given);

} // namespace rq70::flash
