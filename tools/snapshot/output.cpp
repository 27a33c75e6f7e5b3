#include "tools/snapshot/output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr int kMaxFieldWidth = 9;               // a frame number has at most 7 digits
constexpr mode_t kNewFileMode = 0666;           // before the umask, as fopen creates files
constexpr const char* kTempSuffix = ".XXXXXX";  // mkstemp fills in the X's

// Walks pattern; with out it also writes the name. Returns the field count
// (0 or 1), -1 when malformed, -2 when out is too small.
static int expandPattern(const char* pattern, long frame, char* out, size_t size) {
    int fields = 0;
    size_t used = 0;
    for (const char* p = pattern; *p != '\0'; ++p) {
        char piece[32];
        size_t length = 1;
        piece[0] = *p;
        if (*p == '%') {
            if (p[1] == '%') {
                ++p;
            } else {
                const char* field = p + 1;
                const bool zero = *field == '0';
                if (zero) ++field;
                int width = 0;
                while (*field >= '0' && *field <= '9' && width <= kMaxFieldWidth)
                    width = width * 10 + (*field++ - '0');
                if (*field != 'd' || width > kMaxFieldWidth || ++fields > 1) return -1;
                length = static_cast<size_t>(
                    std::snprintf(piece, sizeof piece, zero ? "%0*ld" : "%*ld", width, frame));
                p = field;
            }
        }
        if (out != nullptr) {
            if (used + length >= size) return -2;
            std::memcpy(out + used, piece, length);
        }
        used += length;
    }
    if (out != nullptr) out[used] = '\0';
    return fields;
}

int framePatternFields(const char* pattern) {
    return expandPattern(pattern, 0, nullptr, 0);
}

bool formatFramePath(const char* pattern, long frame, char* out, size_t size) {
    return size > 0 && expandPattern(pattern, frame, out, size) >= 0;
}

bool makeTempBeside(const char* path, char* out, size_t size) {
    if (std::snprintf(out, size, "%s%s", path, kTempSuffix) >= static_cast<int>(size)) {
        errno = ENAMETOOLONG;
        return false;
    }
    const int fd = mkstemp(out);
    if (fd < 0) return false;
    // mkstemp makes the file private; the output gets the modes any new file
    // of this user would get.
    const mode_t mask = umask(0);
    umask(mask);
    const bool ok = fchmod(fd, kNewFileMode & ~mask) == 0;
    const int saved = errno;
    close(fd);
    if (!ok) {
        std::remove(out);
        errno = saved;
    }
    return ok;
}
