#include "model/page_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "model/shared_bytes.h"

namespace {

TEST(PageModel, PresetColoursEveryRowOfPages1To255AndLeavesPage0Zero) {
    std::memset(pagestore, 0, sizeof pagestore);
    std::memset(omcw, 0, sizeof omcw);
    presetPageModel();
    PageRecord fresh{};
    EXPECT_EQ(std::memcmp(&pagestore[0], &fresh, sizeof fresh), 0);
    for (int row = 0; row < kRowCount; ++row)
        fresh.style[row].rowColor = 2;
    for (int n = 1; n < kPageCount; ++n)
        ASSERT_EQ(std::memcmp(&pagestore[n], &fresh, sizeof fresh), 0) << "page " << n;
    EXPECT_EQ(omcw[0], 0);
    EXPECT_EQ(omcw[kSolidFlags], kBottomSolid | kRegionSeparator);
    EXPECT_EQ(omcw[kTopPage], 1);
    EXPECT_EQ(omcw[kLdlPage], 1);
}

}  // namespace
