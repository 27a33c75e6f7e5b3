#include "fonts/tiga_font.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fonts/tiga_format.h"

// A damaged header can ask for any height and pitch; 64 MiB of pixels is far
// above any font a 768-pixel row can show.
constexpr int64_t kMaxPatternBytes = int64_t{64} << 20;

// Table positions are 32-bit bit offsets, so nothing past 512 MiB plus the
// largest pattern and tables can ever be read. A bigger size (or the odd size a
// directory reports) is treated like a failed buffer allocation.
constexpr long kMaxFileSize = (long{1} << 30);

constexpr int kNameBufferSize = 32;    // "FONT01.tiga" and the like
constexpr int kPathBufferSize = 4096;  // dir + '/' + name

TigaFont fonts[kFontSlotCount] = {};         // filled by loadFontSlots, freed by releaseFontSlots
TigaFont shadow_fonts[kFontSlotCount] = {};  // likewise, the black companions

static uint16_t readU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

static uint32_t readU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Reads the whole file with one read call. Returns the buffer (caller frees)
// and its size, or null when the file cannot be opened, is 77 bytes or less,
// cannot be buffered or reads short.
static uint8_t* readFontFile(const char* path, long* size) {
    FILE* file = fopen(path, "rb");
    if (!file) return nullptr;
    long length = -1;
    if (fseek(file, 0, SEEK_END) == 0) length = ftell(file);
    if (length < 0 || fseek(file, 0, SEEK_SET) != 0 || length < kMinFileSize ||
        length > kMaxFileSize) {
        fclose(file);
        return nullptr;
    }
    auto* bytes = static_cast<uint8_t*>(malloc(static_cast<size_t>(length)));
    if (!bytes) {
        fclose(file);
        return nullptr;
    }
    size_t got = fread(bytes, 1, static_cast<size_t>(length), file);
    fclose(file);
    if (got < static_cast<size_t>(length)) {
        free(bytes);
        return nullptr;
    }
    *size = length;
    return bytes;
}

// Fills a font from a whole file held in memory; path is only for messages.
static bool parseFont(const char* path, const uint8_t* bytes, long size, TigaFont* font) {
    if (bytes[kMagicLowPos] != kMagicLow || bytes[kMagicHighPos] != kMagicHigh) {
        fprintf(stderr, "%s: bad TIGA magic\n", path);
        return false;
    }

    memcpy(font->faceName, bytes + kFaceNamePos, kFaceNameSize);
    font->faceName[kFaceNameSize] = '\0';
    font->defaultChar = readU16(bytes + kDefaultCharPos);
    font->firstChar = readU16(bytes + kFirstCharPos);
    font->lastChar = readU16(bytes + kLastCharPos);
    font->height = readU16(bytes + kHeightPos);
    font->leading = readU16(bytes + kLeadingPos);
    font->pitch = static_cast<int32_t>(readU32(bytes + kPitchPos));
    font->entryCount = font->lastChar - font->firstChar + 2;
    const int64_t patternStart = readU32(bytes + kPatternBitsPos) >> 3;
    const int64_t locationStart = readU32(bytes + kLocationBitsPos) >> 3;
    const int64_t widthStart = readU32(bytes + kWidthBitsPos) >> 3;

    if (font->height == 0 || font->pitch <= 0 || font->entryCount <= 1) return false;

    // height < 2^16 and pitch < 2^31, so the 64-bit product cannot overflow.
    const int64_t pixels = int64_t{font->height} * font->pitch;
    if (pixels > kMaxPatternBytes) {
        fprintf(stderr, "%s: pattern too large\n", path);
        return false;
    }

    // Pixel k of the pattern is bit k & 7 of byte patternStart + k / 8: the rows
    // form one bit stream, never realigned to a byte. The stream fits when its
    // last pixel lies in the file; checking that once up front refuses exactly
    // the files that unpacking bit by bit would stop in, without allocating
    // (perhaps 64 MiB) for a file that is bound to fail.
    if (patternStart + (pixels - 1) / 8 >= size) {
        fprintf(stderr, "%s: pattern table overruns file\n", path);
        return false;
    }
    font->pattern = static_cast<uint8_t*>(malloc(static_cast<size_t>(pixels)));
    if (!font->pattern) return false;
    const uint8_t* stream = bytes + patternStart;
    for (int64_t k = 0; k < pixels; ++k)
        font->pattern[k] = (stream[k >> 3] >> (k & 7)) & 1;

    // Both per-character tables hold entryCount two-byte entries and must lie
    // wholly inside the file.
    const int64_t tableBytes = int64_t{2} * font->entryCount;
    if (locationStart + tableBytes > size || widthStart + tableBytes > size) {
        fprintf(stderr, "%s: character tables overrun file\n", path);
        free(font->pattern);
        font->pattern = nullptr;
        return false;
    }

    const auto count = static_cast<size_t>(font->entryCount);
    font->locations = static_cast<uint16_t*>(malloc(count * sizeof(uint16_t)));
    font->advances = static_cast<uint8_t*>(malloc(count));
    font->offsets = static_cast<uint8_t*>(malloc(count));
    if (!font->locations || !font->advances || !font->offsets) {
        free(font->pattern);
        free(font->locations);
        free(font->advances);
        free(font->offsets);
        *font = TigaFont{};
        return false;
    }
    // NOTE: a glyph's columns are not checked against pitch. A glyph that reaches
    // to pitch or beyond loads as it stands; the text drawing skips pattern
    // columns at or past pitch, so it never reads outside the pattern.
    for (size_t i = 0; i < count; ++i) {
        font->locations[i] = readU16(bytes + locationStart + 2 * i);
        font->advances[i] = bytes[widthStart + 2 * i];
        font->offsets[i] = bytes[widthStart + 2 * i + 1];
    }
    return true;
}

bool loadTigaFont(const char* path, TigaFont* font) {
    *font = TigaFont{};
    long size = 0;
    uint8_t* bytes = readFontFile(path, &size);
    if (!bytes) return false;
    bool ok = parseFont(path, bytes, size, font);
    free(bytes);
    if (!ok) return false;

    font->loaded = 1;
    printf("TIGA: %-10s  %s  h=%d lead=%d pitch=%d chars=0x%02X..0x%02X\n", path, font->faceName,
           font->height, font->leading, font->pitch, font->firstChar, font->lastChar);
    return true;
}

void freeTigaFont(TigaFont* font) {
    if (!font->loaded) return;
    free(font->pattern);
    free(font->locations);
    free(font->advances);
    free(font->offsets);
    *font = TigaFont{};
}

// Loads one slot file, "dir/NAME" or the plain name when dir is null or
// empty. A path too long for the buffer counts as a file that cannot be opened.
static bool loadSlotFile(const char* dir, const char* prefix, int slot, TigaFont* font) {
    char name[kNameBufferSize];
    snprintf(name, sizeof name, "%s%02d.tiga", prefix, slot);
    if (!dir || !*dir) return loadTigaFont(name, font);

    char path[kPathBufferSize];
    int n = snprintf(path, sizeof path, "%s/%s", dir, name);
    if (n < 0 || n >= static_cast<int>(sizeof path)) {
        *font = TigaFont{};
        return false;
    }
    return loadTigaFont(path, font);
}

bool loadFontSlots(const char* dir) {
    releaseFontSlots();  // a second call must not leak the first one's arrays
    bool anyRegular = false;
    for (int slot = 1; slot < kFontSlotCount; ++slot) {
        if (loadSlotFile(dir, "FONT", slot, &fonts[slot])) anyRegular = true;
        loadSlotFile(dir, "SHDT", slot, &shadow_fonts[slot]);  // shadows are optional
    }
    if (!anyRegular) {
        fprintf(stderr, "no TIGA fonts could be loaded\n");
        return false;
    }
    if (!fonts[1].loaded || !fonts[2].loaded || !fonts[7].loaded)
        fprintf(stderr,
                "warning: FONT01/FONT02/FONT07 not all present; missing heights will fall back\n");
    return true;
}

void releaseFontSlots() {
    for (int slot = 1; slot < kFontSlotCount; ++slot) {
        freeTigaFont(&fonts[slot]);
        freeTigaFont(&shadow_fonts[slot]);
    }
}
