// The page checker behind `vantrel-send --check`: a dry run of the display's
// own decoder on a private page model. It tells a page composer, line by line,
// what the display will make of a message before it goes on air: what is cut,
// what is ignored and why, where each row key lands, and what is stored.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "model/page_model.h"

// What the display would hold after the messages checked so far. Messages are
// checked in order on one model, as the display would receive them.
struct CheckModel {
    PageRecord pages[kPageCount];  // the checker's page store
    uint8_t omcw[kOmcwSize];       // its control bytes
    uint8_t solidDirty;            // its change flags
    uint8_t pageDirty;
};

enum class Severity : uint8_t {
    Note,     // what the display does, as the author evidently meant
    Finding,  // what the author probably did not mean: a value ignored, text cut, ...
};

// One line of a check.
struct CheckLine {
    Severity severity;
    int line;          // place in the file, 1-based; 0 when about the message as a whole
    int column;        // byte column in that line, 1-based; 0 with line 0
    const char* kind;  // fixed tag, the same in text and JSON ("rejected", "text-cut", ...)
    std::string text;  // one readable sentence
};

// A row of the stored page as the display will draw it.
struct CheckRow {
    int row;            // 0..14
    uint8_t rowAttr;    // kRow* bits
    uint8_t rowColor;   // 0..15
    uint8_t rowNumber;  // 0..15
    uint8_t rowSize;    // height << 2 | width
    std::string text;   // up to 64 bytes, as stored
};

struct CheckResult {
    int fileBytes;      // the message as the file holds it
    int framedBytes;    // with its length prefix and '#'
    int readBytes;      // what the display reads of the framed message: at most 4095
    bool hasObject;     // a '{' among the bytes read: the text reaches the decoder
    int parseResult;    // tokens, or a negative tokenizer error; 0 when not decoded
    bool pageKeysOpen;  // the text contains "pageData"
    int committedPage;  // the page stored, 0 when none
    int findings;       // lines with Severity::Finding
    std::vector<CheckLine> lines;
    std::vector<CheckRow> rows;  // rows 0..lineCount-1 of the stored page
};

// Puts model in the display's start-up state.
void resetCheckModel(CheckModel& model);

// Runs one message (the bytes vantrel-send would send) through the listener's
// framing and the decoder, into model, and describes in result what happened.
void checkMessage(CheckModel& model, const std::string& message, CheckResult& result);

// What checkMessages prints of each result.
enum class CheckOutput : uint8_t {
    kFindings,  // the findings and one summary line per file, as compilers do
    kVerbose,   // every line, notes included, and the summary
    kJson,      // everything, as one JSON array
};

// vantrel-send --check [--verbose | --json] [FILE...]: checks each file ("-" =
// standard input) on one private model and prints what output asks for on out.
// Returns 0 when every message commits as meant, 1 when there are findings, 2
// when a file cannot be read (its line on err).
int checkMessages(const std::vector<std::string>& files, CheckOutput output, FILE* out, FILE* err);
