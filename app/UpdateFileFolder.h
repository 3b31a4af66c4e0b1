#pragma once

#include <QString>

namespace rq70 {

// The folders a package installs programs into. An updater started from one of them is the
// installed program, and the update file cannot lie beside it.
bool IsSystemFolder(const QString& folder);

// Where the updater looks for its update file: beside its executable, as a copied updater always
// has; for the installed updater, in the folder it was started in.
QString UpdateFileFolder(const QString& programFolder, const QString& workingFolder);

} // namespace rq70
