#include "render/page_layout.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "model/page_model.h"
#include "model/shared_bytes.h"
#include "render/text.h"

constexpr int kLastLayoutPage = kPageCount - 1;  // 255 can be laid out, though never stored
constexpr int kColorMask = 0x0F;                 // rowColor indexes bg_palette with its low bits

const uint32_t bg_palette[16] = {
    0xff626262,                                                  // 0 grey
    0xff000060,                                                  // 1 dark red
    0xff008100,                                                  // 2 green
    0xff008100,                                                  // 3 green
    0xff600000,                                                  // 4 dark blue
    0xff950b42,                                                  // 5 purple
    0xff008100, 0xff008100, 0xff008100, 0xff008100, 0xff008100,  // 6..10 green
    0xff008100, 0xff008100, 0xff008100, 0xff008100, 0xff008100,  // 11..15 green
};
int32_t horizalign = 80;  // read on every layout, never written here
int32_t valign = 1;       // read on every layout, never written here

namespace {

// Takes a private copy of page n and tells whether it can be laid out. The
// listener may be rewriting the record meanwhile; working from the copy keeps
// each row's fields consistent with the row count read with them.
bool takePage(int64_t n, PageRecord& page) {
    if (n < 1 || n > kLastLayoutPage) return false;
    readPage(pagestore, static_cast<int>(n), page);
    return page.pageNumber != 0 && page.lineCount >= 1 && page.lineCount <= kRowCount;
}

// Paints rows first..first+count-1, all columns, clipped to the buffer's rows.
void paintBand(uint32_t* buf, uint32_t rows, int64_t first, int64_t count, uint32_t color) {
    const int64_t begin = std::max<int64_t>(first, 0);
    const int64_t end = std::min<int64_t>(first + count, rows);
    if (buf == nullptr || begin >= end) return;
    std::fill(buf + begin * kRenderWidth, buf + end * kRenderWidth, color);
}

uint32_t rowColorOf(const PageRecord& page, int row) {
    return bg_palette[page.style[row].rowColor & kColorMask];
}

int32_t clampToInt32(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// A row's text: up to its first NUL, and never past its 64 bytes.
std::string_view rowTextOf(const PageRecord& page, int row) {
    const auto* text = reinterpret_cast<const char*>(page.rowText[row]);
    const void* nul = std::memchr(text, 0, kRowTextSize);
    return std::string_view(text, nul ? static_cast<const char*>(nul) - text : kRowTextSize);
}

// Lays out the rows of one page from row y on. Returns false when a row did
// not fit under the height limit, which ends the whole layout.
bool layPage(const PageRecord& page, uint32_t* buf, uint32_t rows, int32_t heightLimit,
             uint8_t fill, int64_t& y, uint32_t& last) {
    for (int i = 0; i < page.lineCount; ++i) {
        const uint8_t size = page.shape[i].rowSize;
        const int height = (size >> 2) & 3;
        const int lineHeight = font_table[height][size & 1].lineHeight;
        if (y + lineHeight > heightLimit) return false;

        const uint32_t color = rowColorOf(page, i);
        if (fill) paintBand(buf, rows, y, lineHeight, color);
        drawTextLine(buf, rows, horizalign, clampToInt32(y + valign), rowTextOf(page, i), height,
                     size & 3, page.style[i].rowAttr & kRowBorder);
        y += lineHeight;
        last = color;
    }
    return true;
}

}  // namespace

// NOTE: the bands are clipped to the buffer's row count as well as to the
// height limit, so a limit above the row count cannot paint past the buffer.
int32_t renderPageBody(int32_t page, uint32_t* buf, uint32_t rows, int32_t heightLimit,
                       uint8_t fill, uint32_t* firstColor, uint32_t* lastColor) {
    PageRecord record;
    int64_t number = page;
    bool valid = takePage(number, record);
    const uint32_t startColor = valid ? rowColorOf(record, 0) : kDefaultBackground;

    if (fill) paintBand(buf, rows, 0, kHeaderBandRows, startColor);
    int64_t y = kHeaderBandRows;
    uint32_t last = startColor;

    // A chain goes on with the next page number while the page just laid out
    // has its chain bit, up to kMaxChainPages pages; an invalid page ends it.
    for (int laid = 1; valid; ++laid) {
        if (!layPage(record, buf, rows, heightLimit, fill, y, last)) break;
        if (!(record.motionFlags & kMotionChain) || laid >= kMaxChainPages) break;
        valid = takePage(++number, record);
    }

    if (firstColor) *firstColor = startColor;
    if (lastColor) *lastColor = last;
    return static_cast<int32_t>(y);
}
