#pragma once

#include <functional>
#include <string>
#include <vector>

namespace rq70 {

// The one pattern an update file is looked for under, beside the updater's executable.
inline constexpr const char* UpdateFilePattern = "RQ70*.KRV";

// The name (without folder) of the first regular file in `folder` whose name matches `pattern`
// ('*' any run, '?' one character, letter case ignored), or "" when there is none or the folder
// cannot be read. Of several matches the first by name is taken, so the choice is stable.
// `yieldOnce`, when given, runs once after a match was found, letting pending window events in.
std::string FindUpdateFile(const std::string& folder, const std::string& pattern,
                           const std::function<void()>& yieldOnce = {});

// The names of every regular file in `folder` matching `pattern`, sorted by name: the first is the
// one FindUpdateFile takes. Empty when there is none or the folder cannot be read.
std::vector<std::string> FindUpdateFiles(const std::string& folder, const std::string& pattern);

// True when the length of the file at `path` can be read: false for a missing file, a folder, or a
// path that ends in a separator. An empty file exists.
bool FileExists(const std::string& path);

// `folder` + one separator unless it already ends in one + `name`.
std::string JoinFolderAndName(const std::string& folder, const std::string& name);

// The folders a package installs programs into. A program started from one of them is the
// installed one, and the update file cannot lie beside it.
bool IsSystemFolder(const std::string& folder);

// Where a program looks for its update file: beside its executable, as a copied program always
// has; for the installed program, in the folder it was started in.
std::string UpdateFileFolder(const std::string& programFolder, const std::string& workingFolder);

// Case-insensitive wildcard match ('*' and '?') of a whole name.
bool MatchesPattern(const std::string& name, const std::string& pattern);

} // namespace rq70
