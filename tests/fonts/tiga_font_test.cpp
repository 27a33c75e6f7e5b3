// The TIGA loader and the font slots, on files built byte by byte in a scratch
// folder.
#include "fonts/tiga_font.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A font as written: an 80-byte header, the location table, the offset/width
// table (advance byte, then offset byte), then the pattern, which ends the file.
// The pattern is inked where (x + 2y) % 3 == 0: one bit stream over all rows,
// pixel k in bit k % 8 of byte k / 8. The default font's tables sit at bytes 80
// and 86, its pattern at 92.
struct Layout {
    uint16_t firstChar = 'A';
    uint16_t lastChar = 'B';
    uint16_t height = 2;
    int32_t pitch = 8;
    const char* faceName = "test face";  // 30 bytes used at most
    std::vector<uint16_t> locations = {0, 3, 8};
    Bytes advances = {4, 6, 0};
    Bytes offsets = {0, 1, 0};
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

// Copies the default font's table at byte pos to the file end, and points the
// header field at bit offset field there, plus extraBits.
void tableToEnd(Bytes& f, size_t pos, size_t field, uint32_t extraBits = 0) {
    const Bytes table(f.begin() + pos, f.begin() + pos + 6);
    put(f, field, f.size() * 8 + extraBits);
    f.insert(f.end(), table.begin(), table.end());
}

// Fits a one-glyph, one-row font in 78 bytes: its tables move into header
// bytes the loader never reads (42..49), its pattern byte after the header
// fields.
void squeeze(Bytes& f) {
    std::copy(f.begin() + 80, f.begin() + 88, f.begin() + 42);
    f[74] = f[88];
    f.resize(78);
    put(f, 62, 74 * 8), put(f, 66, 42 * 8), put(f, 70, 46 * 8);
}

// A scratch folder, removed with everything in it when the test ends.
std::filesystem::path makeScratchDir() {
    std::random_device seed;
    for (int tries = 0; tries < 100; ++tries) {
        std::filesystem::path path = std::filesystem::path(::testing::TempDir()) /
                                     ("vantrel-fonts-" + std::to_string(seed()));
        std::error_code ec;
        if (std::filesystem::create_directory(path, ec)) return path;
    }
    return {};
}

struct ScratchDir {
    std::filesystem::path path = makeScratchDir();
    ~ScratchDir() { std::filesystem::remove_all(path, ec); }
    std::string write(const std::string& file, const Bytes& bytes) const {
        std::ofstream(path / file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return (path / file).string();
    }
    std::error_code ec;
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

std::string withPath(std::string line, const std::string& path) {
    if (size_t at = line.find("%s"); at != std::string::npos) line.replace(at, 2, path);
    return line;
}

constexpr const char* kSummary = "TIGA: %s  test face  h=2 lead=3 pitch=8 chars=0x41..0x42\n";
constexpr const char* kOverrun = "%s: character tables overrun file\n";
constexpr const char* kTooLarge = "%s: pattern too large\n";
constexpr const char* kPatternOverrun = "%s: pattern table overruns file\n";

struct LoadCase {
    const char* rule;
    Layout layout;         // what build writes, and what a load must give back
    void (*edit)(Bytes&);  // then done to the bytes; null for nothing
    bool loads;            // the result expected
    const char* line;      // printed (%s the path): standard output if loaded, else standard error
};

// A refused file leaves the record unloaded, without arrays (a leak shows
// under the sanitizers); a loaded one gives back what its Layout wrote.
TEST(TigaLoad, FilesBuiltByteByByte) {
    const Layout oneRow{
        .lastChar = 'A', .height = 1, .locations = {0, 3}, .advances = {5, 0}, .offsets = {1, 0}};
    // clang-format off
    const LoadCase cases[] = {
        {"78 bytes: the smallest file read", oneRow, squeeze, true,
         "TIGA: %s  test face  h=1 lead=3 pitch=8 chars=0x41..0x41\n"},
        {"77 bytes: refused unread", oneRow, [](Bytes& f) { squeeze(f), f.pop_back(); }, false, ""},
        {"swapped magic", {}, [](Bytes& f) { std::swap(f[0], f[1]); }, false,
         "%s: bad TIGA magic\n"},
        {"one glyph", {.firstChar = 'Q', .lastChar = 'Q', .locations = {0, 5}}, nullptr, true,
         "TIGA: %s  test face  h=2 lead=3 pitch=8 chars=0x51..0x51\n"},
        {"last below first", {.firstChar = 'Q', .lastChar = 'P', .locations = {0}}, nullptr, false,
         ""},
        {"height 0", {.height = 0}, nullptr, false, ""},
        {"pitch 0", {.pitch = 0}, nullptr, false, ""},
        {"pitch negative", {}, [](Bytes& f) { put(f, 58, 0x80000000); }, false, ""},
        {"pattern needs exactly the last byte", {.height = 3, .pitch = 5}, nullptr, true,
         "TIGA: %s  test face  h=3 lead=3 pitch=5 chars=0x41..0x42\n"},
        {"pattern needs one byte more", {.height = 3, .pitch = 5}, [](Bytes& f) { put(f, 58, 6); },
         false, kPatternOverrun},
        {"pattern at bit offset 5 past a byte: read from the byte", {},
         [](Bytes& f) { put(f, 62, 92 * 8 + 5); }, true, kSummary},
        {"pitch 12: rows run on inside bytes", {.pitch = 12}, nullptr, true,
         "TIGA: %s  test face  h=2 lead=3 pitch=12 chars=0x41..0x42\n"},
        {"30-byte face name, no NUL", {.faceName = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123"}, nullptr,
         true,
         "TIGA: %s  ABCDEFGHIJKLMNOPQRSTUVWXYZ0123  h=2 lead=3 pitch=8 chars=0x41..0x42\n"},
        {"16-bit fields; advance low byte, offset high byte",
         {.firstChar = 0x120, .lastChar = 0x122, .height = 3, .pitch = 16,
          .locations = {0, 0, 0x0105, 16}, .advances = {7, 200, 255, 1}, .offsets = {0, 3, 254, 2},
          .defaultChar = 0x1A5}, nullptr, true,
         "TIGA: %s  test face  h=3 lead=3 pitch=16 chars=0x120..0x122\n"},
        {"a glyph past the pitch loads: the drawing clips it", {.locations = {0, 6, 40}}, nullptr,
         true, kSummary},
        {"locations end on the last byte", {}, [](Bytes& f) { tableToEnd(f, 80, 66); }, true,
         kSummary},
        {"locations one byte past", {}, [](Bytes& f) { tableToEnd(f, 80, 66), f.pop_back(); },
         false, kOverrun},
        {"widths end on the last byte, bit offset 7 past a byte", {},
         [](Bytes& f) { tableToEnd(f, 86, 70, 7); }, true, kSummary},
        {"widths one byte past", {}, [](Bytes& f) { tableToEnd(f, 86, 70), f.pop_back(); }, false,
         kOverrun},
        {"locations 512 MiB in", {}, [](Bytes& f) { put(f, 66, 0xFFFFFFFF); }, false, kOverrun},
        {"65535 x 65537 = 2^32 + 65535: wraps in 32 bits", {},
         [](Bytes& f) { put(f, 50, 65535, 2), put(f, 58, 65537); }, false, kTooLarge},
        {"64 MiB + 1024", {}, [](Bytes& f) { put(f, 50, 1024, 2), put(f, 58, 65537); }, false,
         kTooLarge},
        {"64 MiB is not too large", {}, [](Bytes& f) { put(f, 50, 1024, 2), put(f, 58, 65536); },
         false, kPatternOverrun},
    };
    // clang-format on
    ScratchDir dir;
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.rule);
        const Layout& l = c.layout;
        Bytes f = build(l);
        if (c.edit) c.edit(f);
        const std::string path = dir.write("f.tiga", f);
        TigaFont font = {};
        font.loaded = 1;  // a stale record, to be cleared
        bool ok = !c.loads;
        auto [out, err] = captured([&] { ok = loadTigaFont(path.c_str(), &font); });
        EXPECT_EQ(ok, c.loads);
        EXPECT_EQ(c.loads ? out : err, withPath(c.line, path));
        EXPECT_EQ(c.loads ? err : out, "");
        EXPECT_EQ(font.loaded, c.loads);
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

constexpr const char* kWarning =
    "warning: FONT01/FONT02/FONT07 not all present; missing heights will fall back\n";

// Which slot files a folder holds ('!': written with a bad magic; '/': a folder
// by that name), what loadFontSlots returns and prints on standard error (%s
// the folder). Each call starts from the slots the call before filled.
TEST(FontSlots, LoadFromFolder) {
    const struct {
        std::vector<std::string> files;
        bool ok;
        std::string err;
    } cases[] = {
        // clang-format off
        {{"SHDT01", "SHDT02", "SHDT07"}, false, "no TIGA fonts could be loaded\n"},
        {{"FONT03"}, true, kWarning},
        {{"FONT01", "FONT02", "FONT07"}, true, ""},
        {{"FONT02", "FONT07"}, true, kWarning},
        {{"FONT01", "/FONT02", "FONT07"}, true, kWarning},
        {{"FONT01", "FONT02", "SHDT07", "FONT03", "FONT04", "FONT05", "FONT06"}, true, kWarning},
        {{"FONT01", "!FONT02", "FONT07"}, true,
         std::string("%s/FONT02.tiga: bad TIGA magic\n") + kWarning},
        {{"FONT01", "SHDT01", "FONT02", "SHDT02", "FONT03", "SHDT03", "FONT04", "SHDT04", "FONT05",
          "SHDT05", "FONT06", "SHDT06", "FONT07", "SHDT07"}, true, ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.files.size());
        ScratchDir dir;
        for (const std::string& name : c.files) {
            if (name[0] == '/')
                std::filesystem::create_directory(dir.path / (name.substr(1) + ".tiga"));
            Bytes f = build({});
            if (name[0] == '!') f[1] = 0;
            if (name[0] != '/') dir.write(name.substr(name[0] == '!') + ".tiga", f);
        }
        bool ok = !c.ok;
        auto [out, err] = captured([&] { ok = loadFontSlots(dir.path.string().c_str()); });
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(err, withPath(c.err, dir.path.string()));
        std::string summaries;  // in slot order, FONT before SHDT
        for (int s = 0; s < kFontSlotCount; ++s)
            for (const TigaFont* font : {&fonts[s], &shadow_fonts[s]}) {
                const std::string name =
                    (font == fonts + s ? "FONT0" : "SHDT0") + std::to_string(s);
                const bool present = std::count(c.files.begin(), c.files.end(), name) > 0;
                EXPECT_EQ(font->loaded, present) << name;
                if (present)
                    summaries += withPath(kSummary, dir.path.string() + "/" + name + ".tiga");
            }
        EXPECT_EQ(out, summaries);
    }
    releaseFontSlots();
    for (int s = 0; s < kFontSlotCount; ++s)
        EXPECT_TRUE(!fonts[s].pattern && !shadow_fonts[s].pattern) << s;
}

// The preview loads plain names from its working directory and ends with
// status 1 when no regular font loads. The child joins standard output to
// standard error so that the summary lines are matched too; a short path is
// padded to ten columns.
TEST(FontSlots, NoRegularFontInWorkingDirectoryEndsWithStatus1) {
    ScratchDir dir;
    dir.write("a.tiga", build({}));
    dir.write("SHDT01.tiga", build({}));
    auto child = [&] {
        std::error_code ec;
        std::filesystem::current_path(dir.path, ec);
        if (ec) _exit(3);
        setvbuf(stdout, nullptr, _IONBF, 0);
        dup2(2, 1);
        TigaFont font = {};  // left to the exit
        loadTigaFont("a.tiga", &font);
        _exit(loadFontSlots(nullptr) ? 0 : 1);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(1),
                "^TIGA: a\\.tiga      test face  h=2 lead=3 pitch=8 chars=0x41\\.\\.0x42\n"
                "TIGA: SHDT01\\.tiga  test face.*\nno TIGA fonts could be loaded\n$");
}

}  // namespace
