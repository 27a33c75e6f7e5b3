// File arguments with wildcards, as the user's shell leaves them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Replaces each name in files that holds a wildcard ('*' or '?') by the files
// it matches, in sorted order, as a POSIX shell does before the program runs;
// on Windows the program must do it itself, since cmd passes examples\*.json
// as it is typed. Elsewhere the names stay as they are. A pattern that matches
// no file prints one line naming it on err and returns false.
bool expandWildcards(std::vector<std::string>& files, FILE* err);
