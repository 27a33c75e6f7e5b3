// vantrel-send: sends JSON page messages to the page feed, one per connection.
#include <cstdio>
#include <string>

#include "feed/console.h"
#include "feed/net.h"
#include "tools/send/check.h"
#include "tools/send/client.h"
#include "tools/send/options.h"
#include "tools/send/wildcards.h"

// Sends each file in order, pausing opts.pauseMs after an answered message
// when another follows. Returns 0 when every message was answered, 1 when one
// was not (or a file could not be read), 2 when a message was empty: "0#"
// would be answered although the display finds nothing in it.
static int sendFiles(const SendOptions& opts) {
    bool allAnswered = true;
    bool anyEmpty = false;
    bool pauseFirst = false;
    std::string text;
    for (const std::string& name : opts.files) {
        if (!readMessageFile(name.c_str(), text, stderr)) {
            allAnswered = false;
            continue;
        }
        if (text.empty()) {
            fprintf(stderr, "vantrel-send: %s is empty; nothing sent\n",
                    name == "-" ? "standard input" : name.c_str());
            anyEmpty = true;
            continue;
        }
        if (pauseFirst) netPauseMs(opts.pauseMs);
        const bool answered = sendMessage(opts, text, stdout, stderr);
        allAnswered = allAnswered && answered;
        pauseFirst = answered && opts.pauseMs > 0;
    }
    return anyEmpty ? 2 : allAnswered ? 0 : 1;
}

int main(int argc, char** argv) {
    SendOptions opts;
    switch (parseSendOptions(argc, argv, opts, stderr)) {
        case ParseResult::kHelp:
            printSendUsage(stdout);
            return 0;
        case ParseResult::kError:
            return 2;
        case ParseResult::kRun:
            break;
    }
    if (!expandWildcards(opts.files, stderr)) return 2;
    if (opts.files.empty()) {
        opts.files.push_back("-");
        // Without a word, a program waiting for typed input looks hung.
        if (consoleInput())
            fprintf(stderr, "vantrel-send: reading a message from standard input; %s ends it\n",
                    consoleEndOfInput());
    }
    if (opts.check)
        return checkMessages(opts.files,
                             opts.json      ? CheckOutput::kJson
                             : opts.verbose ? CheckOutput::kVerbose
                                            : CheckOutput::kFindings,
                             stdout, stderr);

    if (!netStartup()) {
        fputs("vantrel-send: WSAStartup failed\n", stderr);
        return 1;
    }
    const int status = sendFiles(opts);
    netCleanup();
    return status;
}
