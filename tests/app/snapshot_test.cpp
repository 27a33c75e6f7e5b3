#include "tools/snapshot/snapshot.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct TimeCase {
    const char* text;
    bool ok;
    int wday, hour;  // when ok
};

TEST(SnapshotTime, ParsesLocalTimesAndRejectsTheRest) {
    const TimeCase cases[] = {
        {"2025-01-05 09:05:07", true, 0, 9},
        {"2024-02-29 23:59:59", true, 4, 23},  // a leap day, Thursday
        {"2025-12-31 00:00:00", true, 3, 0},
        {"2025-02-29 12:00:00", false, 0, 0},  // no such day
        {"2025-04-31 12:00:00", false, 0, 0},
        {"2025-13-01 12:00:00", false, 0, 0},
        {"2025-01-05 24:00:00", false, 0, 0},
        {"2025-01-05 09:60:00", false, 0, 0},
        {"2025-01-05 09:05", false, 0, 0},
        {"2025-01-05 09:05:07 x", false, 0, 0},
        {"yesterday", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const TimeCase& c : cases) {
        struct tm t = {};
        EXPECT_EQ(parseSnapshotTime(c.text, t), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(t.tm_wday, c.wday) << c.text;
        EXPECT_EQ(t.tm_hour, c.hour) << c.text;
    }
}

struct FrameCase {
    const char* name;
    std::string text;
    bool ok;
    std::string decoded;  // what the decoder reads: up to the first NUL
};

TEST(SnapshotFrame, BlanksThePrefixAsTheListenerDoes) {
    const FrameCase cases[] = {
        {"plain object", "{\"a\":1}", true, "  {\"a\":1}"},
        {"text before the object", "xx{}", true, "    {}"},
        {"no object", "hello", false, ""},
        {"empty file", "", false, ""},
        {"NUL before the object is blanked too", std::string("a\0{}", 4), true, "    {}"},
        {"NUL after the object ends the text", std::string("{}\0{\"b\":2}", 10), true, "   {}"},
    };
    for (const FrameCase& c : cases) {
        std::string framed;
        EXPECT_EQ(frameAsListener(c.text, framed), c.ok) << c.name;
        EXPECT_EQ(std::string(framed.c_str()), c.decoded) << c.name;
    }
}

TEST(SnapshotFrame, KeepsAtMost4095BytesOfTheFramedMessage) {
    const std::string text = "{\"pad\":\"" + std::string(5000, 'x') + "\"}";
    std::string framed;
    ASSERT_TRUE(frameAsListener(text, framed));
    EXPECT_EQ(framed.size(), 4095u);
    EXPECT_EQ(framed.substr(0, 6), "     {");  // "5010#" blanked
}

// Runs vantrel-snapshot in dir with args; returns its exit status, stderr in err.
int runSnapshot(const fs::path& dir, const std::string& args, std::string& err) {
    const fs::path errFile = dir / "stderr.txt";
    const std::string command = "cd '" + dir.string() + "' && '" VANTREL_SNAPSHOT "' " + args +
                                " >/dev/null 2>'" + errFile.string() + "'";
    const int status = std::system(command.c_str());
    std::ifstream in(errFile);
    err.assign(std::istreambuf_iterator<char>(in), {});
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SnapshotToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("vantrel-snapshot-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    void write(const char* name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
    }

    fs::path dir;
    std::string err;
};

TEST_F(SnapshotToolTest, HelpAndBadOptions) {
    EXPECT_EQ(runSnapshot(dir, "--help", err), 0);
    EXPECT_EQ(runSnapshot(dir, "--frames 0", err), 2);
    EXPECT_NE(err.find("--frames"), std::string::npos) << err;
    EXPECT_EQ(runSnapshot(dir, "--time tomorrow", err), 2);
    EXPECT_NE(err.find("--time"), std::string::npos) << err;
    EXPECT_EQ(runSnapshot(dir, "--colour red", err), 2);
    EXPECT_EQ(runSnapshot(dir, "-o", err), 2);
}

TEST_F(SnapshotToolTest, UnreadableMessageNamesTheFile) {
    EXPECT_EQ(runSnapshot(dir, "--fonts '" VANTREL_TEST_FONT_DIR "' missing.json", err), 1);
    EXPECT_NE(err.find("cannot read missing.json"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "snapshot.png"));
}

TEST_F(SnapshotToolTest, MissingFontsSayWhereToLook) {
    EXPECT_EQ(runSnapshot(dir, "", err), 1);  // the empty test folder has no fonts
    EXPECT_NE(err.find("no TIGA fonts could be loaded"), std::string::npos) << err;
    EXPECT_NE(err.find("--fonts"), std::string::npos) << err;
}

TEST_F(SnapshotToolTest, WritesTheComposedFrameAsPng) {
    write("solids.json", "{\"topSolid\": true, \"ldlPage\": 0}");
    write("plain.txt", "no object here");
    ASSERT_EQ(runSnapshot(dir,
                          "--fonts '" VANTREL_TEST_FONT_DIR
                          "' --time '2025-01-05 09:05:07' --frames 3 -o out.png plain.txt "
                          "solids.json",
                          err),
              0)
        << err;
    EXPECT_NE(err.find("plain.txt: no JSON object"), std::string::npos) << err;

    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, (dir / "out.png").c_str()));
    ASSERT_EQ(image.width, 720u);
    ASSERT_EQ(image.height, 480u);
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(720 * 480 * 3);
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 720 * 3, nullptr));
    auto pixel = [&](int x, int y) {
        const uint8_t* p = &rgb[(y * 720 + x) * 3];
        return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    };
    // Top page 1 never stored, topSolid on: green header band and fill; the
    // separator; the bottom solid with no clock (ldlPage 0).
    EXPECT_EQ(pixel(0, 0), 0x008100u);
    EXPECT_EQ(pixel(719, 379), 0x008100u);
    EXPECT_EQ(pixel(5, 380), 0xd7d7d7u);
    EXPECT_EQ(pixel(5, 381), 0xd7d7d7u);
    for (int y = 382; y < 480; ++y)
        for (int x = 0; x < 720; ++x)
            ASSERT_EQ(pixel(x, y), 0x420b95u) << x << "," << y;
}

}  // namespace
