// message_seeds DIR FILE...: writes every message of the message case files
// into DIR, one file each, generated ones made: the decoder fuzzer's seeds.
#include <fstream>

#include "tests/feed/message_case.h"

int main(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        const MessageCase c = readMessageCase(argv[i]);
        const std::string name = std::filesystem::path(argv[i]).stem().string();
        for (size_t m = 0; m < c.messages.size(); ++m)
            std::ofstream(std::filesystem::path(argv[1]) / (name + "-" + std::to_string(m + 1)),
                          std::ios::binary)
                << c.messages[m];
    }
}
