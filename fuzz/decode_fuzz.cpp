// Feeds arbitrary bytes to the page message decoder, twice: once as the
// listener does (no report) and once as the page checker does (with a report),
// each into a page model of its own. Both models must stay byte-identical, and
// every byte the decoder writes must stay inside its field's range.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "feed/decode.h"
#include "feed/decode_report.h"
#include "tests/test_support.h"

namespace {

constexpr size_t kMaxInput = 8191;  // past the 4095-byte message buffer, to reach "too many tokens"

PrivateModel plain, reported;
DecodeReport report;
char text[kMaxInput + 1];

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Field ranges of a stored record; rows are text, nothing but NULs after the first NUL.
void checkRecord(const PageRecord& p, int n) {
    check(p.pageNumber == n && p.lineCount <= kRowCount);
    check(p.alertFlags <= 0x07 && p.motionFlags <= 0x07);
    for (int r = 0; r < kRowCount; ++r) {
        check(p.style[r].rowAttr <= 0x0F && p.style[r].rowColor <= 15);
        check(p.shape[r].rowNumber <= 15 && p.shape[r].rowSize <= 0x0F);
        const uint8_t* row = p.rowText[r];
        for (size_t k = strnlen(reinterpret_cast<const char*>(row), kRowTextSize);
             k < kRowTextSize;)
            check(row[k++] == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The alert switch line would flood the fuzzer's output.
    return std::freopen("/dev/null", "w", stdout) == nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size = size > kMaxInput ? kMaxInput : size;
    std::memcpy(text, data, size);
    text[size] = '\0';
    decodeMessageInto(plain.view(), text, nullptr);
    decodeMessageInto(reported.view(), text, &report);

    // Comparing the whole store costs more than a decode, so it is done now and
    // then; the control bytes, the flags and the page just stored every time.
    static unsigned runs = 0;
    check(++runs % 64 != 0 || std::memcmp(plain.pages, reported.pages, sizeof plain.pages) == 0);
    check(std::memcmp(plain.omcw, reported.omcw, sizeof plain.omcw) == 0);
    check(plain.solidDirty == reported.solidDirty && plain.pageDirty == reported.pageDirty);
    check(plain.omcw[0] == 0 && plain.omcw[kSolidFlags] <= 0x07);
    check(plain.omcw[kTopPage] <= kMaxPageNumber && plain.omcw[kLdlPage] <= 3);
    check(plain.pages[0].pageNumber == 0 && plain.pages[255].pageNumber == 0);

    // The checker prints from the report: every index in it must point into the text.
    check(report.textLength == static_cast<int>(std::strlen(text)));
    check(report.parseResult <= kDecodeTokenCount);
    check(report.eventCount >= 0 && report.eventCount < kDecodeTokenCount);
    for (int e = 0; e < report.eventCount; ++e) {
        const KeyEvent& ev = report.events[e];
        check(ev.row < kRowCount && ev.token > 0 && ev.token < report.parseResult);
        check(ev.valueEnd <= report.textLength);
    }
    if (report.commit == CommitOutcome::Committed) {
        const PageRecord& stored = plain.pages[report.commitPage];
        check(std::memcmp(&stored, &reported.pages[report.commitPage], sizeof stored) == 0);
        checkRecord(stored, report.commitPage);
        check(std::memcmp(&stored, &report.staging, kHeaderSize) == 0);
        check((report.rowsCopied & report.rowsDropped) == 0);
    }
    return 0;
}
