#include "tools/common/args.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

bool isOption(const char* arg, const char* name) {
    const size_t length = std::strlen(name);
    return std::strncmp(arg, name, length) == 0 && (arg[length] == '\0' || arg[length] == '=');
}

const char* optionValue(const char* program, int argc, char** argv, int& i, const char* name,
                        FILE* err) {
    const size_t length = std::strlen(name);
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=')
        return argv[i] + length + 1;
    if (i + 1 >= argc) {
        std::fprintf(err, "%s: %s needs a value\n", program, name);
        return nullptr;
    }
    return argv[++i];
}

bool numberValue(const char* program, int argc, char** argv, int& i, const char* name, long lo,
                 long hi, long& out, FILE* err) {
    const char* text = optionValue(program, argc, argv, i, name, err);
    if (text == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || n < lo || n > hi) {
        std::fprintf(err, "%s: %s wants %ld to %ld, not '%s'\n", program, name, lo, hi, text);
        return false;
    }
    out = n;
    return true;
}

bool endsWith(const char* text, const char* suffix) {
    const size_t length = std::strlen(text);
    const size_t tail = std::strlen(suffix);
    return length >= tail && strcasecmp(text + length - tail, suffix) == 0;
}
