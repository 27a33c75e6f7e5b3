// Message case files (tests/testdata/messages), plain text in the txtar
// layout: the lines before the first "-- name --" line are the comment, which
// names the rule the case exercises; each "-- name --" line opens a section
// that runs to the next one:
//   message   one message as it is sent (its last line end is not part of it)
//   generate  one message too long or too odd to write out, its lines put
//             together without line ends; a line that names a generator
//             stands for what it makes, any other line for itself:
//               repeat N T    T, N times
//               rows N T      T for each row r = 0..N-1, with "{row}" in T
//                             replaced by r, joined by ", "
//               nul           one NUL byte
//   state     what the decoder leaves in the page model after each message
//   check     what vantrel-send --check --verbose says of the messages
// The messages go out in the order of their sections; state and check come
// last (a new case leaves them empty, and an update fills them).
#pragma once

#include <sstream>

#include "tests/test_support.h"

struct MessageCase {
    std::string comment;
    std::vector<std::pair<std::string, std::string>> sections;  // name and text, in order
    std::vector<std::string> messages;                          // made from the sections
};

inline std::string generateMessage(const std::string& lines) {
    std::string m, line;
    for (std::istringstream in(lines); std::getline(in, line);) {
        std::istringstream words(line);
        std::string name, text = line;
        int count = 1, n = 0;  // a line of text that only starts like a generator counts once
        words >> name;
        if ((name == "repeat" || name == "rows") && words >> n)
            count = n, std::getline(words.ignore(1), text);
        if (line == "nul") text.assign(1, '\0');
        for (int r = 0; r < count; ++r) {
            std::string piece = text;
            for (size_t at; name == "rows" && (at = piece.find("{row}")) != std::string::npos;)
                piece.replace(at, 5, std::to_string(r));
            m += (name == "rows" && r > 0 ? ", " : "") + piece;
        }
    }
    return m;
}

inline MessageCase readMessageCase(const std::filesystem::path& path) {
    MessageCase c;
    std::string* text = &c.comment;
    std::string line;
    for (std::istringstream in(readWhole(path)); std::getline(in, line);) {
        if (line.size() > 6 && line.starts_with("-- ") && line.ends_with(" --"))
            text = &c.sections.emplace_back(line.substr(3, line.size() - 6), "").second;
        else
            *text += line + "\n";
    }
    for (const auto& [name, body] : c.sections) {
        if (name == "message") c.messages.push_back(body.substr(0, body.size() - 1));
        if (name == "generate") c.messages.push_back(generateMessage(body));
    }
    return c;
}
