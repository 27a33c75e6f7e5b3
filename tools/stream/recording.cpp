#include "tools/stream/recording.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/stream/status.h"

// ---------------------------------------------------------------------------
// Constants

namespace {

constexpr const char* kProgram = "vantrel-stream";
constexpr size_t kExpandedSlack = 64;  // what fields add to a pattern's length, at most per field

// A time field the stream reads back from a name: how many digits it gives
// (0: one or more), or the fields it stands for.
struct TimeField {
    char letter;         // after the '%'
    int digits;          // 0: the seconds since 1970, any number of digits
    const char* spells;  // the fields it is short for; null for a field of digits
};

constexpr TimeField kTimeFields[] = {
    {'Y', 4, nullptr}, {'G', 4, nullptr},    {'m', 2, nullptr},    {'d', 2, nullptr},
    {'H', 2, nullptr}, {'M', 2, nullptr},    {'S', 2, nullptr},    {'y', 2, nullptr},
    {'g', 2, nullptr}, {'C', 2, nullptr},    {'V', 2, nullptr},    {'U', 2, nullptr},
    {'W', 2, nullptr}, {'j', 3, nullptr},    {'u', 1, nullptr},    {'w', 1, nullptr},
    {'s', 0, nullptr}, {'F', 0, "%Y-%m-%d"}, {'T', 0, "%H:%M:%S"}, {'R', 0, "%H:%M"},
};

}  // namespace

// ---------------------------------------------------------------------------
// Globals

int64_t recording_segment_frames = 0;  // set by main before the writer starts
int64_t recording_keep_seconds = 0;    // set by main before the writer starts

// ---------------------------------------------------------------------------
// Internal helpers

static const TimeField* findField(char letter) {
    for (const TimeField& field : kTimeFields)
        if (field.letter == letter) return &field;
    return nullptr;
}

static size_t fileStart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

static std::string folderOf(const std::string& path) {
    const size_t start = fileStart(path);
    if (start == 0) return ".";
    return start == 1 ? "/" : path.substr(0, start - 1);
}

// Where a name's ending starts (".mp4"): its last '.' after the folder, when
// no field follows it; else the name's end.
static size_t endingStart(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot <= fileStart(name)) return name.size();
    return name.find('%', dot) == std::string::npos ? dot : name.size();
}

// The pattern with the short fields (%F %T %R) spelled out.
static std::string spellOut(const std::string& pattern) {
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            const TimeField* field = findField(pattern[i + 1]);
            out +=
                field != nullptr && field->spells != nullptr ? field->spells : pattern.substr(i, 2);
            ++i;
        } else {
            out += pattern[i];
        }
    }
    return out;
}

static bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// "-DIGITS" from at to the end: what unusedName adds.
static bool isSuffix(const std::string& name, size_t at) {
    if (at >= name.size() || name[at] != '-' || at + 1 == name.size()) return false;
    for (size_t i = at + 1; i < name.size(); ++i)
        if (!isDigit(name[i])) return false;
    return true;
}

// Whether name[n..] is what pattern[p..] (spelled out) makes, the suffix
// allowed at the end.
static bool matchFrom(const std::string& pattern, size_t p, const std::string& name, size_t n) {
    if (p == pattern.size()) return n == name.size() || isSuffix(name, n);
    if (pattern[p] != '%' || p + 1 == pattern.size())
        return n < name.size() && name[n] == pattern[p] && matchFrom(pattern, p + 1, name, n + 1);
    if (pattern[p + 1] == '%')
        return n < name.size() && name[n] == '%' && matchFrom(pattern, p + 2, name, n + 1);
    const TimeField* field = findField(pattern[p + 1]);
    if (field == nullptr) return false;
    size_t run = 0;
    while (n + run < name.size() && isDigit(name[n + run]))
        ++run;
    if (field->digits > 0)
        return run >= static_cast<size_t>(field->digits) &&
               matchFrom(pattern, p + 2, name, n + field->digits);
    for (size_t take = run; take >= 1; --take)
        if (matchFrom(pattern, p + 2, name, n + take)) return true;
    return false;
}

static bool isWriting(const char* name, const char* const* writing, int writingCount) {
    for (int i = 0; i < writingCount; ++i) {
        if (writing[i] == nullptr) continue;
        const std::string path = writing[i];
        if (path.compare(fileStart(path), std::string::npos, name) == 0) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Public functions

bool hasTimeFields(const char* pattern) {
    for (const char* p = pattern; *p != '\0'; ++p)
        if (*p == '%') {
            if (p[1] != '%') return true;
            ++p;
        }
    return false;
}

bool checkNamePattern(const char* pattern, std::string& why) {
    const std::string text = pattern;
    const size_t file = fileStart(text);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        if (i + 1 == text.size()) {
            why = "a name cannot end in a lone %; %% stands for a % of its own";
            return false;
        }
        const char letter = text[++i];
        if (letter == '%') continue;
        if (findField(letter) == nullptr) {
            why = std::string("%") + letter +
                  " is not a time field the stream names files with; use %Y %m %d %H %M %S "
                  "(also %y %j %s %F %T %R %G %g %V %U %W %u %w %C, and %% for a %)";
            return false;
        }
        if (i < file) {
            why = "time fields belong in the file's name, not in its folder";
            return false;
        }
    }
    return true;
}

std::string expandNamePattern(const char* pattern, const struct tm& when) {
    const size_t length = std::strlen(pattern);
    std::string out(length * kExpandedSlack / 2 + kExpandedSlack, '\0');
    const size_t n = std::strftime(out.data(), out.size(), pattern, &when);
    out.resize(n);
    return out;
}

std::string unusedName(const std::string& name) {
    struct stat st;
    if (lstat(name.c_str(), &st) != 0 && errno == ENOENT) return name;
    const size_t ending = endingStart(name);
    for (int n = 1; n <= kMaxNameSuffix; ++n) {
        const std::string next =
            name.substr(0, ending) + "-" + std::to_string(n) + name.substr(ending);
        if (lstat(next.c_str(), &st) != 0 && errno == ENOENT) return next;
    }
    return "";
}

bool matchesNamePattern(const char* pattern, const char* fileName) {
    const std::string whole = pattern;
    const std::string file = whole.substr(fileStart(whole));
    const size_t split = endingStart(file);
    const std::string ending = file.substr(split);
    const std::string name = fileName;
    if (name.size() < ending.size() ||
        name.compare(name.size() - ending.size(), ending.size(), ending) != 0)
        return false;
    return matchFrom(spellOut(file.substr(0, split)), 0,
                     name.substr(0, name.size() - ending.size()), 0);
}

int removeExpiredRecordings(const char* pattern, const char* const* writing, int writingCount,
                            int64_t keepSeconds, time_t now) {
    const std::string folder = folderOf(pattern);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return 0;
    int removed = 0;
    while (const dirent* entry = readdir(dir)) {
        if (!matchesNamePattern(pattern, entry->d_name) ||
            isWriting(entry->d_name, writing, writingCount))
            continue;
        const std::string path = folder == "." ? entry->d_name : folder + "/" + entry->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (now - st.st_mtime <= keepSeconds) continue;
        if (unlink(path.c_str()) == 0) {
            ++removed;
            sayLine(
                (std::string(kProgram) + ": removed " + path + ", older than --keep-for").c_str());
        } else {
            sayLine(
                (std::string(kProgram) + ": cannot remove " + path + ": " + std::strerror(errno))
                    .c_str());
        }
    }
    closedir(dir);
    return removed;
}

bool checkRecordingOptions(const StreamTarget& target, int64_t segmentFrames, int64_t keepSeconds,
                           std::string& why) {
    const bool file = target.kind == TargetKind::kFile;
    if (file && hasTimeFields(target.url) && !checkNamePattern(target.url, why)) return false;
    if (segmentFrames == 0 && keepSeconds == 0) return true;
    const std::string option = segmentFrames > 0 ? "--segment" : "--keep-for";
    if (!file) {
        why = option + " is for a recording (.mp4 .mkv .ts), not a playlist or a network stream";
        return false;
    }
    if (!hasTimeFields(target.url)) {
        why = option +
              " needs a recording named by its start time: put time fields in its name, "
              "such as -o archive-%Y%m%d-%H%M%S.mp4";
        return false;
    }
    return true;
}

bool checkOutputPath(const StreamTarget& target, bool overwrite, std::string& why) {
    if (target.kind == TargetKind::kNetwork) return true;
    if (target.kind == TargetKind::kFile && hasTimeFields(target.url)) return true;
    struct stat st;
    if (stat(target.url, &st) != 0) return true;
    if (!S_ISREG(st.st_mode)) {
        why = std::string(target.url) +
              " is not a regular file (a FIFO, a device or a folder); the stream writes "
              "a file of its own";
        return false;
    }
    if (target.kind == TargetKind::kFile && !overwrite) {
        why = std::string(target.url) + " exists; -y replaces it";
        return false;
    }
    return true;
}
