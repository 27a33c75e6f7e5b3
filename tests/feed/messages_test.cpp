// The message case files (tests/feed/message_case.h): each file's messages go
// through the decoder, into a page model of the test's own, and through the
// page checker, and what the two make of them must be what the file's state
// and check sections say.
//
// VANTREL_UPDATE_MESSAGES=1 writes what they make now into those sections
// instead, for a new case or a deliberate change of wording; review the diff
// it leaves (git diff tests/testdata/messages).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "feed/decode.h"
#include "tests/feed/message_case.h"
#include "tools/send/check.h"

namespace {

// Appends format with value, unless value is start.
void field(std::string& s, const char* format, int value, int start = 0) {
    char buf[32];
    snprintf(buf, sizeof buf, format, value);
    if (value != start) s += buf;
}

// The model, only what differs from start-up: a line of control bytes and
// flags, then a line for each changed record and one for each of its rows that
// holds anything: attributes (a), colour (c), row number (n), size (s) and text.
std::string state(const PrivateModel& m) {
    static const PrivateModel start;
    std::string s;
    field(s, " solid %02x", m.omcw[kSolidFlags], start.omcw[kSolidFlags]);
    field(s, " top %d", m.omcw[kTopPage], start.omcw[kTopPage]);
    field(s, " ldl %d", m.omcw[kLdlPage], start.omcw[kLdlPage]);
    s += std::string(m.solidDirty ? " solid_dirty" : "") + (m.pageDirty ? " page_dirty" : "");
    s = s.empty() ? s : s.substr(1) + "\n";
    for (int n = 0; n < kPageCount; ++n) {
        const PageRecord& p = m.pages[n];
        if (std::memcmp(&p, &start.pages[n], sizeof p) == 0) continue;
        s += "page " + std::to_string(n) + " lines " + std::to_string(p.lineCount);
        field(s, " number %d", p.pageNumber, n);
        field(s, " alert %x", p.alertFlags);
        field(s, " motion %x", p.motionFlags);
        for (int r = 0; r < kRowCount; ++r) {
            std::string row;
            field(row, " a%x", p.style[r].rowAttr);
            field(row, " c%d", p.style[r].rowColor);
            field(row, " n%d", p.shape[r].rowNumber);
            field(row, " s%x", p.shape[r].rowSize);
            const char* text = reinterpret_cast<const char*>(p.rowText[r]);
            if (text[0] != '\0')
                row += " \"" + std::string(text, strnlen(text, kRowTextSize)) + "\"";
            if (!row.empty()) s += "\n  r" + std::to_string(r) + row;
        }
        s += "\n";
    }
    return s.empty() ? "unchanged\n" : s;
}

// What vantrel-send --check --verbose 1.json 2.json ... prints when those files
// hold the messages in order.
std::string check(const std::vector<std::string>& messages) {
    const TempFolder dir("messages");
    std::vector<std::string> files;
    for (size_t m = 0; m < messages.size(); ++m)
        files.push_back(dir.write(std::to_string(m + 1) + ".json", messages[m]));
    FILE* out = std::fopen((dir.path / "out").string().c_str(), "wb");
    checkMessages(files, CheckOutput::kVerbose, out, out);
    std::fclose(out);
    std::string s = readWhole(dir.path / "out");
    const std::string folder = (dir.path / "").string();  // the files are named as given
    for (size_t at; (at = s.find(folder)) != std::string::npos;)
        s.erase(at, folder.size());
    return s;
}

TEST(MessageCases, DecoderAndCheckerDoWhatEachFileSays) {
    const bool update = std::getenv("VANTREL_UPDATE_MESSAGES") != nullptr;
    for (const auto& entry : std::filesystem::directory_iterator(VANTREL_MESSAGE_CASES)) {
        if (entry.path().extension() != ".txt") continue;
        MessageCase c = readMessageCase(entry.path());
        ASSERT_TRUE(!c.messages.empty() && c.sections.size() >= 3 &&
                    c.sections.rbegin()[1].first == "state" && c.sections.back().first == "check")
            << entry.path() << ": messages, then state and check (empty in a new case, to update)";
        auto model = std::make_unique<PrivateModel>();
        std::string decoded;
        for (size_t m = 0; m < c.messages.size(); ++m) {
            testing::internal::CaptureStdout();  // the alert switch line
            decodeMessageInto(model->view(), c.messages[m].c_str(), nullptr);
            const std::string printed = testing::internal::GetCapturedStdout();
            decoded += (c.messages.size() > 1 ? "message " + std::to_string(m + 1) + "\n" : "") +
                       state(*model) + (printed.empty() ? "" : "stdout: " + printed);
        }
        std::string text = c.comment;
        for (auto& [section, body] : c.sections) {
            const std::string made = section == "state"   ? decoded
                                     : section == "check" ? check(c.messages)
                                                          : body;
            if (!update) {
                EXPECT_EQ(made, body) << entry.path() << ", section " << section;
            }
            text += "-- " + section + " --\n" + made;
        }
        if (update) std::ofstream(entry.path(), std::ios::binary) << text;
    }
}

}  // namespace
