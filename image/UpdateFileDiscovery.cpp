#include "image/UpdateFileDiscovery.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace rq70 {

namespace {

bool SameLetter(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

} // namespace

bool MatchesPattern(const std::string& name, const std::string& pattern) {
    // Iterative glob match with backtracking to the last '*': linear in practice, never recursive.
    std::size_t n = 0, p = 0;
    std::size_t starAt = std::string::npos, nameAtStar = 0;
    while (n < name.size()) {
        if (p < pattern.size() &&
            (pattern[p] == '?' || (pattern[p] != '*' && SameLetter(pattern[p], name[n])))) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starAt = p++;
            nameAtStar = n;
        } else if (starAt != std::string::npos) {
            p = starAt + 1;
            n = ++nameAtStar;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::vector<std::string> FindUpdateFiles(const std::string& folder, const std::string& pattern) {
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator entries(folder.empty() ? fs::path(".") : fs::path(folder), error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        std::string name = entries->path().filename().string();
        if (!MatchesPattern(name, pattern))
            continue;
        // Only a file can be an update file; a folder or device that happens to match is passed over.
        std::error_code statusError;
        if (entries->is_regular_file(statusError))
            names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string FindUpdateFile(const std::string& folder, const std::string& pattern,
                           const std::function<void()>& yieldOnce) {
    const std::vector<std::string> names = FindUpdateFiles(folder, pattern);
    if (names.empty())
        return {};
    if (yieldOnce)
        yieldOnce();
    return names.front();
}

bool FileExists(const std::string& path) {
    if (path.empty() || path.back() == '/')
        return false;
    std::error_code error;
    [[maybe_unused]] const auto length = fs::file_size(fs::path(path), error);
    return !error;
}

bool IsSystemFolder(const std::string& folder) {
    // A fixed list, compared by name: what a folder allows (writable by root, say) would make the
    // choice depend on who starts the program.
    std::string clean = fs::path(folder).lexically_normal().string();
    if (clean.size() > 1 && clean.back() == '/')
        clean.pop_back();
    return clean == "/bin" || clean == "/usr/bin" || clean == "/usr/local/bin";
}

std::string UpdateFileFolder(const std::string& programFolder, const std::string& workingFolder) {
    return IsSystemFolder(programFolder) ? workingFolder : programFolder;
}

std::string JoinFolderAndName(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

} // namespace rq70
