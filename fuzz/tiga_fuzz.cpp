// Feeds arbitrary bytes to loadTigaFont as a font file. Whatever the bytes,
// the loader must load or refuse them without a crash, a read outside a
// buffer or a leak, and every character of a loaded font must draw inside its
// arrays wherever the pen is.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fonts/tiga_font.h"
#include "render/render_buffer.h"
#include "render/text.h"

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
    return freopen("/dev/null", "w", stdout) == nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = fopen(font_path, "wb");
    if (!file || (size && fwrite(data, 1, size, file) != size) || fclose(file) != 0) abort();

    TigaFont font;
    memset(&font, 0xA5, sizeof font);  // the loader clears the record itself
    if (loadTigaFont(font_path, &font)) {
        if (font.entryCount != font.lastChar - font.firstChar + 2 ||
            font.faceName[kFaceNameSize] != '\0')
            abort();
        // Every character, over every glyph row a band of rows at a time, from
        // pens left of the row, at its start and near its right edge.
        char all[256];
        for (int c = 0; c < 256; ++c)
            all[c] = static_cast<char>(c == 0 ? ' ' : c);
        const uint32_t band = font.height < 64 ? font.height : 64;
        static std::vector<uint32_t> rows(64 * kRenderWidth);
        for (int32_t x : {-300, 0, kRenderWidth - 60})
            for (int32_t y = 0; y > -font.height; y -= band)
                drawTigaString(rows.data(), band, x, y, std::string_view(all, sizeof all), font,
                               kTextColor);
    } else if (font.loaded || font.pattern || font.locations || font.advances || font.offsets) {
        abort();  // a refused font must hold no arrays
    }
    freeTigaFont(&font);
    return 0;
}
