// Composes frames over a page store and control bytes made of arbitrary bytes,
// as a damaged or racing feed could leave them: any record contents (line
// counts, row sizes and chain bits out of range), any topPage, ldlPage and
// solid flags, any clock fields and frame counter, and a change between two
// runs of frames. Every frame must stay inside the preview's buffers.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include "app/buffers.h"
#include "app/canvas.h"
#include "app/frame.h"
#include "app/ldl.h"
#include "fonts/tiga_font.h"
#include "model/page_model.h"
#include "model/shared_bytes.h"
#include "render/resample.h"

namespace {

constexpr int kMaxRecords = 4;  // records written per change
constexpr int kMaxFrames = 3;   // frames per run, kept small so each input is quick

void setUpOnce() {
    static bool ready = false;
    if (ready) return;
    ready = true;
    loadFontSlots(VANTREL_FUZZ_FONT_DIR);  // without fonts the frames still run, textless
    buildHtaps();
    if (!allocateRenderBuffers() || !allocateImages()) __builtin_trap();
}

// Writes a few records and the control bytes from the input, flags last.
void change(FuzzedDataProvider& in) {
    const int records = in.ConsumeIntegralInRange(0, kMaxRecords);
    for (int r = 0; r < records; ++r) {
        const uint8_t page = in.ConsumeIntegral<uint8_t>();
        const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(sizeof(PageRecord));
        if (!bytes.empty()) std::memcpy(&pagestore[page], bytes.data(), bytes.size());
    }
    for (int i = 1; i < kOmcwSize; ++i)
        if (in.ConsumeBool()) omcw[i] = in.ConsumeIntegral<uint8_t>();
    if (in.ConsumeBool()) raiseFlag(page_dirty);
    if (in.ConsumeBool()) raiseFlag(solid_dirty);
}

struct tm clockFrom(FuzzedDataProvider& in) {
    struct tm t = {};
    for (int* field : {&t.tm_hour, &t.tm_min, &t.tm_sec, &t.tm_mday, &t.tm_mon, &t.tm_wday})
        *field = in.ConsumeIntegral<int8_t>();
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setUpOnce();
    FuzzedDataProvider in(data, size);
    std::memset(pagestore, 0, sizeof pagestore);
    std::memset(omcw, 0, sizeof omcw);
    solid_dirty = 1;
    page_dirty = 0;
    presetPageModel();
    resetFrameState();
    frameCount = in.ConsumeIntegral<uint32_t>();
    ldlLine = in.ConsumeIntegralInRange<int32_t>(-4, 300);
    repaintSolids();

    const struct tm clock = clockFrom(in);
    change(in);
    for (int f = in.ConsumeIntegralInRange(1, kMaxFrames); f > 0; --f)
        composeFrame(clock);
    change(in);
    for (int f = in.ConsumeIntegralInRange(1, kMaxFrames); f > 0; --f)
        composeFrame(clock);
    return 0;
}
