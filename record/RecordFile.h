#pragma once

#include "record/UpdateRecord.h"

#include <QString>

namespace rq70 {

// Where the record goes: $RQ70_UPDATE_RECORD when set, else updates.jsonl in rq70-updater/ under
// $XDG_STATE_HOME (when absolute) or ~/.local/state.
QString UpdateRecordPath();

// Appends the record as one line, creating missing folders (owner-only). The line reaches the
// file in one write, so lines from parallel updates and from both programs never mix, and it is
// on disk when this returns. It is written whole or not at all: a line that does not fit (a full
// disk) is taken back, and a line left torn at the file's end by a crash is never joined. Returns
// "" on success, else one line saying what failed.
QString AppendUpdateRecord(const QString& path, const UpdateRecord& record);

// The same for a line made elsewhere (it ends with its newline), in a file whose folder exists.
QString AppendRecordLine(const QString& path, const QByteArray& line);

} // namespace rq70
