#include "tools/stream/hls.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "tools/encode/av_error.h"
#include "tools/stream/status.h"

// ---------------------------------------------------------------------------
// Constants

constexpr const char* kProgram = "vantrel-stream";
constexpr const char* kSegmentEnding = ".ts";
constexpr const char* kHalfEnding = ".tmp";  // the muxer writes beside, then renames

// ---------------------------------------------------------------------------
// Internal helpers

static std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

static std::string fileOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The playlist's file name without its ending: what its segments start with.
static std::string stemOf(const std::string& path) {
    const std::string file = fileOf(path);
    const size_t dot = file.rfind('.');
    return dot == std::string::npos || dot == 0 ? file : file.substr(0, dot);
}

// Reads a whole small file into text. False when it cannot be read; a file
// that is not there reads as empty.
static bool readPlaylist(const char* path, std::string& text, std::string& error) {
    text.clear();
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        if (errno == ENOENT) return true;
        error = std::string("cannot read ") + path + ": " + std::strerror(errno);
        return false;
    }
    char block[4096];
    size_t n = 0;
    while ((n = std::fread(block, 1, sizeof block, file)) > 0 &&
           static_cast<long>(text.size()) < kHlsPlaylistBytes)
        text.append(block, n);
    const bool ok = !std::ferror(file);
    std::fclose(file);
    if (!ok) error = std::string("cannot read ") + path;
    return ok;
}

static void noteFailure(HlsWatch& watch, int code, const std::string& name) {
    if (watch.error != 0) return;
    watch.error = code;
    watch.failedName = name;
}

static int openWatched(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                       AVDictionary** options) {
    HlsWatch* watch = static_cast<HlsWatch*>(s->opaque);
    if (watch == nullptr) return avio_open2(pb, url, flags, &s->interrupt_callback, options);
    const int rc = watch->defaultOpen(s, pb, url, flags, options);
    if (!(flags & AVIO_FLAG_WRITE)) return rc;
    if (rc < 0) {
        noteFailure(*watch, rc, url);
        return rc;
    }
    for (int i = 0; i < kHlsWatchedFiles; ++i)
        if (watch->open[i] == nullptr) {
            watch->open[i] = *pb;
            watch->names[i] = url;
            break;
        }
    return rc;
}

// A playlist that failed to be written whole goes: the muxer would rename it
// over the whole one, and the rename now finds nothing. A half segment stays:
// the playlist may name it already, and it plays up to where it stops.
static int closeWatched(AVFormatContext* s, AVIOContext* pb) {
    HlsWatch* watch = static_cast<HlsWatch*>(s->opaque);
    if (watch == nullptr) return avio_close(pb);
    int slot = -1;
    for (int i = 0; i < kHlsWatchedFiles; ++i)
        if (watch->open[i] == pb) slot = i;
    const int before = pb != nullptr ? pb->error : 0;
    const int rc = watch->defaultClose(s, pb);
    if (slot < 0) return rc;
    const int failure = before < 0 ? before : rc;
    if (failure < 0) {
        noteFailure(*watch, failure, watch->names[slot]);
        if (watch->names[slot] == watch->halfPlaylist) unlink(watch->names[slot].c_str());
    }
    watch->open[slot] = nullptr;
    watch->names[slot].clear();
    return failure;
}

// ---------------------------------------------------------------------------
// Public functions

std::vector<std::string> playlistSegments(const std::string& text) {
    std::vector<std::string> names;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (!line.empty() && line[0] != '#') names.push_back(line);
        at = end + 1;
    }
    return names;
}

bool isHlsSegmentName(const std::string& stem, const std::string& fileName) {
    if (fileName.compare(0, stem.size(), stem) != 0) return false;
    size_t at = stem.size();
    const size_t digits = at;
    while (at < fileName.size() && fileName[at] >= '0' && fileName[at] <= '9')
        ++at;
    if (at == digits) return false;
    const std::string rest = fileName.substr(at);
    return rest == kSegmentEnding || rest == std::string(kSegmentEnding) + kHalfEnding;
}

std::string hlsSegmentPattern(const char* playlist) {
    const std::string path = playlist;
    const std::string folder = path.find('/') == std::string::npos ? "" : folderOf(path) + "/";
    std::string pattern;
    for (char c : folder + stemOf(path)) {
        pattern += c;
        if (c == '%') pattern += '%';
    }
    return pattern + "%d" + kSegmentEnding;
}

bool prepareHlsFolder(const char* playlist, bool& continues, std::string& error) {
    continues = false;
    std::string text;
    if (!readPlaylist(playlist, text, error)) return false;
    const std::vector<std::string> listed = playlistSegments(text);
    const std::set<std::string> named(listed.begin(), listed.end());
    continues = !listed.empty();
    const std::string folder = folderOf(playlist);
    const std::string stem = stemOf(playlist);
    const std::string halfPlaylist = fileOf(playlist) + kHalfEnding;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return true;  // the muxer says why it cannot write there
    int removed = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        const bool ours =
            (isHlsSegmentName(stem, name) && named.count(name) == 0) || name == halfPlaylist;
        if (!ours) continue;
        const std::string path = folder == "." ? name : folder + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (unlink(path.c_str()) == 0)
            ++removed;
        else
            sayLine(
                (std::string(kProgram) + ": cannot remove " + path + ": " + std::strerror(errno))
                    .c_str());
    }
    closedir(dir);
    if (removed > 0)
        sayLine((std::string(kProgram) + ": removed " + std::to_string(removed) + " segment" +
                 (removed == 1 ? "" : "s") + " that " + playlist + " no longer names")
                    .c_str());
    return true;
}

void watchHlsFiles(AVFormatContext* format, const char* playlist, HlsWatch& watch) {
    watch.halfPlaylist = std::string(playlist) + kHalfEnding;
    watch.defaultOpen = format->io_open;
    watch.defaultClose = format->io_close2;
    format->opaque = &watch;
    format->io_open = openWatched;
    format->io_close2 = closeWatched;
}

bool hlsWriteFailed(const HlsWatch& watch, std::string& error) {
    int code = watch.error;
    std::string name = watch.failedName;
    for (int i = 0; i < kHlsWatchedFiles && code == 0; ++i)
        if (watch.open[i] != nullptr && watch.open[i]->error < 0) {
            code = watch.open[i]->error;
            name = watch.names[i];
        }
    if (code == 0) return false;
    return !avFail(error, ("cannot write " + name).c_str(), code);
}
