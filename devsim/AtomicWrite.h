#pragma once

#include <string>
#include <string_view>

namespace devsim {

// Replaces the file at `path` with `bytes` through a temporary file in the same folder and a
// rename, so a test reading the dump sees all of it or nothing. "" on success, else the reason.
std::string WriteFileAtomically(const std::string& path, std::string_view bytes);

} // namespace devsim
