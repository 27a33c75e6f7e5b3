// Windows leaves wildcards to each program: the names that FindFirstFile
// matches, files only, sorted without regard to case as Explorer lists them.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "tools/send/wildcards.h"

// The matches of pattern, each with the folder the pattern names, sorted.
static std::vector<std::string> matches(const std::string& pattern) {
    const size_t cut = pattern.find_last_of("\\/:");
    const std::string folder = cut == std::string::npos ? "" : pattern.substr(0, cut + 1);
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            names.push_back(folder + found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return _stricmp(a.c_str(), b.c_str()) < 0;
    });
    return names;
}

bool expandWildcards(std::vector<std::string>& files, FILE* err) {
    std::vector<std::string> expanded;
    for (const std::string& name : files) {
        // Windows file names hold neither '*' nor '?': a name with one is a pattern.
        if (name.find_first_of("*?") == std::string::npos) {
            expanded.push_back(name);
            continue;
        }
        const std::vector<std::string> found = matches(name);
        if (found.empty()) {
            fprintf(err, "vantrel-send: %s: no file matches\n", name.c_str());
            return false;
        }
        expanded.insert(expanded.end(), found.begin(), found.end());
    }
    files.swap(expanded);
    return true;
}
