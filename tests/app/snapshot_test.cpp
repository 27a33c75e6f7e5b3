// vantrel-snapshot: its pieces, and the tool run as a program (its pictures
// are checked against the real window by the end-to-end tests).
#include "tools/snapshot/snapshot.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/test_support.h"
#include "tools/common/display_clock.h"
#include "tools/snapshot/output.h"

namespace {

// Each test works in a folder of its own with a rolling page (the clock on)
// and an alert.
class Snapshot : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::current_path(dir.path);
        dir.write("roll.json", R"({"topPage": 20, "pageData": {"pageNumber": 20,
            "lineCount": 2, "roll": true, "height": 3, "color": 5, "textData": "Travel",
            "height": 1, "color": 1, "textData": "Harbour"}})");
        dir.write("alert.json", R"({"pageData": {"pageNumber": 30, "lineCount": 1,
            "warning": true, "height": 2, "color": 1, "textData": "WARNING"}})");
        dir.write("ldl.json", R"({"ldlPage": 0})");
    }
    // Runs vantrel-snapshot here with the test fonts: its exit status, what it printed in out.
    int snapshot(const std::string& args) {
        return runProgram(VANTREL_SNAPSHOT, "--fonts '" VANTREL_TEST_FONT_DIR "' " + args, out);
    }
    TempFolder dir{"snapshot"};
    std::string out;
};

TEST(SnapshotOutput, FramePatternsHoldOneFrameNumber) {
    const struct {
        const char* pattern;
        int fields;        // -1: not a pattern the tool takes
        const char* name;  // for frame 7
    } cases[] = {
        {"f-%05d.png", 1, "f-00007.png"},
        {"100%%-%3d.png", 1, "100%-  7.png"},
        {"still.png", 0, "still.png"},
        {"%s.png", -1, ""},  // only whole numbers: a %s would read what is not there
        {"%d-%d.png", -1, ""},
        {"end%", -1, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(framePatternFields(c.pattern), c.fields) << c.pattern;
        char name[64];
        EXPECT_EQ(formatFramePath(c.pattern, 7, name, sizeof name), c.fields >= 0) << c.pattern;
        if (c.fields >= 0) {
            EXPECT_STREQ(name, c.name);
        }
    }
    char small[8];
    EXPECT_FALSE(formatFramePath("frame-%05d.png", 7, small, sizeof small));  // does not fit
}

TEST(DisplayClock, ParsesExistingLocalTimesOnly) {
    const std::pair<const char*, int> cases[] = {
        // text, weekday (-1: rejected)
        {"2025-01-05 09:05:07", 0},    {"2024-02-29 23:59:59", 4},  // a leap day, Thursday
        {"2025-02-29 12:00:00", -1},   {"2025-04-31 12:00:00", -1}, {"2025-13-01 12:00:00", -1},
        {"2025-01-05 24:00:00", -1},   {"2025-01-05 09:60:00", -1}, {"2025-01-05 09:05", -1},
        {"2025-01-05 09:05:07 x", -1}, {"2025-01-05 09:05:-1", -1}, {"", -1},
    };
    for (const auto& [text, wday] : cases) {
        struct tm t = {};
        EXPECT_EQ(parseLocalTime(text, t), wday >= 0) << text;
        if (wday < 0) continue;
        EXPECT_EQ(t.tm_wday, wday) << text;
        EXPECT_EQ(t.tm_hour, std::atoi(text + 11)) << text;
    }
}

TEST_F(Snapshot, RunsAsAProgram) {
    dir.write("plain.txt", "no object here");
    dir.write("huge.json", std::string(16 * 1024 * 1024 + 1, ' '));
    std::filesystem::create_directories("s-3.png");  // frame 3's name is taken by a folder
    std::filesystem::create_directories("taken.gif");
    const struct {
        std::string args;
        int status;
        const char* message;  // in standard error
    } cases[] = {
        {"--help", 0, "usage: vantrel-snapshot [options]"},
        {"--frames 0", 2, "--frames wants 1 to 1000000"},
        {"--colour red", 2, "unknown option --colour"},
        {"--from 5 --to 3", 2, "--from 5 comes after --to 3"},
        {"--at 3", 2, "--at 3 needs a message file"},
        {"--from 1 --to 3 -o one.png", 2, "holds one picture"},
        {"--from 1 --to 2 -o 'f-%s.png'", 2, "a PNG pattern holds one frame number"},
        {"missing.json", 1, "cannot read missing.json"},
        {"huge.json", 1, "cannot read huge.json: larger than 16 MiB"},
        {"--fonts . ldl.json", 1, "no FONT01.tiga"},  // the later --fonts names a folder without
        {"-o no/such/folder/x.png", 1, "cannot write no/such/folder/x.png"},
        {"--from 1 --to 4 -o s-%d.png roll.json", 1, "cannot write s-%d.png: s-3.png:"},
        {"--from 1 --to 2 -o taken.gif roll.json", 1, "cannot write taken.gif"},
        {"--time '2025-01-05 09:05:07' --frames 3 -o out.png plain.txt ldl.json", 0,
         "plain.txt: no JSON object in it; skipped"},
        {"--frames 3 -o out.png --at 4 ldl.json", 0, "ldl.json arrives before frame 4, after"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(snapshot(c.args), c.status) << c.args;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.args << ": " << out;
    }
    // Nothing is left on a failure: no default output, no frame of the failed
    // series, no temporary file.
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"alert.json", "huge.json", "ldl.json", "out.png",
                                              "plain.txt", "roll.json", "s-3.png", "taken.gif"}));
}

// Frame k of a timeline is the picture that the same messages and --frames k
// give, bit for bit; a message given --at k changes frame k and none before.
TEST_F(Snapshot, TimelineFramesAreThoseOfTheSingleFrameRuns) {
    const std::string at = "--time '2025-01-05 09:05:59' ";  // the clock turns at frame 61
    const struct {
        std::string range;   // written as t-%d.png
        long frame;          // compared with the single frame of
        std::string single;  // these arguments
        bool same;
    } cases[] = {
        {"--from 59 --to 62 roll.json", 60, "--clock fixed --frames 60 roll.json", true},
        {"--from 59 --to 62 roll.json", 61, "--clock fixed --frames 61 roll.json", false},
        {"--from 59 --to 62 roll.json", 61, "--frames 61 roll.json", true},
        {"--from 1 --to 4 roll.json --at 3 alert.json", 3, "--frames 3 roll.json", false},
        // A still alert page shows the same whenever it came; a roll starts when its
        // page arrives, so frame 4 is the roll's second frame.
        {"--from 1 --to 4 --at 3 alert.json roll.json", 4, "--frames 4 roll.json alert.json", true},
        {"--clock fixed --from 1 --to 4 --at 3 roll.json", 4, "--clock fixed --frames 2 roll.json",
         true},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(snapshot(at + "-q -o t-%d.png " + c.range), 0) << c.range << ": " << out;
        ASSERT_EQ(snapshot(at + "-o one.png " + c.single), 0) << c.single << ": " << out;
        const std::string frame = readWhole("t-" + std::to_string(c.frame) + ".png");
        EXPECT_FALSE(frame.empty()) << c.range;
        EXPECT_EQ(frame == readWhole("one.png"), c.same) << c.range << " / " << c.single;
    }
}

// The frames of the video stream in a file, -1 unless it holds one of 720 x 480.
int videoFrames(const std::string& path) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return -1;
    int frames = -1;
    const int stream = avformat_find_stream_info(format, nullptr) >= 0
                           ? av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0)
                           : -1;
    if (stream >= 0 && format->streams[stream]->codecpar->width == 720 &&
        format->streams[stream]->codecpar->height == 480) {
        AVPacket* packet = av_packet_alloc();
        for (frames = 0; av_read_frame(format, packet) >= 0; av_packet_unref(packet))
            frames += packet->stream_index == stream;
        av_packet_free(&packet);
    }
    avformat_close_input(&format);
    return frames;
}

TEST_F(Snapshot, VideoHoldsTheFramesWritten) {
    const struct {
        std::string args;
        int frames;  // of 720 x 480
    } cases[] = {
        {"--from 1 --to 12 -o v.mp4 roll.json", 12},
        {"--from 1 --to 12 -o v.gif roll.json", 4},  // every third frame by default
        {"--from 3 --to 9 --step 1 -o v.gif roll.json --at 5 alert.json", 7},
    };
    for (const auto& c : cases) {
        std::filesystem::remove("v.mp4");
        std::filesystem::remove("v.gif");
        ASSERT_EQ(snapshot("-q " + c.args), 0) << c.args << ": " << out;
        const char* name = c.args.find("v.gif") != std::string::npos ? "v.gif" : "v.mp4";
        EXPECT_EQ(videoFrames(name), c.frames) << c.args;
    }
}

}  // namespace
