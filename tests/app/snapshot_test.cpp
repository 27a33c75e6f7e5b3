// vantrel-snapshot: its pieces, and the tool run as a program (its pictures
// are checked against the real window by the end-to-end tests).
#include "tools/snapshot/snapshot.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

TEST(SnapshotTime, ParsesExistingLocalTimesOnly) {
    const std::pair<const char*, int> cases[] = {
        // text, weekday (-1: rejected)
        {"2025-01-05 09:05:07", 0},    {"2024-02-29 23:59:59", 4},  // a leap day, Thursday
        {"2025-02-29 12:00:00", -1},   {"2025-04-31 12:00:00", -1},
        {"2025-13-01 12:00:00", -1},   {"2025-01-05 24:00:00", -1},
        {"2025-01-05 09:60:00", -1},   {"2025-01-05 09:05", -1},
        {"2025-01-05 09:05:07 x", -1}, {"", -1},
    };
    for (const auto& [text, wday] : cases) {
        struct tm t = {};
        EXPECT_EQ(parseSnapshotTime(text, t), wday >= 0) << text;
        if (wday < 0) continue;
        EXPECT_EQ(t.tm_wday, wday) << text;
        EXPECT_EQ(t.tm_hour, std::atoi(text + 11)) << text;
    }
}

TEST(SnapshotFrame, FramesAndBlanksTheTextAsTheListenerDoes) {
    const std::string big = "{\"pad\":\"" + std::string(5000, 'x') + "\"}";
    const struct {
        std::string text;
        bool ok;
        std::string decoded;  // what the decoder reads: up to the first NUL
    } cases[] = {
        {"{\"a\":1}", true, "  {\"a\":1}"},
        {"xx{}", true, "    {}"},
        {"hello", false, ""},
        {"", false, ""},
        {std::string("a\0{}", 4), true, "    {}"},               // a NUL before '{' is blanked
        {std::string("{}\0{\"b\":2}", 10), true, "   {}"},       // one after it ends the text
        {big, true, std::string(5, ' ') + big.substr(0, 4090)},  // 4095 bytes of "5010#{..."
    };
    for (const auto& c : cases) {
        std::string framed;
        EXPECT_EQ(frameAsListener(c.text, framed), c.ok) << c.text.substr(0, 20);
        EXPECT_EQ(std::string(framed.c_str()), c.decoded) << c.text.substr(0, 20);
    }
}

TEST(SnapshotTool, RunsAsAProgram) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("vantrel-snapshot-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "plain.txt") << "no object here";
    std::ofstream(dir / "ldl.json") << R"({"ldlPage": 0})";
    const std::string fonts = "--fonts '" VANTREL_TEST_FONT_DIR "' ";
    const struct {
        std::string args;
        int status;
        const char* message;  // in standard error
    } cases[] = {
        {"--help", 0, ""},
        {"--frames 0", 2, "--frames wants 1 to 1000000"},
        {"--time tomorrow", 2, "--time wants"},
        {"--colour red", 2, "unknown option --colour"},
        {"-o", 2, "-o needs a value"},
        {fonts + "missing.json", 1, "cannot read missing.json"},
        {"ldl.json", 1, "no TIGA fonts could be loaded"},  // the folder holds no fonts
        {fonts + "--time '2025-01-05 09:05:07' --frames 3 -o out.png plain.txt ldl.json", 0,
         "plain.txt: no JSON object in it; skipped"},
    };
    for (const auto& c : cases) {
        const int status = std::system(("cd '" + dir.string() + "' && '" VANTREL_SNAPSHOT "' " +
                                        c.args + " >/dev/null 2>err.txt")
                                           .c_str());
        std::ifstream in(dir / "err.txt");
        const std::string err{std::istreambuf_iterator<char>(in), {}};
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status) << c.args;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.args << ": " << err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "snapshot.png"));  // nothing written on a failure
    EXPECT_TRUE(std::filesystem::exists(dir / "out.png"));
    std::filesystem::remove_all(dir);
}

}  // namespace
