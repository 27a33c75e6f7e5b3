#include "fonts/tiga_font.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fonts/font_files.h"

using fonttest::build;
using fonttest::captured;
using fonttest::Layout;
using fonttest::Output;
using fonttest::putU16;
using fonttest::putU32;
using fonttest::ScratchDir;

namespace {

class TigaLoad : public ::testing::Test {
protected:
    void TearDown() override { freeTigaFont(&font); }

    // Writes bytes to a file and loads it into font, capturing what it prints.
    bool load(const std::vector<uint8_t>& bytes, const std::string& name = "f.tiga") {
        path = dir.write(name, bytes);
        bool ok = false;
        printed = captured([&] { ok = loadTigaFont(path.c_str(), &font); });
        return ok;
    }

    uint8_t pixel(int x, int y) const { return font.pattern[y * font.pitch + x]; }

    void expectZero() const {
        EXPECT_EQ(font.loaded, 0);
        EXPECT_EQ(font.faceName[0], '\0');
        EXPECT_EQ(font.firstChar, 0);
        EXPECT_EQ(font.lastChar, 0);
        EXPECT_EQ(font.height, 0);
        EXPECT_EQ(font.pitch, 0);
        EXPECT_EQ(font.entryCount, 0);
        EXPECT_EQ(font.pattern, nullptr);
        EXPECT_EQ(font.locations, nullptr);
        EXPECT_EQ(font.advances, nullptr);
        EXPECT_EQ(font.offsets, nullptr);
    }

    void expectNotLoaded() const {
        EXPECT_EQ(font.loaded, 0);
        EXPECT_EQ(font.pattern, nullptr);
        EXPECT_EQ(font.locations, nullptr);
        EXPECT_EQ(font.advances, nullptr);
        EXPECT_EQ(font.offsets, nullptr);
    }

    ScratchDir dir;
    std::string path;
    TigaFont font = {};
    Output printed;
};

// The smallest file accepted: 78 bytes, with the tables tucked into header
// bytes the loader never reads (2..5 and 42..49) and the location table in
// the four bytes after the header fields.
std::vector<uint8_t> smallestFont() {
    std::vector<uint8_t> f(78, 0);
    f[0] = 0x40;
    f[1] = 0x80;
    f[2] = 0x06;  // pattern: one row of 8, pixels 1 and 2 set
    putU16(f, 36, 'A');
    putU16(f, 38, 'A');
    putU16(f, 40, 'A');
    putU16(f, 50, 1);
    putU32(f, 58, 8);
    putU32(f, 62, 2 * 8);
    putU32(f, 66, 74 * 8);
    putU32(f, 70, 42 * 8);
    f[42] = 5;  // advance of 'A'
    f[43] = 1;  // offset of 'A'
    putU16(f, 74, 0);
    putU16(f, 76, 3);
    return f;
}

TEST_F(TigaLoad, SizeThresholdIs78Bytes) {
    std::vector<uint8_t> f = smallestFont();
    ASSERT_TRUE(load(f));
    EXPECT_EQ(font.entryCount, 2);
    EXPECT_EQ(font.locations[1], 3);
    EXPECT_EQ(font.advances[0], 5);
    EXPECT_EQ(font.offsets[0], 1);
    EXPECT_EQ(pixel(1, 0), 1);
    EXPECT_EQ(pixel(3, 0), 0);
    freeTigaFont(&font);

    f.pop_back();  // 77 bytes: refused before anything is looked at
    EXPECT_FALSE(load(f));
    expectZero();
    EXPECT_EQ(printed.err, "");
    EXPECT_EQ(printed.out, "");
}

TEST_F(TigaLoad, SwappedMagicIsRefusedWithMessage) {
    std::vector<uint8_t> f = build(Layout{});
    std::swap(f[0], f[1]);
    EXPECT_FALSE(load(f));
    expectZero();
    EXPECT_EQ(printed.err, path + ": bad TIGA magic\n");
    EXPECT_EQ(printed.out, "");
}

TEST_F(TigaLoad, MissingFileOrFolderIsRefusedSilently) {
    for (const std::string& p : {dir.file("absent.tiga"), dir.path.string()}) {
        font.height = 7;  // must be cleared
        bool ok = true;
        Output o = captured([&] { ok = loadTigaFont(p.c_str(), &font); });
        EXPECT_FALSE(ok) << p;
        expectZero();
        EXPECT_EQ(o.err + o.out, "") << p;
    }
}

TEST_F(TigaLoad, SummaryLineHoldsWholeThirtyByteName) {
    Layout l;
    l.faceName = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";  // 30 bytes, no NUL
    ASSERT_TRUE(load(build(l)));
    EXPECT_STREQ(font.faceName, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
    EXPECT_EQ(printed.out, "TIGA: " + path +
                               "  ABCDEFGHIJKLMNOPQRSTUVWXYZ0123  h=2 lead=3 pitch=8 "
                               "chars=0x41..0x42\n");
    EXPECT_EQ(printed.err, "");
}

TEST_F(TigaLoad, HeaderFieldsAndTablesAreCopied) {
    Layout l;
    l.defaultChar = 0x3F;
    l.firstChar = 0x20;
    l.lastChar = 0x22;
    l.height = 3;
    l.leading = 9;
    l.pitch = 16;
    l.locations = {0, 0, 0x0105, 16};  // an empty glyph, then one from column 261
    l.advances = {7, 200, 255, 1};
    l.offsets = {0, 3, 254, 2};
    ASSERT_TRUE(load(build(l)));
    EXPECT_EQ(font.loaded, 1);
    EXPECT_EQ(font.defaultChar, 0x3F);
    EXPECT_EQ(font.firstChar, 0x20);
    EXPECT_EQ(font.lastChar, 0x22);
    EXPECT_EQ(font.height, 3);
    EXPECT_EQ(font.leading, 9);
    EXPECT_EQ(font.pitch, 16);
    EXPECT_EQ(font.entryCount, 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(font.locations[i], l.locations[i]) << i;
        EXPECT_EQ(font.advances[i], l.advances[i]) << i;  // low byte of the entry
        EXPECT_EQ(font.offsets[i], l.offsets[i]) << i;    // high byte
    }
    // The builder's checker: (x + 2y) % 3 == 0 is ink.
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 16; ++x)
            EXPECT_EQ(pixel(x, y), (x + 2 * y) % 3 == 0) << x << "," << y;
}

TEST_F(TigaLoad, OneGlyphFontLoadsAndLastBelowFirstIsRefused) {
    Layout l;
    l.firstChar = l.lastChar = 'Q';
    l.locations = {0, 5};
    ASSERT_TRUE(load(build(l)));
    EXPECT_EQ(font.entryCount, 2);
    freeTigaFont(&font);

    l.lastChar = 'P';  // entryCount 1
    EXPECT_FALSE(load(build(l)));
    expectNotLoaded();
    EXPECT_EQ(printed.err + printed.out, "");
}

// Headers the loader refuses without a word.
TEST_F(TigaLoad, EmptyGeometryIsRefusedSilently) {
    struct Case {
        const char* what;
        uint16_t height;
        int32_t pitch;
    };
    const Case cases[] = {{"height 0", 0, 8},
                          {"pitch 0", 2, 0},
                          {"pitch -8", 2, -8},
                          {"pitch INT32_MIN", 2, INT32_MIN}};
    for (const Case& c : cases) {
        std::vector<uint8_t> f = build(Layout{});
        putU16(f, 50, c.height);
        putU32(f, 58, static_cast<uint32_t>(c.pitch));
        EXPECT_FALSE(load(f)) << c.what;
        expectNotLoaded();
        EXPECT_EQ(printed.err + printed.out, "") << c.what;
    }
}

TEST_F(TigaLoad, PatternMayEndOnLastByteButNotBeyond) {
    // Height 3, pitch 5: 15 bits, the last of them in the file's last byte.
    Layout l;
    l.height = 3;
    l.pitch = 5;
    std::vector<uint8_t> f = build(l);
    ASSERT_TRUE(load(f));
    EXPECT_EQ(pixel(4, 2), (4 + 4) % 3 == 0);
    freeTigaFont(&font);

    putU32(f, 58, 6);  // pitch 6: 18 bits, one byte more than the file holds
    EXPECT_FALSE(load(f));
    expectNotLoaded();
    EXPECT_EQ(printed.err, path + ": pattern table overruns file\n");
    EXPECT_EQ(printed.out, "");
}

TEST_F(TigaLoad, PatternBitOffsetIsReadFromItsByteStart) {
    Layout l;
    l.height = 2;
    l.pitch = 8;
    l.patternPadBits = 5;  // the low three bits are dropped
    ASSERT_TRUE(load(build(l)));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(pixel(x, y), (x + 2 * y) % 3 == 0) << x << "," << y;
}

TEST_F(TigaLoad, RowsOfPitch12RunOnInsideBytes) {
    Layout l;
    l.height = 2;
    l.pitch = 12;
    std::vector<uint8_t> f = build(l);
    ASSERT_EQ(f.size(), fonttest::kHeaderBytes + 12 + 3);  // three pattern bytes end the file
    f[f.size() - 3] = 0xA5;                                // row 0, columns 0..7
    f[f.size() - 2] = 0x3C;  // low nibble: row 0, columns 8..11; high: row 1, columns 0..3
    f[f.size() - 1] = 0x96;  // row 1, columns 4..11
    ASSERT_TRUE(load(f));
    const uint8_t row0[12] = {1, 0, 1, 0, 0, 1, 0, 1, 0, 0, 1, 1};
    const uint8_t row1[12] = {1, 1, 0, 0, 0, 1, 1, 0, 1, 0, 0, 1};
    for (int x = 0; x < 12; ++x) {
        EXPECT_EQ(pixel(x, 0), row0[x]) << x;
        EXPECT_EQ(pixel(x, 1), row1[x]) << x;
    }
}

TEST_F(TigaLoad, CharacterTablesMustLieInsideFile) {
    const std::vector<uint8_t> base = build(Layout{});
    const uint32_t size = static_cast<uint32_t>(base.size());
    const uint32_t tableBytes = 2 * 3;  // entryCount 3
    struct Case {
        const char* what;
        int field;        // 66 location table, 70 offset/width table
        uint32_t bitPos;  // the table's bit offset
        bool loads;
    };
    const Case cases[] = {
        {"locations end on the last byte", 66, (size - tableBytes) * 8, true},
        {"locations one byte past the end", 66, (size - tableBytes + 1) * 8, false},
        {"locations far past the end", 66, 0xFFFFFFFF, false},
        {"widths end on the last byte", 70, (size - tableBytes) * 8 + 7, true},
        {"widths one byte past the end", 70, (size - tableBytes + 1) * 8, false},
        {"widths far past the end", 70, 0xFFFFFFF8, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> f = base;
        putU32(f, c.field, c.bitPos);
        EXPECT_EQ(load(f), c.loads) << c.what;
        if (c.loads) {
            EXPECT_EQ(printed.err, "") << c.what;
            freeTigaFont(&font);
        } else {
            EXPECT_EQ(printed.err, path + ": character tables overrun file\n") << c.what;
            EXPECT_EQ(printed.out, "") << c.what;
            expectNotLoaded();
        }
    }
}

TEST_F(TigaLoad, OversizedPatternIsRefusedBeforeAllocation) {
    struct Case {
        uint16_t height;
        int32_t pitch;
        const char* message;  // after "path: "
    };
    const Case cases[] = {
        {65535, INT32_MAX, "pattern too large"},       // far beyond 32 bits
        {65535, 65537, "pattern too large"},           // 2^32 + 65534: wraps in 32 bits
        {1024, 65537, "pattern too large"},            // 64 MiB + 1024
        {1024, 65536, "pattern table overruns file"},  // exactly 64 MiB is allowed
        {1, 64 << 20, "pattern table overruns file"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> f = build(Layout{});
        putU16(f, 50, c.height);
        putU32(f, 58, static_cast<uint32_t>(c.pitch));
        EXPECT_FALSE(load(f)) << c.height << "x" << c.pitch;
        expectNotLoaded();
        EXPECT_EQ(printed.err, path + ": " + c.message + "\n") << c.height << "x" << c.pitch;
    }
}

// Glyph columns are not checked against the pitch: the drawing clips them.
TEST_F(TigaLoad, GlyphReachingPastPitchStillLoads) {
    Layout l;
    l.locations = {0, 6, 40};  // the second glyph runs from column 6 to 39 of 8
    ASSERT_TRUE(load(build(l)));
    EXPECT_EQ(font.locations[2], 40);
    EXPECT_EQ(font.pitch, 8);
}

TEST(TigaFree, NotLoadedRecordIsLeftAlone) {
    TigaFont font = {};
    font.height = 12;  // what a refused load can leave behind
    font.firstChar = 'A';
    freeTigaFont(&font);
    EXPECT_EQ(font.height, 12);
    EXPECT_EQ(font.firstChar, 'A');
}

TEST_F(TigaLoad, FreeZeroesWholeRecord) {
    ASSERT_TRUE(load(build(Layout{})));
    freeTigaFont(&font);
    expectZero();
    EXPECT_EQ(font.defaultChar, 0);
    EXPECT_EQ(font.leading, 0);
}

// ---- Font slots ----

class FontSlots : public ::testing::Test {
protected:
    void TearDown() override { releaseFontSlots(); }

    void put(const char* name) { dir.write(name, build(Layout{})); }

    bool loadSlots() {
        bool ok = false;
        printed = captured([&] { ok = loadFontSlots(dir.path.c_str()); });
        return ok;
    }

    ScratchDir dir;
    Output printed;
};

constexpr const char* kWarning =
    "warning: FONT01/FONT02/FONT07 not all present; missing heights will fall back\n";

TEST_F(FontSlots, OnlyShadowFilesIsFailure) {
    for (const char* n : {"SHDT01.tiga", "SHDT02.tiga", "SHDT07.tiga"})
        put(n);
    EXPECT_FALSE(loadSlots());
    EXPECT_EQ(printed.err, "no TIGA fonts could be loaded\n");
    for (int s = 1; s < kFontSlotCount; ++s)
        EXPECT_EQ(fonts[s].loaded, 0) << s;
}

TEST_F(FontSlots, OnlyFont03WarnsAndGoesOn) {
    put("FONT03.tiga");
    EXPECT_TRUE(loadSlots());
    EXPECT_EQ(printed.err, kWarning);
    EXPECT_EQ(fonts[3].loaded, 1);
    for (int s : {1, 2, 4, 5, 6, 7})
        EXPECT_EQ(fonts[s].loaded, 0) << s;
}

TEST_F(FontSlots, WarningNeedsExactlySlots1And2And7) {
    struct Case {
        std::vector<const char*> files;
        bool warns;
    };
    const Case cases[] = {
        {{"FONT01.tiga", "FONT02.tiga", "FONT07.tiga"}, false},
        {{"FONT01.tiga", "FONT02.tiga", "SHDT07.tiga", "FONT03.tiga", "FONT04.tiga", "FONT05.tiga",
          "FONT06.tiga"},
         true},
        {{"FONT02.tiga", "FONT07.tiga"}, true},
        {{"FONT01.tiga", "FONT07.tiga"}, true},
    };
    for (const Case& c : cases) {
        ScratchDir fresh;
        for (const char* n : c.files)
            fresh.write(n, build(Layout{}));
        bool ok = false;
        Output o = captured([&] { ok = loadFontSlots(fresh.path.c_str()); });
        EXPECT_TRUE(ok);
        EXPECT_EQ(o.err, c.warns ? kWarning : "") << c.files.size() << " files";
    }
}

std::string slotFile(const char* prefix, int slot) {
    char name[32];
    snprintf(name, sizeof name, "%s%02d.tiga", prefix, slot);
    return name;
}

TEST_F(FontSlots, LoadsInSlotOrderAndFillsBothArrays) {
    for (int s = 1; s < kFontSlotCount; ++s)
        for (const char* p : {"FONT", "SHDT"})
            put(slotFile(p, s).c_str());
    ASSERT_TRUE(loadSlots());
    EXPECT_EQ(printed.err, "");
    std::string expected;
    for (int s = 1; s < kFontSlotCount; ++s)
        for (const char* p : {"FONT", "SHDT"})
            expected += "TIGA: " + dir.file(slotFile(p, s)) +
                        "  test face  h=2 lead=3 pitch=8 chars=0x41..0x42\n";
    EXPECT_EQ(printed.out, expected);
    EXPECT_EQ(fonts[0].loaded, 0);  // slot 0 is never used
    EXPECT_EQ(shadow_fonts[0].loaded, 0);
    for (int s = 1; s < kFontSlotCount; ++s) {
        EXPECT_EQ(fonts[s].loaded, 1) << s;
        EXPECT_EQ(shadow_fonts[s].loaded, 1) << s;
    }

    releaseFontSlots();
    for (int s = 0; s < kFontSlotCount; ++s) {
        EXPECT_EQ(fonts[s].loaded, 0) << s;
        EXPECT_EQ(fonts[s].pattern, nullptr) << s;
        EXPECT_EQ(shadow_fonts[s].loaded, 0) << s;
        EXPECT_EQ(shadow_fonts[s].pattern, nullptr) << s;
    }
}

TEST_F(FontSlots, DamagedFileLeavesItsSlotEmpty) {
    put("FONT01.tiga");
    std::vector<uint8_t> bad = build(Layout{});
    bad[1] = 0;
    dir.write("FONT02.tiga", bad);
    put("FONT07.tiga");
    ASSERT_TRUE(loadSlots());
    EXPECT_EQ(printed.err, dir.file("FONT02.tiga") + ": bad TIGA magic\n" + kWarning);
    EXPECT_EQ(fonts[2].loaded, 0);
}

TEST_F(FontSlots, SecondLoadReplacesFirst) {
    put("FONT01.tiga");
    ASSERT_TRUE(loadSlots());
    ::unlink(dir.file("FONT01.tiga").c_str());
    put("FONT04.tiga");
    ASSERT_TRUE(loadSlots());  // a leak of the first set shows under the sanitizers
    EXPECT_EQ(fonts[1].loaded, 0);
    EXPECT_EQ(fonts[4].loaded, 1);
}

// The preview loads from its working directory with the plain file names and
// ends with status 1 when no regular font loads. These run in a child process
// that moves into the scratch folder; its standard output goes to standard
// error so that the summary lines can be matched too.
void loadInWorkingDirectory(const std::string& dir) {
    if (chdir(dir.c_str()) != 0) _exit(3);
    setvbuf(stdout, nullptr, _IONBF, 0);  // keep the two streams in order
    dup2(2, 1);
    bool ok = loadFontSlots(nullptr);
    fflush(stdout);
    _exit(ok ? 0 : 1);
}

TEST_F(FontSlots, NoRegularFontEndsChildWithStatus1) {
    put("SHDT01.tiga");
    EXPECT_EXIT(loadInWorkingDirectory(dir.path.string()), ::testing::ExitedWithCode(1),
                "TIGA: SHDT01\\.tiga  test face.*\nno TIGA fonts could be loaded\n");
}

TEST_F(FontSlots, PlainNamesFillThePathColumn) {
    put("FONT03.tiga");
    EXPECT_EXIT(loadInWorkingDirectory(dir.path.string()), ::testing::ExitedWithCode(0),
                "TIGA: FONT03\\.tiga  test face  h=2 lead=3 pitch=8 chars=0x41\\.\\.0x42\n"
                "warning: FONT01/FONT02/FONT07 not all present");
}

TEST(TigaSummary, ShortPathIsPaddedToTenColumns) {
    ScratchDir dir;
    dir.write("a.tiga", build(Layout{}));
    EXPECT_EXIT(
        {
            if (chdir(dir.path.c_str()) != 0) _exit(3);
            setvbuf(stdout, nullptr, _IONBF, 0);
            dup2(2, 1);
            TigaFont font = {};
            bool ok = loadTigaFont("a.tiga", &font);
            fflush(stdout);
            freeTigaFont(&font);
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "^TIGA: a\\.tiga      test face  h=2");
}

}  // namespace
