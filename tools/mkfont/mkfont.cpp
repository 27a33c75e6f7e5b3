// vantrel-mkfont: makes the preview's fourteen TIGA font files, FONT01..07 and
// their shadows SHDT01..07, from an outline font rendered with FreeType.
//
// Slot plan (the preview's size table): slots 1..4 serve text sizes 0..3 on
// line bands of 20, 40, 60 and 80 rows; slots 5..7 are the wide variants of
// 2..4. Text is drawn one row below the top of its band, so a font may use
// band - 1 rows, and its shadow must fit in those rows too.

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "fonts/tiga_format.h"

constexpr int kSlotCount = 7;
constexpr int kLineHeight[kSlotCount + 1] = {0, 20, 40, 60, 80, 40, 60, 80};
constexpr int kNarrowSlot[kSlotCount + 1] = {0, 1, 2, 3, 4, 2, 3, 4};  // wide slot -> normal
constexpr int kTopGap = 1;      // text starts this many rows below the top of its band
constexpr int kRowWidth = 768;  // render row width
constexpr int kPenX = 80;       // every line starts at this column
constexpr int kLineBudget = kRowWidth - kPenX;  // 688 columns right of the pen
constexpr int kLineChars = 32;                  // what one line must hold in sizes 0 and 1
constexpr int kWidthCheckedSlots = 2;           // slots 1 and 2 carry the 32-character rule
constexpr double kWideFactor = 1.5;             // wide fonts against their normal ones
constexpr int kShadowDivisor = 20;              // shadow grows and moves by band / 20 rows

constexpr int kFirstAscii = 0x20;
constexpr int kLastAscii = 0x7E;
constexpr int kDefaultFirst = 0x20;  // Latin-1 through the outline font's Unicode map
constexpr int kDefaultLast = 0xFF;
constexpr int kDefaultChar = '?';

// File layout (fonts/tiga_format.h): the header, the pattern table right after
// it, then the location and offset/width tables.
constexpr int kHeaderSize = 80;    // the fields end at 74; readers want 78 bytes at least
constexpr int kMaxPitch = 0xFFFF;  // locations are 16-bit columns
constexpr int kMaxByte = 0xFF;     // advances and offsets are bytes

constexpr const char* kDefaultFontPattern = "DejaVu Sans:style=Bold";

// One rendered glyph, trimmed to its ink: rows * width bytes, 0 or 1.
struct Glyph {
    int left;                  // columns from the pen to the first ink column
    int top;                   // rows from the baseline up to the first ink row
    int width;                 // ink columns
    int rows;                  // ink rows
    int advance;               // pen advance, pixels
    std::vector<uint8_t> ink;  // row-major
};

// One font as it goes into a file.
struct TigaImage {
    std::string faceName;             // at most 30 bytes
    int firstChar;                    // first code
    int lastChar;                     // last code
    int height;                       // pattern rows
    int leading;                      // band rows left below the pattern
    int pitch;                        // pattern columns, a multiple of 8
    std::vector<uint8_t> pattern;     // height * pitch, 0 or 1
    std::vector<uint16_t> locations;  // lastChar - firstChar + 2 columns
    std::vector<uint8_t> advances;    // per code
    std::vector<uint8_t> offsets;     // per code
};

// The size a slot was made at and how it measures.
struct SlotSize {
    int xPpem;   // horizontal pixels per em
    int yPpem;   // vertical pixels per em
    int widest;  // widest printable ASCII cell (max of advance and right edge)
};

struct Options {
    std::string fontPath;  // outline font; empty: ask fontconfig
    std::string outDir;    // where the files go
    int first;             // first code
    int last;              // last code
    bool help;             // print the usage and stop
};

static void printUsage(FILE* out) {
    fprintf(out,
            "usage: vantrel-mkfont [--font PATH] [--out DIR] [--chars FIRST-LAST]\n"
            "\n"
            "Writes FONT01.tiga..FONT07.tiga and SHDT01.tiga..SHDT07.tiga, one summary\n"
            "line per file.\n"
            "\n"
            "  --font PATH         outline font to render (default: DejaVu Sans Bold,\n"
            "                      found with fc-match)\n"
            "  --out DIR           output folder, created if missing (default: .)\n"
            "  --chars FIRST-LAST  character codes, decimal or 0x hex, within 0..255\n"
            "                      (default: 0x20-0xFF)\n"
            "  --help              this text\n");
}

static bool parseCode(const char* text, int* code) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 0);
    if (errno || end == text || *end || v < 0 || v > kMaxByte) return false;
    *code = static_cast<int>(v);
    return true;
}

static bool parseChars(const char* text, int* first, int* last) {
    const char* dash = strchr(text, '-');
    if (!dash) return false;
    std::string a(text, dash);
    return parseCode(a.c_str(), first) && parseCode(dash + 1, last) && *first <= *last;
}

// Returns 0 to go on, otherwise the exit status.
static int parseOptions(int argc, char** argv, Options* opt) {
    opt->outDir = ".";
    opt->first = kDefaultFirst;
    opt->last = kDefaultLast;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (!strcmp(arg, "--help")) {
            opt->help = true;
        } else if (!strcmp(arg, "--font") && hasValue) {
            opt->fontPath = argv[++i];
        } else if (!strcmp(arg, "--out") && hasValue) {
            opt->outDir = argv[++i];
        } else if (!strcmp(arg, "--chars") && hasValue) {
            if (!parseChars(argv[++i], &opt->first, &opt->last)) {
                fprintf(stderr, "vantrel-mkfont: bad --chars '%s' (want FIRST-LAST in 0..255)\n",
                        argv[i]);
                return 2;
            }
        } else {
            fprintf(stderr, "vantrel-mkfont: unknown or incomplete option '%s'\n", arg);
            printUsage(stderr);
            return 2;
        }
    }
    return 0;
}

// Asks fontconfig for the default face. Returns an empty string when fc-match
// is missing or answers nothing.
static std::string findDefaultFont() {
    std::string cmd = std::string("fc-match --format=%{file} '") + kDefaultFontPattern + "'";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return {};
    std::string path;
    char chunk[256];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        path.append(chunk, n);
    if (pclose(pipe) != 0) return {};
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r'))
        path.pop_back();
    return path;
}

// Renders one code at the face's current size.
//
// Monochrome hinted rendering (FT_LOAD_TARGET_MONO), not a threshold of grey
// coverage: the hinter snaps stems and the baseline to whole pixels, so equal
// strokes come out equally wide in every glyph and every size. A threshold cuts
// each stroke where its coverage happens to cross one half, which makes stems
// of the small sizes one pixel wider in one letter than in the next.
static Glyph renderGlyph(FT_Face face, int code) {
    Glyph g{};
    FT_UInt index = FT_Get_Char_Index(face, static_cast<FT_ULong>(code));
    if (index == 0) return g;
    if (FT_Load_Glyph(face, index, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO)) return g;
    const FT_GlyphSlot slot = face->glyph;
    const FT_Bitmap& bm = slot->bitmap;
    g.advance = static_cast<int>((slot->advance.x + 32) >> 6);
    if (bm.pixel_mode != FT_PIXEL_MODE_MONO || bm.width == 0 || bm.rows == 0) return g;

    const int w = static_cast<int>(bm.width);
    const int h = static_cast<int>(bm.rows);
    auto bit = [&](int x, int y) {
        const unsigned char* row = bm.buffer + static_cast<ptrdiff_t>(y) * bm.pitch;
        return (row[x >> 3] >> (7 - (x & 7))) & 1;  // most significant bit leftmost
    };
    int x0 = w, x1 = -1, y0 = h, y1 = -1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (bit(x, y)) {
                x0 = std::min(x0, x);
                x1 = std::max(x1, x);
                y0 = std::min(y0, y);
                y1 = std::max(y1, y);
            }
    if (x1 < 0) return g;  // no ink at all
    g.left = slot->bitmap_left + x0;
    g.top = slot->bitmap_top - y0;
    g.width = x1 - x0 + 1;
    g.rows = y1 - y0 + 1;
    g.ink.assign(static_cast<size_t>(g.width) * g.rows, 0);
    for (int y = 0; y < g.rows; ++y)
        for (int x = 0; x < g.width; ++x)
            g.ink[y * g.width + x] = bit(x0 + x, y0 + y);
    return g;
}

static bool renderSet(FT_Face face, int xPpem, int yPpem, int first, int last,
                      std::vector<Glyph>* glyphs) {
    if (FT_Set_Pixel_Sizes(face, static_cast<FT_UInt>(xPpem), static_cast<FT_UInt>(yPpem)))
        return false;
    glyphs->clear();
    for (int c = first; c <= last; ++c)
        glyphs->push_back(renderGlyph(face, c));
    return true;
}

// Glyph images cannot start left of the pen (offsets are unsigned), so a
// glyph that overhangs to the left is moved right onto the pen.
static int glyphOffset(const Glyph& g) {
    return std::max(g.left, 0);
}

// Rows from the highest ink to the lowest, across the set.
static void inkExtent(const std::vector<Glyph>& glyphs, int* maxTop, int* minBottom) {
    *maxTop = 0;
    *minBottom = 0;
    for (const Glyph& g : glyphs) {
        if (g.ink.empty()) continue;
        *maxTop = std::max(*maxTop, g.top);
        *minBottom = std::min(*minBottom, g.top - g.rows);
    }
}

// The widest cell among the printable ASCII codes of the set: a line of
// kLineChars of them never ends further right than kLineChars times this.
static int widestAscii(const std::vector<Glyph>& glyphs, int first) {
    int widest = 0;
    for (size_t i = 0; i < glyphs.size(); ++i) {
        const int code = first + static_cast<int>(i);
        if (code < kFirstAscii || code > kLastAscii) continue;
        const Glyph& g = glyphs[i];
        widest = std::max({widest, g.advance, glyphOffset(g) + g.width});
    }
    return widest;
}

static int shadowGrow(int slot) {
    return std::max(1, (kLineHeight[slot] + kShadowDivisor / 2) / kShadowDivisor);
}

static int fontRows(int slot) {
    return kLineHeight[slot] - kTopGap;
}

// True when every glyph and its shadow (grow rows lower) fit in the slot's rows.
static bool fitsRows(const std::vector<Glyph>& glyphs, int slot) {
    int maxTop, minBottom;
    inkExtent(glyphs, &maxTop, &minBottom);
    return maxTop - minBottom + 2 * shadowGrow(slot) <= fontRows(slot);
}

// Height of the set's ink from the highest top to the lowest bottom, in ems,
// from the unhinted outlines.
static double spanInEms(FT_Face face, const Options& opt) {
    FT_Pos top = 0, bottom = 0;
    for (int c = opt.first; c <= opt.last; ++c) {
        FT_UInt index = FT_Get_Char_Index(face, static_cast<FT_ULong>(c));
        if (index == 0 || FT_Load_Glyph(face, index, FT_LOAD_NO_SCALE)) continue;
        const FT_Glyph_Metrics& m = face->glyph->metrics;
        top = std::max(top, m.horiBearingY);
        bottom = std::min(bottom, m.horiBearingY - m.height);
    }
    return static_cast<double>(top - bottom) / face->units_per_EM;
}

// Finds the largest vertical size at which the set fits the slot's rows, with
// the horizontal size tied to it by ratio. Starts a little above the size the
// outlines promise and walks down; hinting moves extents by a pixel either way.
static bool fitSlot(FT_Face face, int slot, double ratio, const Options& opt, SlotSize* size,
                    std::vector<Glyph>* glyphs) {
    const double span = std::max(spanInEms(face, opt), 0.25);
    int y = static_cast<int>((fontRows(slot) - 2 * shadowGrow(slot)) / span) + 2;
    for (; y > 1; --y) {
        const int x = std::max(1, static_cast<int>(std::lround(y * ratio)));
        if (!renderSet(face, x, y, opt.first, opt.last, glyphs)) return false;
        if (!fitsRows(*glyphs, slot)) continue;
        *size = {x, y, widestAscii(*glyphs, opt.first)};
        return true;
    }
    return false;
}

// Narrows a checked slot until kLineChars of its widest ASCII cell fit the budget.
static bool fitLine(FT_Face face, const Options& opt, SlotSize* size, std::vector<Glyph>* glyphs) {
    while (kLineChars * size->widest > kLineBudget) {
        if (--size->xPpem < 1) return false;
        if (!renderSet(face, size->xPpem, size->yPpem, opt.first, opt.last, glyphs)) return false;
        size->widest = widestAscii(*glyphs, opt.first);
    }
    return true;
}

// The shadow of one glyph: its ink grown by grow pixels all round with a
// rounded pen, so corners stay soft, and moved grow pixels down and right.
// The pen's upper-left quarter is square so that every ink pixel stays under
// the shadow; the shadow thus starts at the glyph's own top-left ink corner.
static bool inShadowPen(int dx, int dy, int grow) {
    if (dx <= 0 && dy <= 0) return true;  // dx, dy in -grow..grow
    return dx * dx + dy * dy <= grow * grow + grow;
}

static Glyph shadowOf(const Glyph& g, int grow) {
    if (g.ink.empty()) return g;
    Glyph s = g;
    s.width = g.width + 2 * grow;
    s.rows = g.rows + 2 * grow;
    s.ink.assign(static_cast<size_t>(s.width) * s.rows, 0);
    for (int y = 0; y < g.rows; ++y)
        for (int x = 0; x < g.width; ++x) {
            if (!g.ink[y * g.width + x]) continue;
            for (int dy = -grow; dy <= grow; ++dy)
                for (int dx = -grow; dx <= grow; ++dx)
                    if (inShadowPen(dx, dy, grow))
                        s.ink[(y + grow + dy) * s.width + (x + grow + dx)] = 1;
        }
    return s;
}

// Lays a set into one pattern. baseline is the pattern row of the baseline.
// Returns false when a table value does not fit its field.
static bool buildImage(const std::vector<Glyph>& glyphs, int first, int rows, int baseline,
                       TigaImage* img) {
    int columns = 0;
    for (const Glyph& g : glyphs)
        columns += g.width;
    img->firstChar = first;
    img->lastChar = first + static_cast<int>(glyphs.size()) - 1;
    img->height = rows;
    img->pitch = std::max(8, (columns + 7) / 8 * 8);
    if (img->pitch > kMaxPitch) return false;
    img->pattern.assign(static_cast<size_t>(rows) * img->pitch, 0);
    img->locations.clear();
    img->advances.clear();
    img->offsets.clear();

    int column = 0;
    for (const Glyph& g : glyphs) {
        const int offset = glyphOffset(g);
        if (g.advance > kMaxByte || offset > kMaxByte || g.advance < 0) return false;
        img->locations.push_back(static_cast<uint16_t>(column));
        img->advances.push_back(static_cast<uint8_t>(g.advance));
        img->offsets.push_back(static_cast<uint8_t>(offset));
        const int rowTop = baseline - g.top;
        for (int y = 0; y < g.rows; ++y) {
            if (rowTop + y < 0 || rowTop + y >= rows) return false;
            for (int x = 0; x < g.width; ++x)
                img->pattern[static_cast<size_t>(rowTop + y) * img->pitch + column + x] =
                    g.ink[y * g.width + x];
        }
        column += g.width;
    }
    // The closing entry ends the last glyph.
    img->locations.push_back(static_cast<uint16_t>(column));
    img->advances.push_back(0);
    img->offsets.push_back(0);
    return true;
}

static void putU16(std::vector<uint8_t>& f, size_t pos, uint32_t v) {
    f[pos] = v & 0xFF;
    f[pos + 1] = (v >> 8) & 0xFF;
}

static void putU32(std::vector<uint8_t>& f, size_t pos, uint32_t v) {
    putU16(f, pos, v & 0xFFFF);
    putU16(f, pos + 2, v >> 16);
}

// Header, pattern (one bit stream, least significant bit first), location
// table, offset/width table (advance byte, then offset byte).
static std::vector<uint8_t> encodeImage(const TigaImage& img) {
    const size_t patternBytes = (static_cast<size_t>(img.height) * img.pitch + 7) / 8;
    const size_t entries = img.locations.size();
    const size_t patternPos = kHeaderSize;
    const size_t locationPos = patternPos + patternBytes;
    const size_t widthPos = locationPos + 2 * entries;
    std::vector<uint8_t> f(widthPos + 2 * entries, 0);

    f[kMagicLowPos] = kMagicLow;
    f[kMagicHighPos] = kMagicHigh;
    memcpy(&f[kFaceNamePos], img.faceName.data(),
           std::min(img.faceName.size(), static_cast<size_t>(kFaceNameSize)));
    putU16(f, kDefaultCharPos, kDefaultChar);
    putU16(f, kFirstCharPos, static_cast<uint32_t>(img.firstChar));
    putU16(f, kLastCharPos, static_cast<uint32_t>(img.lastChar));
    putU16(f, kHeightPos, static_cast<uint32_t>(img.height));
    putU16(f, kLeadingPos, static_cast<uint32_t>(img.leading));
    putU32(f, kPitchPos, static_cast<uint32_t>(img.pitch));
    putU32(f, kPatternBitsPos, static_cast<uint32_t>(patternPos * 8));
    putU32(f, kLocationBitsPos, static_cast<uint32_t>(locationPos * 8));
    putU32(f, kWidthBitsPos, static_cast<uint32_t>(widthPos * 8));

    for (size_t k = 0; k < img.pattern.size(); ++k)
        if (img.pattern[k]) f[patternPos + k / 8] |= static_cast<uint8_t>(1u << (k % 8));
    for (size_t i = 0; i < entries; ++i) {
        putU16(f, locationPos + 2 * i, img.locations[i]);
        f[widthPos + 2 * i] = img.advances[i];
        f[widthPos + 2 * i + 1] = img.offsets[i];
    }
    return f;
}

static bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) {
        fprintf(stderr, "vantrel-mkfont: cannot write %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (fclose(out) != 0 || !ok) {
        fprintf(stderr, "vantrel-mkfont: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

static std::string faceNameOf(FT_Face face, bool wide, bool shadow) {
    std::string name = face->family_name ? face->family_name : "outline";
    if (face->style_name) name += std::string(" ") + face->style_name;
    if (wide) name += " wide";
    if (shadow) name += " shadow";
    if (name.size() > static_cast<size_t>(kFaceNameSize)) name.resize(kFaceNameSize);
    return name;
}

// Builds and writes one slot's regular and shadow files.
static bool writeSlot(FT_Face face, int slot, const SlotSize& size,
                      const std::vector<Glyph>& glyphs, const Options& opt) {
    const int rows = fontRows(slot);
    const int grow = shadowGrow(slot);
    int maxTop, minBottom;
    inkExtent(glyphs, &maxTop, &minBottom);
    const int spare = rows - (maxTop - minBottom) - 2 * grow;
    const int baseline = spare / 2 + maxTop;  // the text sits mid-band, its shadow below

    std::vector<Glyph> shadows;
    for (const Glyph& g : glyphs)
        shadows.push_back(shadowOf(g, grow));

    const bool wide = slot != kNarrowSlot[slot];
    for (int pass = 0; pass < 2; ++pass) {
        const bool shadow = pass == 1;
        TigaImage img;
        img.faceName = faceNameOf(face, wide, shadow);
        img.leading = kLineHeight[slot] - rows;
        if (!buildImage(shadow ? shadows : glyphs, opt.first, rows, baseline, &img)) {
            fprintf(stderr, "vantrel-mkfont: slot %d does not fit the file's fields\n", slot);
            return false;
        }
        char name[32];
        snprintf(name, sizeof name, "%s%02d.tiga", shadow ? "SHDT" : "FONT", slot);
        const std::string path = opt.outDir + "/" + name;
        if (!writeFile(path, encodeImage(img))) return false;
        printf("%s  %-30s  ppem=%dx%d  h=%d pitch=%d chars=0x%02X..0x%02X  widest=%d", name,
               img.faceName.c_str(), size.xPpem, size.yPpem, img.height, img.pitch, img.firstChar,
               img.lastChar, size.widest);
        if (slot <= kWidthCheckedSlots)
            printf("  %d chars <= %d of %d", kLineChars, kLineChars * size.widest, kLineBudget);
        printf("\n");
    }
    return true;
}

// Sizes every slot and writes the fourteen files. Slots 1 and 2 start at the
// face's own proportion and are narrowed until kLineChars of their widest
// ASCII cell fit the budget. Slots 3 and 4 keep slot 2's proportion, so the
// larger sizes look like size 1 and hold as many more characters per row as
// they can; wide slots take kWideFactor of their normal slot's width. Slot 1
// is not narrowed to slot 2's proportion: at 20 rows a narrowed bold face
// closes the counters of 3, 8 and 9, and the clock line fits without it.
static bool makeFonts(FT_Face face, const Options& opt) {
    SlotSize sizes[kSlotCount + 1] = {};
    std::vector<Glyph> glyphs[kSlotCount + 1];

    for (int slot = 1; slot <= kSlotCount; ++slot) {
        const int normal = kNarrowSlot[slot];
        bool ok;
        if (slot <= kWidthCheckedSlots) {
            ok = fitSlot(face, slot, 1.0, opt, &sizes[slot], &glyphs[slot]) &&
                 fitLine(face, opt, &sizes[slot], &glyphs[slot]);
        } else if (slot == normal) {
            const double ratio = static_cast<double>(sizes[2].xPpem) / sizes[2].yPpem;
            ok = fitSlot(face, slot, ratio, opt, &sizes[slot], &glyphs[slot]);
        } else {
            const double ratio = kWideFactor * sizes[normal].xPpem / sizes[normal].yPpem;
            ok = fitSlot(face, slot, ratio, opt, &sizes[slot], &glyphs[slot]);
        }
        if (!ok) {
            fprintf(stderr, "vantrel-mkfont: the font cannot be fitted to slot %d\n", slot);
            return false;
        }
        if (!writeSlot(face, slot, sizes[slot], glyphs[slot], opt)) return false;
    }
    return true;
}

int main(int argc, char** argv) {
    Options opt = {};
    if (int status = parseOptions(argc, argv, &opt)) return status;
    if (opt.help) {
        printUsage(stdout);
        return 0;
    }

    if (opt.fontPath.empty()) {
        opt.fontPath = findDefaultFont();
        if (opt.fontPath.empty()) {
            fprintf(stderr,
                    "vantrel-mkfont: no default font: fc-match found no '%s' "
                    "(install fonts-dejavu-core or pass --font PATH)\n",
                    kDefaultFontPattern);
            return 1;
        }
    }
    std::error_code ec;
    std::filesystem::create_directories(opt.outDir, ec);
    if (ec) {
        fprintf(stderr, "vantrel-mkfont: cannot create %s: %s\n", opt.outDir.c_str(),
                ec.message().c_str());
        return 1;
    }

    FT_Library library;
    if (FT_Init_FreeType(&library)) {
        fprintf(stderr, "vantrel-mkfont: FreeType does not start\n");
        return 1;
    }
    FT_Face face;
    int status = 1;
    if (FT_Error err = FT_New_Face(library, opt.fontPath.c_str(), 0, &face)) {
        fprintf(stderr, "vantrel-mkfont: %s: not an outline font FreeType can read (error %d)\n",
                opt.fontPath.c_str(), err);
    } else {
        if (!FT_IS_SCALABLE(face))
            fprintf(stderr, "vantrel-mkfont: %s: not an outline font\n", opt.fontPath.c_str());
        else if (FT_Select_Charmap(face, FT_ENCODING_UNICODE))
            fprintf(stderr, "vantrel-mkfont: %s: has no Unicode map\n", opt.fontPath.c_str());
        else if (makeFonts(face, opt))
            status = 0;
        FT_Done_Face(face);
    }
    FT_Done_FreeType(library);
    return status;
}
