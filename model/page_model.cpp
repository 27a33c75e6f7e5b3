#include "model/page_model.h"

#include "model/shared_bytes.h"

constexpr uint8_t kPresetRowColor = 2;      // green, until a page is stored
constexpr uint8_t kStartSolidFlags = kBottomSolid | kRegionSeparator;
constexpr uint8_t kStartTopPage = 1;
constexpr uint8_t kStartLdlPage = 1;

PageRecord pagestore[kPageCount] = {};  // zero at load: no page stored
uint8_t omcw[kOmcwSize] = {};           // set by presetPageModel, then by the feed
uint8_t solid_dirty = 1;                // the first frame paints the canvas
uint8_t page_dirty = 0;                 // no page committed yet

const PageModel live_model = {pagestore, omcw, &solid_dirty, &page_dirty};

void presetPageModel(const PageModel& model) {
    for (int n = 1; n < kPageCount; ++n)
        for (int row = 0; row < kRowCount; ++row)
            storeShared(model.pages[n].style[row].rowColor, kPresetRowColor);
    storeShared(model.omcw[kSolidFlags], kStartSolidFlags);
    storeShared(model.omcw[kTopPage], kStartTopPage);
    storeShared(model.omcw[kLdlPage], kStartLdlPage);
}

void presetPageModel() { presetPageModel(live_model); }

void readPage(const PageRecord* pages, int n, PageRecord& out) {
    const auto* src = reinterpret_cast<const uint8_t*>(&pages[n]);
    auto* dst = reinterpret_cast<uint8_t*>(&out);
    for (int i = 0; i < static_cast<int>(sizeof(PageRecord)); ++i) dst[i] = loadShared(src[i]);
}

void writeShared(uint8_t* dst, const uint8_t* src, int n) {
    for (int i = 0; i < n; ++i) storeShared(dst[i], src[i]);
}
