// One line of text for a failed call into FFmpeg's libraries.
#pragma once

#include <string>

// Sets error to "what: the library's text for code" and returns false, so a
// failing step reads `return avFail(error, "cannot ...", rc);`.
bool avFail(std::string& error, const char* what, int code);

// Sets error to what and returns false.
bool avFail(std::string& error, const char* what);
