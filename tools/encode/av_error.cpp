#include "tools/encode/av_error.h"

extern "C" {
#include <libavutil/error.h>
}

bool avFail(std::string& error, const char* what, int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    error = std::string(what) + ": " + text;
    return false;
}

bool avFail(std::string& error, const char* what) {
    error = what;
    return false;
}
