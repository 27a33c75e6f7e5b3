// Feeds arbitrary bytes to loadTigaFont as a font file. Whatever the bytes,
// the loader must load or refuse them without a crash, a read outside a
// buffer or a leak, and a loaded font must hold what the drawing relies on.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fonts/tiga_font.h"

static char font_path[128];  // one scratch file per fuzzing process

static void removeScratchFile() {
    unlink(font_path);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A memory-backed folder keeps the file round trip cheap.
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    snprintf(font_path, sizeof font_path, "%s/vantrel-tiga-fuzz-%d", base,
             static_cast<int>(getpid()));
    atexit(removeScratchFile);
    // The summary line of every font that loads is of no interest here.
    if (!freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

// Reads every byte the drawing may read: the whole pattern, every table entry,
// and each glyph's columns clipped to the pitch, as the drawing clips them.
static void walkLoadedFont(const TigaFont& font) {
    if (font.loaded != 1 || font.height <= 0 || font.pitch <= 0 ||
        font.entryCount != font.lastChar - font.firstChar + 2 || font.entryCount < 2 ||
        font.faceName[kFaceNameSize] != '\0')
        abort();
    const int64_t pixels = int64_t{font.height} * font.pitch;
    for (int64_t k = 0; k < pixels; ++k)
        if (font.pattern[k] > 1) abort();
    unsigned ink = 0;
    for (int g = 0; g + 1 < font.entryCount; ++g) {
        const int begin = font.locations[g];
        const int end = font.locations[g + 1];
        for (int r = 0; r < font.height; ++r)
            for (int col = begin; col < end && col < font.pitch; ++col)
                ink += font.pattern[int64_t{r} * font.pitch + col];
        ink += font.advances[g] + font.offsets[g];
    }
    ink += font.advances[font.entryCount - 1] + font.offsets[font.entryCount - 1];
    if (ink == 0xFFFFFFFFu) abort();  // keeps the walk from being optimised away
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = fopen(font_path, "wb");
    if (!file) abort();
    if (size && fwrite(data, 1, size, file) != size) abort();
    if (fclose(file) != 0) abort();

    TigaFont font;
    memset(&font, 0xA5, sizeof font);  // the loader clears the record itself
    if (loadTigaFont(font_path, &font)) {
        walkLoadedFont(font);
    } else if (font.loaded || font.pattern || font.locations || font.advances || font.offsets) {
        abort();  // a refused font must hold no arrays
    }
    freeTigaFont(&font);
    return 0;
}
