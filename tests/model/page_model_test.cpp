#include "model/page_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "model/shared_bytes.h"

namespace {

class PageModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(pagestore, 0, sizeof pagestore);
        std::memset(omcw, 0, sizeof omcw);
        solid_dirty = 1;
        page_dirty = 0;
    }
};

TEST_F(PageModelTest, RecordFieldsSitAtTheirByteOffsets) {
    // Peers and the checker address rows by offset: rowAttr/rowColor of row i at
    // 4 + 2i / 5 + 2i, rowNumber/rowSize at 34 + 2i / 35 + 2i, text at 64 + 64i.
    PageRecord r{};
    const auto* base = reinterpret_cast<const uint8_t*>(&r);
    for (int i = 0; i < kRowCount; ++i) {
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(&r.style[i].rowAttr) - base, 4 + 2 * i);
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(&r.style[i].rowColor) - base, 5 + 2 * i);
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(&r.shape[i].rowNumber) - base, 34 + 2 * i);
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(&r.shape[i].rowSize) - base, 35 + 2 * i);
        EXPECT_EQ(r.rowText[i] - base, 64 + 64 * i);
    }
    EXPECT_EQ(sizeof pagestore, 262144u);
}

TEST_F(PageModelTest, PresetColoursEveryRowOfPages1To255AndLeavesPage0Zero) {
    presetPageModel();
    PageRecord zero{};
    EXPECT_EQ(std::memcmp(&pagestore[0], &zero, sizeof zero), 0);
    for (int n = 1; n < kPageCount; ++n) {
        EXPECT_EQ(pagestore[n].pageNumber, 0) << n;  // still no page stored
        for (int row = 0; row < kRowCount; ++row)
            ASSERT_EQ(pagestore[n].style[row].rowColor, 2) << "page " << n << " row " << row;
    }
    EXPECT_EQ(omcw[kSolidFlags], kBottomSolid | kRegionSeparator);
    EXPECT_EQ(omcw[kTopPage], 1);
    EXPECT_EQ(omcw[kLdlPage], 1);
    EXPECT_EQ(omcw[0], 0);
}

TEST_F(PageModelTest, TakeFlagClearsAndReportsWhetherItWasRaised) {
    EXPECT_FALSE(takeFlag(page_dirty));
    raiseFlag(page_dirty);
    EXPECT_TRUE(flagRaised(page_dirty));
    EXPECT_TRUE(takeFlag(page_dirty));
    EXPECT_FALSE(flagRaised(page_dirty));
}

// A writer commits pages whose every byte carries one generation number while a
// reader follows the flag protocol. The reader may see a page half old and half
// new while a commit is under way, but once the writer has stopped, the flag it
// left must lead the reader to the final page, whole. Run under ThreadSanitizer
// this also shows that the sharing has no data race.
TEST_F(PageModelTest, ConcurrentCommitsAreAlwaysFollowedByARenderOfTheFinalPage) {
    constexpr int kCommits = 20000;
    constexpr int kPage = 7;
    std::atomic<bool> done{false};

    std::thread writer([&] {
        PageRecord rec;
        for (int gen = 1; gen <= kCommits; ++gen) {
            std::memset(&rec, gen & 0xff, sizeof rec);
            rec.pageNumber = kPage;
            writeShared(reinterpret_cast<uint8_t*>(&pagestore[kPage]),
                        reinterpret_cast<const uint8_t*>(&rec), sizeof rec);
            raiseFlag(page_dirty);
        }
        done.store(true);
    });

    PageRecord seen{};
    int renders = 0;
    for (;;) {
        bool finished = done.load();
        if (takeFlag(page_dirty)) {
            readPage(pagestore, kPage, seen);
            ++renders;
        } else if (finished) {
            break;
        }
    }
    writer.join();

    EXPECT_GT(renders, 0);
    EXPECT_EQ(seen.pageNumber, kPage);
    const uint8_t last = kCommits & 0xff;
    for (size_t i = 1; i < sizeof seen; ++i)
        ASSERT_EQ(reinterpret_cast<const uint8_t*>(&seen)[i], last) << "byte " << i;
}

}  // namespace
