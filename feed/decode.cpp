// The tokenizer is compiled here, once; every other file sees its declarations only.
#include <jsmn.h>

#include "feed/decode.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "feed/decode_report.h"
#include "model/shared_bytes.h"

// ---------------------------------------------------------------------------
// Constants

namespace {

constexpr char kPageGate[] = "pageData";       // page keys count only in a text that holds it
constexpr int kTextSourceSize = kRowTextSize;  // a "textData" value is read from its first 64 chars
constexpr uint8_t kAlertSwitchFlags = kAlertWarning | kAlertAdvisory;

constexpr int kMaxKeyLength = 15;  // "regionSeparator"
constexpr int kMaxSameLength = 4;  // most key names of one length ("lineCount", "separator", ...)

// Key names grouped by length, so that a token is compared only with the few
// names it could spell.
struct LengthGroup {
    int8_t keys[kMaxSameLength];  // indexes into kDecodeKeys, in table order
    int8_t count;
};

constexpr auto kKeysByLength = [] {
    std::array<LengthGroup, kMaxKeyLength + 1> groups{};
    for (int k = 0; k < kDecodeKeyCount; ++k) {
        LengthGroup& g = groups[kDecodeKeys[k].nameLength];
        g.keys[g.count++] = static_cast<int8_t>(k);
    }
    return groups;
}();

}  // namespace

// ---------------------------------------------------------------------------
// Globals

std::atomic<int> last_page_stored{0};         // set after each commit into the live model
std::atomic<int64_t> last_page_stored_at{0};  // calendar seconds of that commit

// ---------------------------------------------------------------------------
// Internal helpers

namespace {

// Everything one message builds up before its commit.
struct Staging {
    PageRecord page;                 // the page keys' record, stored at commit
    int counters[kRowCounterCount];  // occurrences of each per-row key so far
};

// One key's value, as the key sees it.
struct Value {
    char text[kValueBufferSize];  // the value token's characters, cut to 127, NUL-terminated
    int length;                   // characters in text
    int start, end;               // the token's span in the message; -1 when there is none
    bool isString;                // the value token is a JSON string
};

inline bool tokenSpells(const char* json, const jsmntok_t& tok, const char* name, int length) {
    return tok.end - tok.start == length && std::memcmp(json + tok.start, name, length) == 0;
}

// The key whose name tok spells exactly, among the first `last` keys of the
// table; -1 when none does.
int matchKey(const char* json, const jsmntok_t& tok, int last) {
    const int length = tok.end - tok.start;
    if (length > kMaxKeyLength) return -1;
    const LengthGroup& g = kKeysByLength[length];
    for (int j = 0; j < g.count; ++j) {
        const int k = g.keys[j];
        if (k < last && json[tok.start] == kDecodeKeys[k].name[0] &&
            tokenSpells(json, tok, kDecodeKeys[k].name, length))
            return k;
    }
    return -1;
}

void readValue(const char* json, const jsmntok_t* tokens, int count, int i, Value& v) {
    v.length = 0;
    v.start = v.end = -1;
    v.isString = false;
    if (i + 1 < count) {
        const jsmntok_t& tok = tokens[i + 1];
        v.start = tok.start;
        v.end = tok.end;
        v.isString = tok.type == JSMN_STRING;
        v.length = tok.end - tok.start;
        if (v.length > kValueBufferSize - 1) v.length = kValueBufferSize - 1;
        std::memcpy(v.text, json + tok.start, v.length);
    }
    v.text[v.length] = '\0';
}

inline bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a decimal integer the way "%d" does: leading blanks, an optional sign,
// digits up to the first other character. A value beyond the int32 range
// saturates (every key rejects it anyway). Returns false, with n = 0, when the
// text holds no number; sets trailing when other characters follow the digits.
bool readNumber(const char* s, int32_t& n, bool& trailing) {
    n = 0;
    trailing = false;
    while (isBlank(*s))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    if (*s < '0' || *s > '9') return false;
    int64_t value = 0;
    constexpr int64_t kLimit = int64_t{INT32_MAX} + 1;
    for (; *s >= '0' && *s <= '9'; ++s) {
        value = value * 10 + (*s - '0');
        if (value > kLimit) value = kLimit;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    n = static_cast<int32_t>(value);
    while (isBlank(*s))
        ++s;
    trailing = *s != '\0';
    return true;
}

inline uint8_t withBit(uint8_t byte, uint8_t bit, bool on) {
    return on ? static_cast<uint8_t>(byte | bit) : static_cast<uint8_t>(byte & ~bit);
}

// Fills one 64-byte row from a "textData" value. The source is the value's
// first 64 characters, NUL-padded. One scan collapses each escaped backslash
// (two '\' in a row) into one; every other escape stays as its two characters.
// The read position runs ahead of the row position by the number of collapses,
// so row positions past the end of the source are NUL; the scan never reads
// beyond the source. Returns the number of collapses.
//
// Either way the row holds its text followed only by NULs, which is what the
// commit relies on to copy rows whole.
int fillRowText(const Value& v, uint8_t* row) {
    const int length = v.length < kTextSourceSize ? v.length : kTextSourceSize;
    if (std::memchr(v.text, '\\', length) == nullptr) {
        // Nothing to collapse: the scan would copy the source as it is.
        std::memcpy(row, v.text, length);
        std::memset(row + length, 0, kRowTextSize - length);
        return 0;
    }
    uint8_t src[kTextSourceSize] = {};
    std::memcpy(src, v.text, length);
    int skip = 0;
    for (int o = 0; o < kRowTextSize; ++o) {
        int r = o + skip;
        if (r + 1 < kTextSourceSize && src[r] == '\\' && src[r + 1] == '\\') {
            ++skip;
            ++r;
        }
        row[o] = r < kTextSourceSize ? src[r] : 0;
    }
    return skip;
}

// True when a "textData" value holds an escape other than an escaped backslash,
// which the row shows as written (backslash and letter).
bool hasKeptEscape(const char* json, int start, int end) {
    for (int p = start; p < end; ++p) {
        if (json[p] != '\\') continue;
        if (p + 1 < end && json[p + 1] == '\\') {
            ++p;
            continue;
        }
        return true;
    }
    return false;
}

// Applies one key with its value. Display keys write the model at once; page
// keys write the staging record. Returns the outcome and fills the event's
// number, row and result.
KeyOutcome applyKey(const PageModel& model, DecodeKey k, const Value& v, Staging& st,
                    KeyEvent& ev) {
    const DecodeKeyInfo& info = decodeKeyInfo(k);
    int32_t n = 0;
    bool on = false;
    bool accepted = true;
    if (info.kind == ValueKind::Boolean) {
        on = std::strcmp(v.text, "true") == 0;
        n = on ? 1 : 0;
        if (!on && std::strcmp(v.text, "false") != 0) ev.flags |= kEventNotBoolean;
    } else if (info.kind == ValueKind::Number) {
        bool trailing = false;
        if (!readNumber(v.text, n, trailing)) ev.flags |= kEventNoNumber;
        if (trailing) ev.flags |= kEventNumberTrailing;
        accepted = n >= 0 && n <= info.max;
    }
    ev.number = n;

    int row = 0;
    if (info.rowCounter >= 0) {
        int& c = st.counters[info.rowCounter];
        row = c % kRowCount;
        ev.occurrence = static_cast<uint8_t>(c < 255 ? c : 255);
        if (c >= kRowCount) ev.flags |= kEventRowWrapped;
        ev.row = static_cast<uint8_t>(row);
        ++c;  // moves on whether or not the value is accepted
    }
    if (!accepted) return KeyOutcome::Rejected;

    const auto byte = static_cast<uint8_t>(n);
    PageRecord& p = st.page;
    uint8_t* result = nullptr;
    switch (k) {
        case DecodeKey::BottomSolid:
        case DecodeKey::TopSolid:
        case DecodeKey::RegionSeparator: {
            const uint8_t bit = k == DecodeKey::BottomSolid ? kBottomSolid
                                : k == DecodeKey::TopSolid  ? kTopSolid
                                                            : kRegionSeparator;
            const uint8_t flags = withBit(loadShared(model.omcw[kSolidFlags]), bit, on);
            storeShared(model.omcw[kSolidFlags], flags);
            raiseFlag(*model.solidDirty);
            ev.result = flags;
            return KeyOutcome::Applied;
        }
        case DecodeKey::TopPage:
            storeShared(model.omcw[kTopPage], byte);
            ev.result = byte;
            return KeyOutcome::Applied;
        case DecodeKey::LdlPage:
            storeShared(model.omcw[kLdlPage], byte);
            ev.result = byte;
            return KeyOutcome::Applied;
        case DecodeKey::PageNumber:
            p.pageNumber = byte;
            result = &p.pageNumber;
            break;
        case DecodeKey::LineCount:
            p.lineCount = byte;
            result = &p.lineCount;
            break;
        case DecodeKey::Freeze:
        case DecodeKey::Advisory:
        case DecodeKey::Warning: {
            const uint8_t bit = k == DecodeKey::Freeze     ? kAlertFreeze
                                : k == DecodeKey::Advisory ? kAlertAdvisory
                                                           : kAlertWarning;
            p.alertFlags = withBit(p.alertFlags, bit, on);
            result = &p.alertFlags;
            break;
        }
        case DecodeKey::Flip:
        case DecodeKey::Roll:
        case DecodeKey::Chain: {
            const uint8_t bit = k == DecodeKey::Flip   ? kMotionFlip
                                : k == DecodeKey::Roll ? kMotionRoll
                                                       : kMotionChain;
            p.motionFlags = withBit(p.motionFlags, bit, on);
            result = &p.motionFlags;
            break;
        }
        case DecodeKey::Separator:
        case DecodeKey::Seperator:
        case DecodeKey::Flash:
        case DecodeKey::Reverse:
        case DecodeKey::Border: {
            const uint8_t bit = k == DecodeKey::Flash     ? kRowFlash
                                : k == DecodeKey::Reverse ? kRowReverse
                                : k == DecodeKey::Border  ? kRowBorder
                                                          : kRowSeparator;
            p.style[row].rowAttr = withBit(p.style[row].rowAttr, bit, on);
            result = &p.style[row].rowAttr;
            break;
        }
        case DecodeKey::Color:
            p.style[row].rowColor = byte;
            result = &p.style[row].rowColor;
            break;
        case DecodeKey::RowNumber:
            p.shape[row].rowNumber = byte;
            result = &p.shape[row].rowNumber;
            break;
        case DecodeKey::Height:
            p.shape[row].rowSize |= static_cast<uint8_t>(byte << 2);
            result = &p.shape[row].rowSize;
            break;
        case DecodeKey::Width:
            p.shape[row].rowSize |= byte;
            result = &p.shape[row].rowSize;
            break;
        case DecodeKey::TextData:
            if (fillRowText(v, p.rowText[row]) > 0) ev.flags |= kEventTextCollapsed;
            break;
    }
    if (result != nullptr) ev.result = *result;
    return KeyOutcome::Applied;
}

// Stores the staging record as its page: the whole header, then the text of
// rows 0..lineCount-1, then the alert switch, and last page_dirty, so that a
// reader who sees the flag finds the page complete.
void commit(const PageModel& model, const Staging& st, DecodeReport* report, FILE* out) {
    const int n = st.page.pageNumber;
    if (n == 0) return;
    PageRecord& dst = model.pages[n];
    writeShared(reinterpret_cast<uint8_t*>(&dst), reinterpret_cast<const uint8_t*>(&st.page),
                kHeaderSize);

    // Rows 0..lineCount-1 are copied as text: the characters up to the first
    // NUL, then NULs. A staging row never holds a character after a NUL (see
    // fillRowText), so the text copy is the copy of the whole row.
    const int lines = st.page.lineCount;
    writeShared(dst.rowText[0], st.page.rowText[0], lines * kRowTextSize);

    const bool alert = (st.page.alertFlags & kAlertSwitchFlags) != 0;
    if (report != nullptr) {
        report->commit = CommitOutcome::Committed;
        report->commitPage = n;
        for (int r = 0; r < kRowCount; ++r) {
            const uint16_t bit = static_cast<uint16_t>(1u << r);
            if (r < lines) {
                report->rowsCopied |= bit;
            } else {
                if (report->rowsWithText & bit) report->rowsDropped |= bit;
                if (loadShared(dst.rowText[r][0]) != 0) report->rowsKept |= bit;
            }
        }
        report->alertSwitch = alert;
        report->topPageBefore = loadShared(model.omcw[kTopPage]);
    }
    if (alert) {
        if (report == nullptr && out != nullptr)
            std::fprintf(out, "advisory/warning page %d: switching display\n", n);
        storeShared(model.omcw[kTopPage], static_cast<uint8_t>(n));
    }
    raiseFlag(*model.pageDirty);
    if (model.pages == pagestore) {
        last_page_stored_at.store(static_cast<int64_t>(std::time(nullptr)));
        last_page_stored.store(n);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Public functions

int jsoneq(const char* json, const jsmntok_t* tok, const char* name) {
    if (tok->type != JSMN_STRING) return -1;
    return tokenSpells(json, *tok, name, static_cast<int>(std::strlen(name))) ? 0 : -1;
}

int decodeMessageInto(const PageModel& model, const char* text, DecodeReport* report, FILE* out) {
    // 2048 tokens: every token takes at least two characters of text, so any
    // message that fits the 4095-byte buffer tokenizes. 32 KB of stack.
    jsmntok_t tokens[kDecodeTokenCount];
    const size_t length = std::strlen(text);
    jsmn_parser parser;
    jsmn_init(&parser);
    const int count = jsmn_parse(&parser, text, length, tokens, kDecodeTokenCount);

    Staging st;
    std::memset(&st, 0, sizeof st);
    if (report != nullptr) {
        std::memset(report, 0, sizeof *report);
        report->textLength = static_cast<int>(length);
        report->parseResult = count;
        report->parseStop = static_cast<int>(parser.pos);
        report->commit = CommitOutcome::NotParsed;
    }
    if (count <= 1) return 0;  // a parse error or an empty object changes nothing

    const bool gateOpen = std::strstr(text, kPageGate) != nullptr;
    if (report != nullptr) {
        report->pageDataOpen = gateOpen;
        report->commit = gateOpen ? CommitOutcome::NoPageNumber : CommitOutcome::GateClosed;
    }
    // Page keys are matched without the gate only to tell the checker which
    // ones the gate turned away.
    const int lastKey = gateOpen || report != nullptr ? kDecodeKeyCount : kFirstPageKey;

    // Every token is tried, values included: a string value that spells a key
    // name acts as that key, with the token after it as its value.
    Value v;
    for (int i = 1; i < count; ++i) {
        const jsmntok_t& tok = tokens[i];
        if (tok.type != JSMN_STRING) {
            if (report == nullptr || tok.type != JSMN_PRIMITIVE) continue;
            const int k = matchKey(text, tok, kDecodeKeyCount);
            if (k < 0) continue;
            KeyEvent& ev = report->events[report->eventCount++];
            ev.token = static_cast<int16_t>(i);
            ev.keyStart = tok.start;
            ev.key = static_cast<DecodeKey>(k);
            ev.outcome = KeyOutcome::Unquoted;
            ev.valueStart = ev.valueEnd = -1;
            continue;
        }
        const int k = matchKey(text, tok, lastKey);
        if (k < 0) continue;
        const auto key = static_cast<DecodeKey>(k);

        KeyEvent scratch{};
        KeyEvent& ev = report != nullptr ? report->events[report->eventCount++] : scratch;
        ev.token = static_cast<int16_t>(i);
        ev.keyStart = tok.start;
        ev.key = key;
        if (kDecodeKeys[k].pageKey && !gateOpen) {
            ev.outcome = KeyOutcome::Gated;
            ev.valueStart = ev.valueEnd = -1;
            continue;
        }
        readValue(text, tokens, count, i, v);
        ev.outcome = applyKey(model, key, v, st, ev);

        if (report != nullptr) {
            ev.valueStart = v.start;
            ev.valueEnd = v.end;
            if (tok.size == 0) ev.flags |= kEventFromValue;
            if (v.start < 0) ev.flags |= kEventNoValue;
            if (v.end - v.start > kValueBufferSize - 1) ev.flags |= kEventValueCut;
            if (key == DecodeKey::TextData) {
                if (v.start >= 0 && !v.isString) ev.flags |= kEventValueNotString;
                report->rowsWithText |= static_cast<uint16_t>(1u << ev.row);
                if (v.end - v.start > kTextSourceSize) ev.flags |= kEventTextCut;
                const int sourceLength = v.length < kTextSourceSize ? v.length : kTextSourceSize;
                if (hasKeptEscape(text, v.start, v.start + sourceLength))
                    ev.flags |= kEventTextEscapes;
            }
        }
    }

    if (report != nullptr) {
        std::memcpy(report->rowKeyCount, st.counters, sizeof st.counters);
        report->staging = st.page;
        if (gateOpen && st.page.pageNumber == 0) {
            for (int e = 0; e < report->eventCount; ++e)
                if (report->events[e].key == DecodeKey::PageNumber &&
                    report->events[e].outcome == KeyOutcome::Applied)
                    report->commit = CommitOutcome::PageNumberZero;
        }
    }
    if (!gateOpen) return 0;
    commit(model, st, report, out);
    return st.page.pageNumber;
}

int decodeMessage(const char* text, FILE* out) {
    return decodeMessageInto(live_model, text, nullptr, out);
}
