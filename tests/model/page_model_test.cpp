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

// A writer commits pages whose every byte carries one generation number while a
// reader follows the flag protocol. The reader may see a page half old and half
// new while a commit is under way, but once the writer has stopped, the flag it
// left must lead the reader to the final page, whole. Run under ThreadSanitizer
// this also shows that the sharing has no data race.
TEST(PageModel, ConcurrentCommitsAreAlwaysFollowedByAReadOfTheFinalPage) {
    constexpr int kCommits = 20000, kPage = 7;
    page_dirty = 0;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        PageRecord rec;
        for (int gen = 1; gen <= kCommits; ++gen) {
            std::memset(&rec, gen & 0xff, sizeof rec);
            writeShared(reinterpret_cast<uint8_t*>(&pagestore[kPage]),
                        reinterpret_cast<const uint8_t*>(&rec), sizeof rec);
            raiseFlag(page_dirty);
        }
        done.store(true);
    });
    PageRecord seen{};
    for (bool finished = false; !finished;) {
        finished = done.load();
        if (takeFlag(page_dirty)) readPage(pagestore, kPage, seen);
    }
    writer.join();
    EXPECT_FALSE(flagRaised(page_dirty));
    for (size_t i = 0; i < sizeof seen; ++i)
        ASSERT_EQ(reinterpret_cast<const uint8_t*>(&seen)[i], kCommits & 0xff) << "byte " << i;
}

}  // namespace
