#include "tools/send/check.h"

#include <cstdarg>
#include <cstring>
#include <memory>

#include "feed/decode.h"
#include "feed/decode_report.h"
#include "feed/listener.h"
#include "tools/common/json_text.h"
#include "tools/send/client.h"

// ---------------------------------------------------------------------------
// Constants

namespace {

constexpr int kShownValueLength = 40;  // longer values are shown abbreviated
constexpr char kPageGate[] = "pageData";

}  // namespace

// ---------------------------------------------------------------------------
// Internal helpers

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

// Bytes as a terminal can show them: printable ASCII as it is, anything else
// (control characters, bytes of UTF-8 sequences, which the display draws one
// byte at a time) as \xNN.
std::string shown(const char* s, int length) {
    std::string out;
    for (int i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7f)
            out += static_cast<char>(c);
        else
            out += format("\\x%02x", c);
    }
    return out;
}

std::string rowTextOf(const uint8_t* row) {
    const char* text = reinterpret_cast<const char*>(row);
    return std::string(text, strnlen(text, kRowTextSize));
}

std::string rowList(uint16_t rows) {
    std::string out;
    for (int r = 0; r < kRowCount; ++r) {
        if (!(rows & (1u << r))) continue;
        if (!out.empty()) out += ", ";
        out += std::to_string(r);
    }
    return out;
}

// Everything one check needs to turn report positions into lines.
struct Context {
    const char* buffer;           // the text the decoder saw
    int prefixLength;             // bytes of the length prefix and '#' before the file's first byte
    std::vector<int> lineStarts;  // file offsets where lines begin
    CheckResult* result;
};

void place(const Context& cx, int bufferPos, int& line, int& column) {
    line = column = 0;
    if (bufferPos < 0) return;
    const int offset = bufferPos - cx.prefixLength;
    if (offset < 0) return;
    int lo = 0;
    int hi = static_cast<int>(cx.lineStarts.size()) - 1;
    while (lo < hi) {  // the last line start at or before offset
        const int mid = (lo + hi + 1) / 2;
        if (cx.lineStarts[mid] <= offset)
            lo = mid;
        else
            hi = mid - 1;
    }
    line = lo + 1;
    column = offset - cx.lineStarts[lo] + 1;
}

void add(const Context& cx, Severity severity, int bufferPos, const char* kind, std::string text) {
    CheckLine l{severity, 0, 0, kind, std::move(text)};
    place(cx, bufferPos, l.line, l.column);
    if (severity == Severity::Finding) ++cx.result->findings;
    cx.result->lines.push_back(std::move(l));
}

void note(const Context& cx, int pos, const char* kind, std::string text) {
    add(cx, Severity::Note, pos, kind, std::move(text));
}

void finding(const Context& cx, int pos, const char* kind, std::string text) {
    add(cx, Severity::Finding, pos, kind, std::move(text));
}

// A key's value as the message writes it, quoted when it is a string.
std::string valueText(const Context& cx, const KeyEvent& ev) {
    if (ev.valueStart < 0) return "(no value)";
    const int length = ev.valueEnd - ev.valueStart;
    const char* v = cx.buffer + ev.valueStart;
    const bool quoted =
        ev.valueStart > 0 && cx.buffer[ev.valueStart - 1] == '"' && cx.buffer[ev.valueEnd] == '"';
    std::string s =
        length > kShownValueLength ? shown(v, kShownValueLength - 3) + "..." : shown(v, length);
    return quoted ? "\"" + s + "\"" : s;
}

const char* flagName(DecodeKey key) {
    return decodeKeyInfo(key).name;
}

// What an accepted key did, in words.
std::string effect(const KeyEvent& ev) {
    const bool on = ev.number != 0;
    switch (ev.key) {
        case DecodeKey::BottomSolid:
        case DecodeKey::TopSolid:
        case DecodeKey::RegionSeparator:
            return format("%s %s, solidFlags now 0x%02x", flagName(ev.key), on ? "on" : "off",
                          ev.result);
        case DecodeKey::TopPage:
            return ev.number == 0 ? std::string("the top region shows no page")
                                  : format("the top region shows page %d", ev.number);
        case DecodeKey::LdlPage:
            return ev.number == 0 ? std::string("the lower display line is off")
                                  : format("the lower display line is on (ldlPage %d)", ev.number);
        case DecodeKey::PageNumber:
            return ev.number == 0 ? std::string("page number 0: no page")
                                  : format("page number %d", ev.number);
        case DecodeKey::LineCount:
            return ev.number == 0   ? std::string("no rows are drawn")
                   : ev.number == 1 ? std::string("row 0 is drawn")
                                    : format("rows 0 to %d are drawn", ev.number - 1);
        case DecodeKey::Color:
            return format("colour %d", ev.number);
        case DecodeKey::RowNumber:
            return format("row number %d", ev.number);
        case DecodeKey::Height:
        case DecodeKey::Width:
            return format("size now height %d, width %d", ev.result >> 2, ev.result & 3);
        case DecodeKey::TextData:
            return "";
        case DecodeKey::Seperator:  // the same row flag under its other spelling
            return format("separator %s", on ? "on" : "off");
        default:
            return format("%s %s", flagName(ev.key), on ? "on" : "off");
    }
}

void describeEvent(const Context& cx, const KeyEvent& ev) {
    const DecodeKeyInfo& info = decodeKeyInfo(ev.key);
    const int pos = ev.keyStart;
    const std::string value = valueText(cx, ev);
    const std::string row = info.rowCounter >= 0 ? format("row %d: ", ev.row) : "";

    if (ev.outcome == KeyOutcome::Unquoted) {
        finding(cx, pos, "unquoted-key",
                format("%s without quotes is not a key: ignored", info.name));
        return;
    }
    if (ev.outcome == KeyOutcome::Gated) return;  // listed once, with the gate

    if (ev.flags & kEventFromValue)
        finding(cx, pos, "acts-as-key",
                format("the string \"%s\" is a value, yet it acts as the key \"%s\", with %s as "
                       "its value",
                       info.name, info.name, value.c_str()));
    if (ev.flags & kEventRowWrapped)
        finding(cx, pos, "row-reused",
                format("%sthis is \"%s\" number %d; rows are counted modulo 15, so it replaces "
                       "row %d's earlier one",
                       row.c_str(), info.name, ev.occurrence + 1, ev.row));
    if (ev.flags & kEventValueCut)
        finding(cx, pos, "value-cut",
                format("\"%s\": only the first %d characters of its value are read", info.name,
                       kValueBufferSize - 1));

    if (ev.outcome == KeyOutcome::Rejected) {
        const char* why = ev.number < 0 ? "negative" : "above";
        const std::string limit = ev.number < 0 ? "" : format(" %d", info.max);
        const std::string readAs =
            ev.flags & kEventNumberTrailing ? format(" (read as %d)", ev.number) : "";
        std::string text = format("%s\"%s\" %s%s rejected: %s%s; nothing changes", row.c_str(),
                                  info.name, value.c_str(), readAs.c_str(), why, limit.c_str());
        if (info.rowCounter >= 0)
            text += format(" (the next \"%s\" still goes to row %d)", info.name,
                           (ev.occurrence + 1) % kRowCount);
        finding(cx, pos, "rejected", text);
        return;
    }

    switch (info.kind) {
        case ValueKind::Boolean:
            if (ev.flags & kEventNotBoolean)
                finding(cx, pos, "not-boolean",
                        format("%s\"%s\" %s is not exactly true: %s", row.c_str(), info.name,
                               value.c_str(), effect(ev).c_str()));
            else
                note(cx, pos, "applied",
                     format("%s\"%s\" %s: %s", row.c_str(), info.name, value.c_str(),
                            effect(ev).c_str()));
            break;
        case ValueKind::Number:
            if (ev.flags & kEventNoNumber)
                finding(cx, pos, "no-number",
                        format("%s\"%s\" %s holds no number, read as 0: %s", row.c_str(), info.name,
                               value.c_str(), effect(ev).c_str()));
            else if (ev.flags & kEventNumberTrailing)
                finding(cx, pos, "partial-number",
                        format("%s\"%s\" %s is read as %d: %s", row.c_str(), info.name,
                               value.c_str(), ev.number, effect(ev).c_str()));
            else
                note(cx, pos, "applied",
                     format("%s\"%s\" %s: %s", row.c_str(), info.name, value.c_str(),
                            effect(ev).c_str()));
            break;
        case ValueKind::Text: {
            note(cx, pos, "applied", format("%s\"textData\" %s", row.c_str(), value.c_str()));
            if (ev.flags & kEventNoValue)
                finding(cx, pos, "no-value", row + "\"textData\" has no value: the row is empty");
            if (ev.flags & kEventValueNotString)
                finding(cx, pos, "text-not-string",
                        row + "\"textData\" " + value +
                            " is not a string: the row shows it as written");
            if (ev.flags & kEventTextCollapsed)
                note(cx, pos, "text-collapsed", row + "each \\\\ in the text shows as one \\");
            if (ev.flags & kEventTextEscapes)
                finding(cx, pos, "escape-kept",
                        row +
                            "escapes other than \\\\ (such as \\n or \\\") show as written, "
                            "backslash and letter");
            if (ev.flags & kEventTextCut) {
                const int length = ev.valueEnd - ev.valueStart;
                const int lost = length - kRowTextSize;
                finding(cx, pos, "text-cut",
                        format("%sthe text is %d characters as written; a row holds %d, so the "
                               "last %d are lost: \"%s\"",
                               row.c_str(), length, kRowTextSize, lost,
                               shown(cx.buffer + ev.valueStart + kRowTextSize,
                                     lost < kShownValueLength ? lost : kShownValueLength)
                                   .c_str()));
            }
            break;
        }
    }
}

void describeGate(const Context& cx, const DecodeReport& report) {
    if (report.pageDataOpen) {
        const char* at = std::strstr(cx.buffer, kPageGate);
        note(cx, static_cast<int>(at - cx.buffer), "page-keys-on",
             "page keys are on: the message contains \"pageData\"");
        return;
    }
    std::string names;
    int count = 0;
    int first = -1;
    for (int e = 0; e < report.eventCount; ++e) {
        const KeyEvent& ev = report.events[e];
        if (ev.outcome != KeyOutcome::Gated) continue;
        if (first < 0) first = ev.keyStart;
        ++count;
        const std::string name = std::string("\"") + decodeKeyInfo(ev.key).name + "\"";
        if (names.find(name) == std::string::npos) names += (names.empty() ? "" : ", ") + name;
    }
    if (count == 0) {
        note(cx, -1, "page-keys-off", "no \"pageData\": display keys only, no page is stored");
        return;
    }
    finding(cx, first, "page-keys-off",
            format("no \"pageData\" anywhere in the message, so its %d page key%s %s ignored: %s",
                   count, count == 1 ? "" : "s", count == 1 ? "is" : "are", names.c_str()));
}

void describeCommit(const Context& cx, const DecodeReport& report, const CheckModel& model) {
    CheckResult& result = *cx.result;
    const PageRecord& st = report.staging;
    switch (report.commit) {
        case CommitOutcome::NotParsed:
        case CommitOutcome::GateClosed:
            return;  // said already
        case CommitOutcome::NoPageNumber:
            finding(cx, -1, "no-commit", "no page is stored: no \"pageNumber\" was accepted");
            return;
        case CommitOutcome::PageNumberZero:
            finding(cx, -1, "no-commit", "no page is stored: \"pageNumber\" 0 means no page");
            return;
        case CommitOutcome::Committed:
            break;
    }
    const int n = report.commitPage;
    result.committedPage = n;
    const int lines = st.lineCount;
    note(cx, -1, "commit",
         lines == 0   ? format("page %d is stored; lineCount is 0, so no row is drawn", n)
         : lines == 1 ? format("page %d is stored with row 0", n)
                      : format("page %d is stored with rows 0 to %d", n, lines - 1));
    if (report.rowsDropped)
        finding(cx, -1, "rows-dropped",
                format("row%s %s of the message %s text but lineCount is %d: not stored",
                       (report.rowsDropped & (report.rowsDropped - 1)) ? "s" : "",
                       rowList(report.rowsDropped).c_str(),
                       (report.rowsDropped & (report.rowsDropped - 1)) ? "have" : "has", lines));
    if (report.rowsKept)
        note(cx, -1, "rows-kept",
             format("page %d keeps earlier text in row(s) %s, beyond lineCount %d", n,
                    rowList(report.rowsKept).c_str(), lines));

    for (int r = 0; r < lines; ++r) {
        CheckRow row{r,
                     st.style[r].rowAttr,
                     st.style[r].rowColor,
                     st.shape[r].rowNumber,
                     st.shape[r].rowSize,
                     rowTextOf(model.pages[n].rowText[r])};
        std::string attrs;
        const struct {
            uint8_t bit;
            const char* name;
        } kAttrs[] = {{kRowBorder, "border"},
                      {kRowReverse, "reverse"},
                      {kRowFlash, "flash"},
                      {kRowSeparator, "separator"}};
        for (const auto& a : kAttrs)
            if (row.rowAttr & a.bit) attrs += std::string(", ") + a.name;
        note(cx, -1, "row",
             format("row %d: colour %d, height %d, width %d%s, text \"%s\"", r, row.rowColor,
                    row.rowSize >> 2, row.rowSize & 3, attrs.c_str(),
                    shown(row.text.data(), static_cast<int>(row.text.size())).c_str()));
        result.rows.push_back(std::move(row));
    }

    if (report.alertSwitch) {
        const bool warning = st.alertFlags & kAlertWarning;
        note(cx, -1, "alert",
             format("%s is set: page %d becomes the top page (it was %d)",
                    warning ? "warning" : "advisory", n, report.topPageBefore));
        for (int e = 0; e < report.eventCount; ++e) {
            const KeyEvent& ev = report.events[e];
            if (ev.key == DecodeKey::TopPage && ev.outcome == KeyOutcome::Applied && ev.number != n)
                finding(cx, ev.keyStart, "alert-overrides",
                        format("\"topPage\" %d is overridden: the alert switch shows page %d",
                               ev.number, n));
        }
    }
}

const char* parseError(int code) {
    switch (code) {
        case JSMN_ERROR_NOMEM:
            return "it has more tokens than the display takes";
        case JSMN_ERROR_INVAL:
            return "an invalid character";
        case JSMN_ERROR_PART:
            return "it is incomplete: an object, array or string is not closed";
        default:
            return "an unknown error";
    }
}

void printText(const char* name, const CheckResult& r, bool verbose, FILE* out) {
    for (const CheckLine& l : r.lines) {
        if (!verbose && l.severity != Severity::Finding) continue;
        const char* severity = l.severity == Severity::Finding ? "finding" : "note";
        if (l.line > 0)
            fprintf(out, "%s:%d:%d: %s: %s\n", name, l.line, l.column, severity, l.text.c_str());
        else
            fprintf(out, "%s: %s: %s\n", name, severity, l.text.c_str());
    }
    fprintf(out, "%s: %s\n", name,
            r.findings == 0
                ? "clean"
                : format("%d finding%s", r.findings, r.findings == 1 ? "" : "s").c_str());
}

void printJson(const char* name, const CheckResult& r, FILE* out) {
    fprintf(out, "{\"file\": %s, \"bytes\": %d, \"framed\": %d, \"limit\": %d, \"read\": %d, ",
            jsonQuoted(name).c_str(), r.fileBytes, r.framedBytes, kMessageCapacity, r.readBytes);
    fprintf(out, "\"object\": %s, \"tokens\": %d, \"pageKeys\": %s, \"committedPage\": %d, ",
            r.hasObject ? "true" : "false", r.parseResult, r.pageKeysOpen ? "true" : "false",
            r.committedPage);
    fprintf(out, "\"findings\": %d,\n \"lines\": [", r.findings);
    for (size_t i = 0; i < r.lines.size(); ++i) {
        const CheckLine& l = r.lines[i];
        fprintf(out,
                "%s\n  {\"severity\": \"%s\", \"line\": %d, \"column\": %d, \"kind\": \"%s\", "
                "\"text\": %s}",
                i ? "," : "", l.severity == Severity::Finding ? "finding" : "note", l.line,
                l.column, l.kind, jsonQuoted(l.text).c_str());
    }
    fprintf(out, "],\n \"rows\": [");
    for (size_t i = 0; i < r.rows.size(); ++i) {
        const CheckRow& row = r.rows[i];
        fprintf(out,
                "%s\n  {\"row\": %d, \"color\": %d, \"height\": %d, \"width\": %d, \"border\": "
                "%s, \"reverse\": %s, \"flash\": %s, \"separator\": %s, \"rowNumber\": %d, "
                "\"text\": %s}",
                i ? "," : "", row.row, row.rowColor, row.rowSize >> 2, row.rowSize & 3,
                row.rowAttr & kRowBorder ? "true" : "false",
                row.rowAttr & kRowReverse ? "true" : "false",
                row.rowAttr & kRowFlash ? "true" : "false",
                row.rowAttr & kRowSeparator ? "true" : "false", row.rowNumber,
                jsonQuoted(row.text).c_str());
    }
    fprintf(out, "]}");
}

}  // namespace

// ---------------------------------------------------------------------------
// Public functions

void resetCheckModel(CheckModel& model) {
    std::memset(&model, 0, sizeof model);
    presetPageModel({model.pages, model.omcw, &model.solidDirty, &model.pageDirty});
    model.solidDirty = 1;  // as the display starts: the first frame paints the canvas
    model.pageDirty = 0;
}

void checkMessage(CheckModel& model, const std::string& message, CheckResult& result) {
    result = CheckResult{};
    // The report is large (one entry per token) and the checker runs one
    // message at a time.
    static DecodeReport report;

    // Framed as vantrel-send frames it; the listener holds at most 4095 bytes.
    const std::string prefix = std::to_string(message.size()) + "#";
    const int prefixLength = static_cast<int>(prefix.size());
    result.fileBytes = static_cast<int>(message.size());
    result.framedBytes = prefixLength + result.fileBytes;
    result.readBytes =
        result.framedBytes < kMessageCapacity ? result.framedBytes : kMessageCapacity;
    char buffer[kMessageCapacity + 1] = {};
    std::memcpy(buffer, prefix.data(), prefixLength);
    std::memcpy(buffer + prefixLength, message.data(), result.readBytes - prefixLength);

    Context cx{buffer, prefixLength, {0}, &result};
    for (int i = 0; i < result.fileBytes; ++i)
        if (message[i] == '\n') cx.lineStarts.push_back(i + 1);

    note(cx, -1, "size",
         format("%d bytes, %d framed (of at most %d)", result.fileBytes, result.framedBytes,
                kMessageCapacity));
    if (result.framedBytes > kMessageCapacity)
        finding(
            cx, kMessageCapacity, "cut",
            format("the framed message is %d bytes; the display reads %d, so the last %d "
                   "bytes, from here on, are cut",
                   result.framedBytes, kMessageCapacity, result.framedBytes - kMessageCapacity));

    // The listener blanks everything before the first '{' and decodes the rest
    // up to its first NUL.
    const char* brace = static_cast<const char*>(std::memchr(buffer, '{', result.readBytes));
    if (brace == nullptr) {
        finding(cx, -1, "no-object", "no '{' in what the display reads: nothing is decoded");
        return;
    }
    result.hasObject = true;
    std::memset(buffer, ' ', brace - buffer);
    const int textLength = static_cast<int>(strnlen(buffer, result.readBytes));
    if (textLength < result.readBytes)
        finding(cx, textLength, "nul",
                format("a NUL byte ends the text here; the %d bytes after it are not read",
                       result.readBytes - textLength - 1));

    decodeMessageInto({model.pages, model.omcw, &model.solidDirty, &model.pageDirty}, buffer,
                      &report);
    result.parseResult = report.parseResult;
    result.pageKeysOpen = report.pageDataOpen;

    if (report.parseResult < 0) {
        finding(cx, report.parseResult == JSMN_ERROR_INVAL ? report.parseStop : -1, "parse-error",
                format("the message does not parse (%s): nothing changes",
                       parseError(report.parseResult)));
        return;
    }
    if (report.parseResult <= 1) {
        finding(cx, -1, "empty", "the message holds nothing to decode: nothing changes");
        return;
    }
    note(cx, -1, "parsed",
         format("parses into %d tokens (the display takes up to %d)", report.parseResult,
                kDecodeTokenCount));
    describeGate(cx, report);
    for (int e = 0; e < report.eventCount; ++e)
        describeEvent(cx, report.events[e]);
    describeCommit(cx, report, model);
}

int checkMessages(const std::vector<std::string>& files, CheckOutput output, FILE* out, FILE* err) {
    const bool json = output == CheckOutput::kJson;
    auto model = std::make_unique<CheckModel>();
    resetCheckModel(*model);
    bool unreadable = false;
    bool anyFindings = false;
    bool first = true;
    if (json) fprintf(out, "[");
    std::string text;
    CheckResult result;
    for (const std::string& file : files) {
        const char* name = file.c_str();
        const char* shownName = file == "-" ? "(standard input)" : name;
        if (!readMessageFile(name, text, err)) {
            unreadable = true;
            if (json) {
                fprintf(out, "%s\n{\"file\": %s, \"error\": \"cannot be read\"}", first ? "" : ",",
                        jsonQuoted(shownName).c_str());
                first = false;
            }
            continue;
        }
        checkMessage(*model, text, result);
        anyFindings = anyFindings || result.findings > 0;
        if (json) {
            fprintf(out, "%s\n", first ? "" : ",");
            printJson(shownName, result, out);
        } else {
            printText(shownName, result, output == CheckOutput::kVerbose, out);
        }
        first = false;
    }
    if (json) fprintf(out, "\n]\n");
    return unreadable ? 2 : anyFindings ? 1 : 0;
}
