// Draws and lays out with font records and pages made of arbitrary bytes. The
// records are shaped as the loader leaves them (arrays as long as the record
// says, location tables free to run past the pitch), the pages as the feed may
// leave them mid-write. Whatever the bytes, drawing must stay inside the
// buffer it is given and inside the font's arrays.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fonts/tiga_font.h"
#include "model/page_model.h"
#include "render/page_layout.h"
#include "render/text.h"

namespace {

constexpr int kMaxRows = 96;    // buffer rows, kept small so each input is quick
constexpr int kMaxHeight = 90;  // glyph rows
constexpr int kMaxPitch = 2048;
constexpr int kMaxEntries = 300;

// The arrays of one font record, sized exactly so that a read past them is caught.
struct FuzzFont {
    std::vector<uint8_t> pattern, advances, offsets;
    std::vector<uint16_t> locations;
    TigaFont font{};
};

void makeFont(FuzzedDataProvider& in, FuzzFont& f) {
    const int height = in.ConsumeIntegralInRange(1, kMaxHeight);
    const int pitch = in.ConsumeIntegralInRange(1, kMaxPitch);
    const int first = in.ConsumeIntegralInRange(0, 255);
    const int entries = in.ConsumeIntegralInRange(2, kMaxEntries);
    f.pattern.assign(static_cast<size_t>(height) * pitch, 0);
    for (size_t i = 0; i < f.pattern.size() && in.remaining_bytes() > 0; i += 7)
        f.pattern[i] = in.ConsumeBool();
    f.locations.resize(entries), f.advances.resize(entries), f.offsets.resize(entries);
    for (int i = 0; i < entries; ++i) {
        f.locations[i] = in.ConsumeIntegral<uint16_t>();
        f.advances[i] = in.ConsumeIntegral<uint8_t>();
        f.offsets[i] = in.ConsumeIntegral<uint8_t>();
    }
    // clang-format off
    f.font = TigaFont{/*loaded*/ 1, "", first, /*lastChar*/ first + entries - 2,
                      /*defaultChar*/ in.ConsumeIntegralInRange(0, 600), height, /*leading*/ 0,
                      pitch, entries, f.pattern.data(), f.locations.data(), f.advances.data(),
                      f.offsets.data()};
    // clang-format on
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    FuzzFont normal, shadow;  // fresh each time: no spare capacity past the arrays
    makeFont(in, normal);
    makeFont(in, shadow);

    // Exactly rows rows: one pixel past the end is outside the allocation.
    const uint32_t rows = in.ConsumeIntegralInRange<uint32_t>(1, kMaxRows);
    std::vector<uint32_t> buf(static_cast<size_t>(rows) * kRenderWidth, 0);

    const int32_t x = in.ConsumeIntegral<int32_t>() % 2048;
    const int32_t y = in.ConsumeIntegral<int32_t>() % 256;
    const std::vector<char> text = in.ConsumeBytes<char>(in.ConsumeIntegralInRange(0, 80));
    drawTigaString(buf.data(), rows, x, y, std::string_view(text.data(), text.size()), normal.font,
                   kTextColor);

    // Every slot holds the fuzzed fonts; the page store gets two fuzzed records
    // (their text rows stay full, with no terminator).
    for (int s = 1; s < kFontSlotCount; ++s) {
        fonts[s] = in.ConsumeBool() ? normal.font : TigaFont{};
        shadow_fonts[s] = in.ConsumeBool() ? shadow.font : TigaFont{};
    }
    const int page = in.ConsumeIntegralInRange(0, 256);
    const int32_t limit = in.ConsumeIntegralInRange<int32_t>(-10, 2 * kMaxRows);
    const uint8_t fill = in.ConsumeIntegral<uint8_t>();
    for (int n = page; n < page + 2 && n < kPageCount; ++n) {
        uint8_t header[kHeaderSize];
        in.ConsumeData(header, sizeof header);
        std::memcpy(&pagestore[n], header, sizeof header);
        std::memset(pagestore[n].rowText, 'A' + n % 26, sizeof pagestore[n].rowText);
    }
    uint32_t first = 0, last = 0;
    const int32_t end = renderPageBody(page, buf.data(), rows, limit, fill, &first, &last);
    if (end < kHeaderBandRows || (end > limit && end != kHeaderBandRows)) __builtin_trap();

    std::memset(fonts, 0, sizeof fonts);
    std::memset(shadow_fonts, 0, sizeof shadow_fonts);
    return 0;
}
