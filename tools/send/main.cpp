// vantrel-send: sends JSON page messages to the page feed, one per connection.
#include <cstdio>
#include <string>

#include "feed/net.h"
#include "tools/send/check.h"
#include "tools/send/client.h"
#include "tools/send/options.h"

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
    if (opts.files.empty()) opts.files.push_back("-");
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
    bool allAnswered = true;
    std::string text;
    for (const char* name : opts.files) {
        if (!readMessageFile(name, text, stderr) || !sendMessage(opts, text, stdout, stderr))
            allAnswered = false;
    }
    netCleanup();
    return allAnswered ? 0 : 1;
}
