#pragma once

#include <string>
#include <string_view>

namespace rq70 {

// Replaces the file at `path` with `bytes` so that readers see either the old file or the whole
// new one, never a part: the bytes go to a temporary file in the same folder, are flushed to disk
// and only then renamed over `path`. Returns "" on success, otherwise the reason (the system's
// error text), and then leaves neither the temporary file nor any change to `path` behind.
std::string WriteFileAtomically(const std::string& path, std::string_view bytes);

} // namespace rq70
