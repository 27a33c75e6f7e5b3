// Decoding a typical full page (15 rows, each with its text, colour, size and
// border), next to jsmn tokenizing the same text: the tokenizing is the floor
// under any decoder, so the ratio of the two shows what the key loop and the
// commit cost on top.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "feed/decode.h"
#include "feed/decode_report.h"

namespace {

const char* const kRowTexts[kRowCount] = {
    "WEATHER SERVICE",
    "Today: sunny, high 24",
    "Tonight: clear, low 12",
    "Winds NW 10 mph",
    "",
    "Tomorrow: showers",
    "High 19, low 11",
    "UV index 6",
    "Pollen: moderate",
    "Sunrise 06:12",
    "Sunset 20:41",
    "Tides: high 14:05",
    "Marine: calm",
    "Air quality: good",
    "-- end --",
};

std::string typicalPage() {
    std::string s = R"({"pageData": {"pageNumber": 12, "lineCount": 15, "roll": false,)"
                    R"( "chain": false, "rows": [)";
    for (int r = 0; r < kRowCount; ++r) {
        if (r > 0) s += ", ";
        s += R"({"textData": ")" + std::string(kRowTexts[r]) + R"(", "color": )" +
             std::to_string(r == 0 ? 4 : 1) + R"(, "height": )" + (r == 0 ? "1" : "0") +
             R"(, "width": )" + (r == 0 ? "1" : "0") + R"(, "border": )" +
             (r == 0 ? "true" : "false") + "}";
    }
    return s + "]}}";
}

struct Model {
    PageRecord pages[kPageCount];
    uint8_t control[kOmcwSize];
    uint8_t solidDirty;
    uint8_t pageDirty;
};

Model model;

void BM_TokenizeFullPage(benchmark::State& state) {
    const std::string text = typicalPage();
    static jsmntok_t tokens[kDecodeTokenCount];
    for (auto _ : state) {
        jsmn_parser parser;
        jsmn_init(&parser);
        int count = jsmn_parse(&parser, text.c_str(), text.size(), tokens, kDecodeTokenCount);
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_TokenizeFullPage);

void BM_DecodeFullPage(benchmark::State& state) {
    const std::string text = typicalPage();
    const PageModel view{model.pages, model.control, &model.solidDirty, &model.pageDirty};
    for (auto _ : state) {
        decodeMessageInto(view, text.c_str(), nullptr);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_DecodeFullPage);

}  // namespace
