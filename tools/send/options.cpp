#include "tools/send/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Options with a whole-number value, each with the range it accepts.
struct NumberOption {
    const char* name;
    int SendOptions::*field;
    int min;
    int max;
};

constexpr NumberOption kNumberOptions[] = {
    {"port", &SendOptions::port, 1, 65535},
    {"split", &SendOptions::split, 1, kMaxSplit},
    {"delay", &SendOptions::delayMs, 0, kMaxDelayMs},
    {"retry", &SendOptions::retryMs, 0, kMaxRetryMs},
    {"pause", &SendOptions::pauseMs, 0, kMaxPauseMs},
};

bool readNumber(const char* text, int min, int max, int& value) {
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || n < min || n > max) return false;
    value = static_cast<int>(n);
    return true;
}

}  // namespace

ParseResult parseSendOptions(int argc, char** argv, SendOptions& opts, FILE* err) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        // The short forms a user of either platform tries first.
        if (!optionsEnded && (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "/?") == 0))
            return ParseResult::kHelp;
        if (optionsEnded || arg[0] != '-' || std::strcmp(arg, "-") == 0) {
            opts.files.push_back(arg);
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            optionsEnded = true;
            continue;
        }
        if (std::strncmp(arg, "--", 2) != 0) {
            fprintf(err, "vantrel-send: unknown option %s (try --help)\n", arg);
            return ParseResult::kError;
        }

        // Split "--name=value"; otherwise the value, if the option takes one, is
        // the next argument.
        char name[32];
        const char* value = nullptr;
        const char* eq = std::strchr(arg + 2, '=');
        size_t length = eq != nullptr ? static_cast<size_t>(eq - (arg + 2)) : std::strlen(arg + 2);
        if (length >= sizeof name) length = sizeof name - 1;  // too long to be a known option
        std::memcpy(name, arg + 2, length);
        name[length] = '\0';
        if (eq != nullptr) value = eq + 1;

        if (std::strcmp(name, "help") == 0) {
            if (value != nullptr) {
                fprintf(err, "vantrel-send: --help takes no value\n");
                return ParseResult::kError;
            }
            return ParseResult::kHelp;
        }

        bool* flag = std::strcmp(name, "check") == 0     ? &opts.check
                     : std::strcmp(name, "json") == 0    ? &opts.json
                     : std::strcmp(name, "verbose") == 0 ? &opts.verbose
                                                         : nullptr;
        if (flag != nullptr) {
            if (value != nullptr) {
                fprintf(err, "vantrel-send: --%s takes no value\n", name);
                return ParseResult::kError;
            }
            *flag = true;
            continue;
        }

        const NumberOption* number = nullptr;
        for (const NumberOption& option : kNumberOptions)
            if (std::strcmp(name, option.name) == 0) number = &option;
        bool isHost = std::strcmp(name, "host") == 0;
        if (number == nullptr && !isHost) {
            fprintf(err, "vantrel-send: unknown option %s (try --help)\n", arg);
            return ParseResult::kError;
        }
        if (value == nullptr) {
            if (i + 1 >= argc) {
                fprintf(err, "vantrel-send: --%s needs a value\n", name);
                return ParseResult::kError;
            }
            value = argv[++i];
        }
        if (isHost) {
            if (value[0] == '\0') {
                fprintf(err, "vantrel-send: --host needs a value\n");
                return ParseResult::kError;
            }
            opts.host = value;
        } else if (!readNumber(value, number->min, number->max, opts.*(number->field))) {
            fprintf(err, "vantrel-send: --%s wants a whole number from %d to %d, not '%s'\n", name,
                    number->min, number->max, value);
            return ParseResult::kError;
        }
    }
    if ((opts.json || opts.verbose) && !opts.check) {
        fprintf(err, "vantrel-send: --%s goes with --check\n", opts.json ? "json" : "verbose");
        return ParseResult::kError;
    }
    return ParseResult::kRun;
}

void printSendUsage(FILE* out) {
    fprintf(out,
            "usage: vantrel-send [options] [FILE...]\n"
            "\n"
            "Sends each JSON page message FILE (standard input when none is given, or\n"
            "for '-') to the page feed, one connection per message, framed as its length\n"
            "in decimal, '#', and the text as it is. Prints each reply. Exits 0 when\n"
            "every message was answered \"%s\", 1 when one was not, 2 on a bad argument\n"
            "or an empty message (which is not sent).\n"
            "\n"
            "To play the examples, one every four seconds:\n"
            "  vantrel-send --pause 4000 examples/*.json\n"
            "\n"
            "options:\n"
            "  --host HOST    listener address or name (default 127.0.0.1)\n"
            "  --port PORT    listener port (default %d)\n"
            "  --split N      send each message in N pieces (default 1)\n"
            "  --delay MS     pause between two pieces, in milliseconds (default 0)\n"
            "  --pause MS     pause after each file's reply before the next file, in\n"
            "                 milliseconds (default 0)\n"
            "  --retry MS     keep trying to connect for this long (default 0: once)\n"
            "  --check        send nothing; say what the display would do with each\n"
            "                 message: its findings and a summary line (exit 0 when\n"
            "                 clean, 1 with findings)\n"
            "  --verbose      with --check: also every note on what the display does\n"
            "  --json         with --check: print everything as JSON\n"
            "  --help, -h, /? show this text\n",
            kFeedReply, kFeedPort);
}
