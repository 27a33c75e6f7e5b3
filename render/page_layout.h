// Page body layout: a page and the pages chained to it, as coloured row bands
// with their text, in a 768-wide render buffer.
#pragma once

#include <cstdint>

constexpr int kHeaderBandRows = 40;                  // rows above the first page row
constexpr int kMaxChainPages = 8;                    // a chain lays out at most this many pages
constexpr uint32_t kDefaultBackground = 0xff008100;  // green, for an invalid start page

extern const uint32_t bg_palette[16];  // row background colours, by rowColor & 15
extern int32_t horizalign;             // pen x of every row's text (80)
extern int32_t valign;                 // rows from a band's top to its text (1)

// Lays page out into buf (768 pixels per row, rows rows, cleared by the caller).
// A row is laid out only if its band ends at or above heightLimit. With fill
// set the header band and the row bands are painted. Stores the first row's
// colour (when firstColor is not null) and the last laid-out row's colour, and
// returns the row just below the last band (40 when nothing was laid out).
// Reads each page of the store through a private copy (readPage), so the
// listener may rewrite it meanwhile; a change shows in the next layout.
int32_t renderPageBody(int32_t page, uint32_t* buf, uint32_t rows, int32_t heightLimit,
                       uint8_t fill, uint32_t* firstColor, uint32_t* lastColor);
