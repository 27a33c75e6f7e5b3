// Command-line pieces the tools share: options given as "--name VALUE" or
// "--name=VALUE", and file names told apart by their ending.
#pragma once

#include <cstdio>

// What reading a tool's command line came to.
enum class ParseOutcome {
    kRun,    // options are fine
    kHelp,   // --help: print the usage and stop
    kError,  // a bad option; its line is on err already
};

// Whether arg is option name, alone or with "=VALUE".
bool isOption(const char* arg, const char* name);

// The value of option name at argv[i]: after its '=', or argv[i + 1] (then i
// moves on). Null, after "PROGRAM: NAME needs a value" on err, when there is none.
const char* optionValue(const char* program, int argc, char** argv, int& i, const char* name,
                        FILE* err);

// The whole number lo..hi that option name gives at argv[i] (i moves on as for
// optionValue). False, after one line on err, when there is none or it is not one.
bool numberValue(const char* program, int argc, char** argv, int& i, const char* name, long lo,
                 long hi, long& out, FILE* err);

// Whether text ends in suffix, letter case aside.
bool endsWith(const char* text, const char* suffix);
