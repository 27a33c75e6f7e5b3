// Text written into the JSON that the tools print or leave for others to read.
#pragma once

#include <string>

// s as a JSON string literal, quotes included. Bytes outside printable ASCII
// are escaped one by one as \u00XX, so the result is valid JSON whatever
// encoding s was in.
std::string jsonQuoted(const std::string& s);
