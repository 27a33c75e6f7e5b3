// The page model: every display page the feed has stored, and the control
// bytes that say what the display shows. The listener thread writes it and the
// frame loop reads it, without a lock; see shared_bytes.h for how.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kPageCount = 256;    // page numbers 0..255; 0 means "no page"
constexpr int kMaxPageNumber = 254;  // highest page number a message can store
constexpr int kRowCount = 15;      // text rows per page
constexpr int kRowTextSize = 64;   // characters per row, NUL-padded, no terminator when full
constexpr int kHeaderSize = 64;    // bytes of a record before its text rows
constexpr int kLdlSourcePage = 50; // the page whose lines the lower display line shows

// alertFlags bits
constexpr uint8_t kAlertWarning = 0x01;
constexpr uint8_t kAlertAdvisory = 0x02;
constexpr uint8_t kAlertFreeze = 0x04;

// motionFlags bits
constexpr uint8_t kMotionChain = 0x01;
constexpr uint8_t kMotionRoll = 0x02;
constexpr uint8_t kMotionFlip = 0x04;

// rowAttr bits
constexpr uint8_t kRowBorder = 0x01;
constexpr uint8_t kRowReverse = 0x02;
constexpr uint8_t kRowFlash = 0x04;
constexpr uint8_t kRowSeparator = 0x08;

// omcw indices (index 0 is never used)
constexpr int kSolidFlags = 1;
constexpr int kTopPage = 2;
constexpr int kLdlPage = 3;
constexpr int kOmcwSize = 4;

// solidFlags bits
constexpr uint8_t kBottomSolid = 0x01;
constexpr uint8_t kTopSolid = 0x02;
constexpr uint8_t kRegionSeparator = 0x04;

struct RowStyle {
    uint8_t rowAttr;   // kRow* bits
    uint8_t rowColor;  // background colour, 0..15, an index into bg_palette
};

struct RowShape {
    uint8_t rowNumber;  // 0..15, carried and never read
    uint8_t rowSize;    // height << 2 | width; each 0..3
};

// One page: a 64-byte header and 15 text rows of 64 bytes.
struct PageRecord {
    uint8_t pageNumber;                     // 1..254; 0 = record empty
    uint8_t lineCount;                      // text rows in use, 0..15
    uint8_t alertFlags;                     // kAlert* bits
    uint8_t motionFlags;                    // kMotion* bits
    RowStyle style[kRowCount];              // offsets 4..33, per row
    RowShape shape[kRowCount];              // offsets 34..63, per row
    uint8_t rowText[kRowCount][kRowTextSize];  // offsets 64..1023
};

static_assert(sizeof(PageRecord) == 1024 && sizeof(RowStyle) == 2 && sizeof(RowShape) == 2);
static_assert(offsetof(PageRecord, lineCount) == 1);
static_assert(offsetof(PageRecord, alertFlags) == 2);
static_assert(offsetof(PageRecord, motionFlags) == 3);
static_assert(offsetof(PageRecord, style) == 4);
static_assert(offsetof(PageRecord, shape) == 34);
static_assert(offsetof(PageRecord, rowText) == kHeaderSize);

// The live page model. Written by the listener thread, read by the frame loop.
extern PageRecord pagestore[kPageCount];  // indexed by page number
extern uint8_t omcw[kOmcwSize];           // control bytes: kSolidFlags, kTopPage, kLdlPage
extern uint8_t solid_dirty;  // set by the feed after writing solidFlags; cleared by the
                             // canvas repaint before it reads them. Starts at 1.
extern uint8_t page_dirty;   // set by the feed after every committed page; cleared by the
                             // frame loop before it renders the top region. Starts at 0.

// Where a decoder writes: the live model above, or a private one of the same
// shape (the page checker decodes into its own copy).
struct PageModel {
    PageRecord* pages;    // kPageCount records
    uint8_t* omcw;        // kOmcwSize control bytes
    uint8_t* solidDirty;  // change flag for solidFlags
    uint8_t* pageDirty;   // change flag for committed pages
};

extern const PageModel live_model;  // points at pagestore, omcw, solid_dirty, page_dirty

// Puts the live model in its start-up state: rowColor 2 on rows 0..14 of
// records 1..255, solidFlags 0x05, topPage 1, ldlPage 1. Start-up calls it
// before the listener thread exists.
void presetPageModel();

// The same start-up state, written into any page model (the page checker's
// private copy starts where the display starts).
void presetPageModel(const PageModel& model);
