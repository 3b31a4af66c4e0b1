#pragma once

#include <QLockFile>

#include <memory>

namespace rq70 {

// Claims the one-updater-per-user lock. Null when another updater runs; a lock left behind by a
// crashed updater is taken over.
std::unique_ptr<QLockFile> ClaimSingleInstance();

} // namespace rq70
