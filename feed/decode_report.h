// What one decode did, key by key: an optional record the decoder fills when a
// caller hands it one. The page checker reads it to explain to a page composer
// what the display makes of a message; the live feed never asks for it.
//
// The record is plain data of fixed size (about 50 KB): no callbacks, no heap.
// Every field is written by decodeMessageInto, which resets the whole record
// first, so one record can be reused message after message.
#pragma once

#include <cstdint>

#include "model/page_model.h"

constexpr int kDecodeTokenCount = 2048;  // tokens per message: enough for any 4095-byte text
constexpr int kValueBufferSize = 128;    // a value's text is cut to 127 characters + NUL

// Every key the decoder knows, in the order a token is tried against them:
// first the display keys, then the page keys.
enum class DecodeKey : uint8_t {
    BottomSolid,
    TopSolid,
    RegionSeparator,
    TopPage,
    LdlPage,
    PageNumber,
    LineCount,
    Freeze,
    Advisory,
    Warning,
    Flip,
    Roll,
    Chain,
    Separator,
    Seperator,  // the same row flag as Separator, sharing its row counter
    Flash,
    Reverse,
    Border,
    Color,
    RowNumber,
    Height,
    Width,
    TextData,
};
constexpr int kDecodeKeyCount = 23;
constexpr int kFirstPageKey = static_cast<int>(DecodeKey::PageNumber);

enum class ValueKind : uint8_t {
    Boolean,  // exactly "true" sets the bit, any other text clears it
    Number,   // a decimal integer as "%d" reads it, accepted from 0 to max
    Text,     // "textData": the row's text
};

// Per-row keys with a row counter each ("separator" and "seperator" share one).
enum class RowCounter : uint8_t {
    Separator,
    Flash,
    Reverse,
    Border,
    Color,
    RowNumber,
    Height,
    Width,
    TextData,
};
constexpr int kRowCounterCount = 9;
constexpr int8_t kNoRowCounter = -1;

// How the decoder reads and places one key.
struct DecodeKeyInfo {
    const char* name;    // the key as it must appear in the message, quoted
    uint8_t nameLength;  // characters in name
    ValueKind kind;
    bool pageKey;       // honoured only when the text contains "pageData"
    int8_t rowCounter;  // RowCounter of a per-row key (row = count mod 15); kNoRowCounter
    int max;            // highest accepted number (Number keys only)
};

constexpr DecodeKeyInfo decodeKey(const char* name, ValueKind kind, bool pageKey,
                                  RowCounter counter, int max = 0) {
    uint8_t length = 0;
    while (name[length] != '\0')
        ++length;
    return {name, length, kind, pageKey, static_cast<int8_t>(counter), max};
}

constexpr DecodeKeyInfo decodeKey(const char* name, ValueKind kind, bool pageKey, int max = 0) {
    DecodeKeyInfo info = decodeKey(name, kind, pageKey, RowCounter::Separator, max);
    info.rowCounter = kNoRowCounter;
    return info;
}

// The key table, in DecodeKey order; index with static_cast<int>(key).
inline constexpr DecodeKeyInfo kDecodeKeys[kDecodeKeyCount] = {
    decodeKey("bottomSolid", ValueKind::Boolean, false),
    decodeKey("topSolid", ValueKind::Boolean, false),
    decodeKey("regionSeparator", ValueKind::Boolean, false),
    decodeKey("topPage", ValueKind::Number, false, kMaxPageNumber),
    decodeKey("ldlPage", ValueKind::Number, false, 3),
    decodeKey("pageNumber", ValueKind::Number, true, kMaxPageNumber),
    decodeKey("lineCount", ValueKind::Number, true, kRowCount),
    decodeKey("freeze", ValueKind::Boolean, true),
    decodeKey("advisory", ValueKind::Boolean, true),
    decodeKey("warning", ValueKind::Boolean, true),
    decodeKey("flip", ValueKind::Boolean, true),
    decodeKey("roll", ValueKind::Boolean, true),
    decodeKey("chain", ValueKind::Boolean, true),
    decodeKey("separator", ValueKind::Boolean, true, RowCounter::Separator),
    decodeKey("seperator", ValueKind::Boolean, true, RowCounter::Separator),
    decodeKey("flash", ValueKind::Boolean, true, RowCounter::Flash),
    decodeKey("reverse", ValueKind::Boolean, true, RowCounter::Reverse),
    decodeKey("border", ValueKind::Boolean, true, RowCounter::Border),
    decodeKey("color", ValueKind::Number, true, RowCounter::Color, 15),
    decodeKey("rowNumber", ValueKind::Number, true, RowCounter::RowNumber, 15),
    decodeKey("height", ValueKind::Number, true, RowCounter::Height, 3),
    decodeKey("width", ValueKind::Number, true, RowCounter::Width, 3),
    decodeKey("textData", ValueKind::Text, true, RowCounter::TextData),
};

constexpr const DecodeKeyInfo& decodeKeyInfo(DecodeKey key) {
    return kDecodeKeys[static_cast<int>(key)];
}

// What became of one key token.
enum class KeyOutcome : uint8_t {
    Applied,   // the value was taken (display state or staging record changed)
    Rejected,  // a number outside 0..max: nothing changed, the row counter still moved
    Gated,     // a page key in a message without "pageData": not even read
    Unquoted,  // a primitive token that spells a key name: never a key
};

// Details of one key event (bit flags).
constexpr uint16_t kEventFromValue = 0x0001;   // the token is a string value, not an object key
constexpr uint16_t kEventNoValue = 0x0002;     // the key is the last token: its value is empty
constexpr uint16_t kEventValueCut = 0x0004;    // value text over 127 characters, cut
constexpr uint16_t kEventNoNumber = 0x0008;    // number key whose value holds no number: read as 0
constexpr uint16_t kEventNotBoolean = 0x0010;  // boolean value neither exactly true nor false
constexpr uint16_t kEventValueNotString = 0x0020;  // textData whose value is not a string
constexpr uint16_t kEventRowWrapped = 0x0040;      // 16th or later occurrence: row reused
constexpr uint16_t kEventTextCut = 0x0080;         // textData longer than the row: tail lost
constexpr uint16_t kEventTextCollapsed = 0x0100;   // textData had escaped backslashes collapsed
constexpr uint16_t kEventTextEscapes = 0x0200;     // textData keeps other escapes as two characters
constexpr uint16_t kEventNumberTrailing = 0x0400;  // characters after the number (12.9, "7 rows")

struct KeyEvent {
    int16_t token;       // index of the key token
    DecodeKey key;       // which key
    KeyOutcome outcome;  // applied, rejected, gated, unquoted
    uint16_t flags;      // kEvent* bits
    uint8_t row;         // per-row keys: the row the key landed in, 0..14
    uint8_t occurrence;  // per-row keys: the counter before this key, capped at 255
    int32_t keyStart;    // position of the key's first character in the message
    int32_t valueStart;  // value text in the message: [valueStart, valueEnd); -1 when none
    int32_t valueEnd;    //
    int32_t number;      // the value read: 0/1 for booleans, the number (saturated) otherwise
    uint8_t result;      // the byte after the key: solidFlags, topPage, ldlPage or staging field
};

enum class CommitOutcome : uint8_t {
    NotParsed,       // the text did not parse (or held no more than one token)
    GateClosed,      // no "pageData" in the text: page keys were ignored
    NoPageNumber,    // no "pageNumber" was accepted
    PageNumberZero,  // "pageNumber" 0 was accepted: 0 means no page
    Committed,       // the staging record was stored as page commitPage
};

struct DecodeReport {
    int textLength;     // bytes of text read (up to the first NUL)
    int parseResult;    // token count, or a negative jsmn error
    int parseStop;      // where the tokenizer stopped: the end, or near an error
    bool pageDataOpen;  // the text contains "pageData"
    int eventCount;     // entries used in events
    KeyEvent events[kDecodeTokenCount];
    int rowKeyCount[kRowCounterCount];  // occurrences of each per-row key (counter at the end)
    uint16_t rowsWithText;              // bit r: some "textData" landed in staging row r
    PageRecord staging;                 // the staging record after the key loop (committed or not)
    CommitOutcome commit;               // whether and why (not) a page was stored
    int commitPage;                     // the page number stored, 0 when nothing was
    uint16_t rowsCopied;                // bit r: row r's text was copied into the store
    uint16_t rowsDropped;  // bit r: row r got text, but r >= lineCount, so it was not copied
    uint16_t rowsKept;     // bit r: row r of the stored page keeps earlier, non-empty text
    bool alertSwitch;      // the page carried warning/advisory and became the top page
    int topPageBefore;     // topPage before the alert switch
};
