#include "tools/common/args.h"

#include <strings.h>

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

bool endsWith(const char* text, const char* suffix) {
    const size_t length = std::strlen(text);
    const size_t tail = std::strlen(suffix);
    return length >= tail && strcasecmp(text + length - tail, suffix) == 0;
}
