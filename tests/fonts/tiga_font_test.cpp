// The TIGA loader and the font slots, on files built byte by byte in a scratch
// folder that is the working directory, as the preview's is.
#include "fonts/tiga_font.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A font as written: an 80-byte header, the location table, the offset/width
// table (advance byte, then offset byte), then the pattern, which ends the file.
// The pattern is inked where (x + 2y) % 3 == 0: one bit stream over all rows,
// pixel k in bit k % 8 of byte k / 8. The default font's tables sit at bytes 80
// and 86, its pattern at 92.
struct Layout {
    uint16_t firstChar = 'A', lastChar = 'B', height = 2;
    int32_t pitch = 8;
    const char* faceName = "test face";  // 30 bytes used at most
    std::vector<uint16_t> locations = {0, 3, 8};
    Bytes advances = {4, 6, 0}, offsets = {0, 1, 0};
    uint16_t defaultChar = '?';
};

bool inked(int x, int y) {
    return (x + 2 * y) % 3 == 0;
}

// Writes value little-endian into bytes f[pos..pos+size-1].
void put(Bytes& f, size_t pos, uint32_t value, int size = 4) {
    for (int i = 0; i < size; ++i)
        f[pos + i] = (value >> 8 * i) & 0xFF;
}

Bytes build(const Layout& l) {
    const size_t n = l.locations.size(), loc = 80, width = loc + 2 * n, pat = width + 2 * n;
    const size_t pixels = size_t{l.height} * l.pitch;
    Bytes f(pat + (pixels + 7) / 8, 0);
    put(f, 0, 0x8040, 2);  // the magic
    std::copy(l.faceName, l.faceName + std::min<size_t>(strlen(l.faceName), 30), f.begin() + 6);
    put(f, 36, l.defaultChar, 2);
    put(f, 38, l.firstChar, 2);
    put(f, 40, l.lastChar, 2);
    put(f, 50, l.height, 2);
    put(f, 56, 3, 2);  // the leading
    put(f, 58, l.pitch);
    put(f, 62, pat * 8);  // table positions are bit offsets
    put(f, 66, loc * 8);
    put(f, 70, width * 8);
    for (size_t i = 0; i < n; ++i) {
        put(f, loc + 2 * i, l.locations[i], 2);
        f[width + 2 * i] = l.advances[i];
        f[width + 2 * i + 1] = l.offsets[i];
    }
    for (size_t k = 0; k < pixels; ++k)
        if (inked(k % l.pitch, k / l.pitch)) f[pat + k / 8] |= 1 << k % 8;
    return f;
}

// Copies the default font's table at byte pos (locations 80, widths 86) to the
// file end, and points the header field at it, extraBits past its first byte.
void tableToEnd(Bytes& f, size_t pos, size_t field, uint32_t extraBits = 0) {
    const Bytes table(f.begin() + pos, f.begin() + pos + 6);
    put(f, field, f.size() * 8 + extraBits);
    f.insert(f.end(), table.begin(), table.end());
}

// Each test runs in a scratch folder of its own, removed when it ends.
class Tiga : public ::testing::Test {
protected:
    void SetUp() override { fs::current_path(dir.path); }
    void TearDown() override {
        releaseFontSlots();
        fs::current_path(fs::temp_directory_path());  // a folder in use cannot go everywhere
    }
    TempFolder dir{"fonts"};
};

// Runs fn; returns what it printed on standard output and standard error.
template <typename Fn>
std::pair<std::string, std::string> captured(Fn fn) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    fn();
    std::string out = ::testing::internal::GetCapturedStdout();
    return {out, ::testing::internal::GetCapturedStderr()};
}

// A short path is padded to ten columns.
constexpr const char* kSummary =
    "TIGA: f.tiga      test face  h=2 lead=3 pitch=8 chars=0x41..0x42\n";
constexpr const char* kOverrun = "f.tiga: character tables overrun file\n";
constexpr const char* kPatternOverrun = "f.tiga: pattern table overruns file\n";

// A refused file leaves the record unloaded, without arrays (a leak shows
// under the sanitizers); a loaded one gives back what its Layout wrote.
TEST_F(Tiga, FilesBuiltByteByByte) {
    const struct {
        const char* rule;
        Layout layout;         // what build writes, and what a load must give back
        void (*edit)(Bytes&);  // then done to the bytes; null for nothing
        bool loads;
        const char* line;  // printed: standard output if loaded, else standard error
    } cases[] = {
        // clang-format off
        {"swapped magic", {}, [](Bytes& f) { std::swap(f[0], f[1]); }, false,
         "f.tiga: bad TIGA magic\n"},
        {"last below first", {.firstChar = 'Q', .lastChar = 'P', .locations = {0}}, nullptr, false,
         ""},
        {"height 0", {.height = 0}, nullptr, false, ""},
        {"pattern needs exactly the last byte", {.height = 3, .pitch = 5}, nullptr, true,
         "TIGA: f.tiga      test face  h=3 lead=3 pitch=5 chars=0x41..0x42\n"},
        {"pattern needs one byte more", {.height = 3, .pitch = 5}, [](Bytes& f) { put(f, 58, 6); },
         false, kPatternOverrun},
        {"pattern at bit offset 5 past a byte: read from the byte", {},
         [](Bytes& f) { put(f, 62, 92 * 8 + 5); }, true, kSummary},
        {"30-byte face name, no NUL", {.faceName = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123"}, nullptr,
         true, "TIGA: f.tiga      ABCDEFGHIJKLMNOPQRSTUVWXYZ0123  h=2 lead=3 pitch=8 chars=0x41..0x42\n"},
        {"16-bit fields; advance low byte, offset high byte",
         {.firstChar = 0x120, .lastChar = 0x122, .height = 3, .pitch = 16,
          .locations = {0, 0, 0x0105, 16}, .advances = {7, 200, 255, 1}, .offsets = {0, 3, 254, 2},
          .defaultChar = 0x1A5}, nullptr, true,
         "TIGA: f.tiga      test face  h=3 lead=3 pitch=16 chars=0x120..0x122\n"},
        {"a glyph past the pitch loads: the drawing clips it", {.locations = {0, 6, 40}}, nullptr,
         true, kSummary},
        {"widths end on the last byte, at bit offset 7 past a byte", {},
         [](Bytes& f) { tableToEnd(f, 86, 70, 7); }, true, kSummary},
        {"widths one byte past", {}, [](Bytes& f) { tableToEnd(f, 86, 70), f.pop_back(); },
         false, kOverrun},
        {"locations one byte past", {}, [](Bytes& f) { tableToEnd(f, 80, 66), f.pop_back(); },
         false, kOverrun},
        {"locations 512 MiB in", {}, [](Bytes& f) { put(f, 66, 0xFFFFFFFF); }, false, kOverrun},
        {"65535 x 65537 = 2^32 + 65535: wraps in 32 bits", {},
         [](Bytes& f) { put(f, 50, 65535, 2), put(f, 58, 65537); }, false,
         "f.tiga: pattern too large\n"},
        {"64 MiB is not too large", {}, [](Bytes& f) { put(f, 50, 1024, 2), put(f, 58, 65536); },
         false, kPatternOverrun},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        const Layout& l = c.layout;
        Bytes f = build(l);
        if (c.edit) c.edit(f);
        dir.write("f.tiga", std::string(f.begin(), f.end()));
        TigaFont font = {};
        font.loaded = 1;  // a stale record, to be cleared
        bool ok = !c.loads;
        auto [out, err] = captured([&] { ok = loadTigaFont("f.tiga", &font); });
        EXPECT_EQ(ok, c.loads);
        EXPECT_EQ(font.loaded, c.loads);
        EXPECT_EQ(c.loads ? err : out, "");
        EXPECT_EQ(c.loads ? out : err, c.line);
        if (c.loads && font.loaded) {
            EXPECT_EQ(font.defaultChar, l.defaultChar);
            ASSERT_EQ(font.entryCount, static_cast<int>(l.locations.size()));
            int wrong = 0;
            for (size_t i = 0; i < l.locations.size(); ++i)
                wrong += font.locations[i] != l.locations[i] || font.advances[i] != l.advances[i] ||
                         font.offsets[i] != l.offsets[i];
            for (int k = 0; k < font.height * font.pitch; ++k)
                wrong += font.pattern[k] != inked(k % font.pitch, k / font.pitch);
            EXPECT_EQ(wrong, 0) << "table entries and pixels";
        }
        freeTigaFont(&font);
        EXPECT_TRUE(!font.loaded && !font.pattern && !font.locations && !font.offsets);
    }
}

// Which slot files the working directory holds ('!': written with a bad magic),
// and what loadFontSlots returns and says on standard error.
TEST_F(Tiga, SlotsLoadFromTheWorkingDirectory) {
    constexpr const char* kWarning =
        "warning: FONT01/FONT02/FONT07 not all present; missing heights will fall back\n";
    const struct {
        std::vector<std::string> files;
        bool ok;
        std::string err;
    } cases[] = {
        {{"SHDT01", "SHDT02", "SHDT07"}, false, "no TIGA fonts could be loaded\n"},
        {{"FONT01", "!FONT02", "FONT07"},
         true,
         "FONT02.tiga: bad TIGA magic\n" + std::string(kWarning)},
        {{"FONT01", "SHDT01", "FONT02", "SHDT02", "FONT03", "SHDT03", "FONT04", "SHDT04", "FONT05",
          "SHDT05", "FONT06", "SHDT06", "FONT07", "SHDT07"},
         true,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.files.size());
        for (const auto& entry : fs::directory_iterator(dir.path))
            fs::remove_all(entry.path());
        for (const std::string& name : c.files) {
            Bytes f = build({});
            if (name[0] == '!') f[1] = 0;
            dir.write(name.substr(name[0] == '!') + ".tiga", std::string(f.begin(), f.end()));
        }
        bool ok = !c.ok;
        auto [out, err] = captured([&] { ok = loadFontSlots(nullptr); });
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(err, c.err);
        for (int s = 0; s < kFontSlotCount; ++s)
            for (const char* kind : {"FONT0", "SHDT0"}) {
                const std::string name = kind + std::to_string(s);
                const bool present = std::count(c.files.begin(), c.files.end(), name) > 0;
                EXPECT_EQ((*kind == 'F' ? fonts : shadow_fonts)[s].loaded, present) << name;
            }
    }
    releaseFontSlots();
    for (int s = 0; s < kFontSlotCount; ++s)
        EXPECT_TRUE(!fonts[s].pattern && !shadow_fonts[s].pattern) << s;
}

}  // namespace
