#include "app/frame.h"

#include <gtest/gtest.h>

#include "frame_fixture.h"

namespace {

using namespace apptest;

constexpr uint32_t kMarker = 0x5a5a5a5a;  // written into top_buf; a render overwrites it

// Whether the top region was rendered in the last frame: a render rewrites
// top_buf whole, so a marker left in it survives only when nothing rendered.
bool markerSurvived() {
    return top_buf[0] == kMarker && top_buf[379 * 720 + 719] == kMarker;
}

void plantMarker() {
    top_buf[0] = kMarker;
    top_buf[379 * 720 + 719] = kMarker;
}

TEST_F(FrameTest, FirstFrameAlwaysRendersTheTopRegion) {
    plantMarker();
    frame();
    EXPECT_FALSE(markerSurvived());
    EXPECT_EQ(lastTopPage, 1);
    EXPECT_FALSE(lastTopSolid);
    EXPECT_FALSE(lastRoll);
    EXPECT_EQ(frameCount, 1u);
}

// What changes between two frames, and whether the second renders the top region.
struct RenderRuleCase {
    const char* name;
    void (*change)();
    bool renders;
};

TEST_F(FrameTest, RenderRuleRendersOnlyWhenSomethingItWatchesChanged) {
    const RenderRuleCase cases[] = {
        {"nothing changed", [] {}, false},
        {"the top page itself stored",
         [] {
             storePage(1, {{0, 2, "top"}});
         },
         true},
        {"another page stored (page 7 while page 1 shows)",
         [] {
             storePage(7, {{0, 2, "other"}});
         },
         true},
        {"topPage changed", [] { omcw[kTopPage] = 3; }, true},
        {"topSolid switched on", [] { setSolids(0x07); }, true},
        {"topSolid sent again with the same value", [] { setSolids(0x05); }, false},
        {"bottomSolid switched off", [] { setSolids(0x04); }, false},
        {"ldlPage changed", [] { omcw[kLdlPage] = 0; }, false},
    };
    for (const RenderRuleCase& c : cases) {
        SetUp();
        frame();
        plantMarker();
        c.change();
        frame();
        EXPECT_EQ(!markerSurvived(), c.renders) << c.name;
        EXPECT_EQ(page_dirty, 0) << c.name;
    }
}

TEST_F(FrameTest, SameTopSolidValueRepaintsTheCanvasButNotTheTopRegion) {
    frame();
    plantMarker();
    solid.pixels[0] = kMarker;
    setSolids(0x05);
    frame();
    EXPECT_TRUE(markerSurvived());
    EXPECT_EQ(solid.pixels[0], 0u);  // repainted from the flags
    EXPECT_EQ(solid_dirty, 0);
}

TEST_F(FrameTest, TopSolidOffShowsOnlyTextOverBlack) {
    storePage(1, {{1, 5, ""}, {1, 1, ""}});
    frame();
    // The bands of a page are not painted without topSolid: the canvas (clear) shows.
    EXPECT_TRUE(rowsAre(win_present_buf, 0, 380, 0x00000000));
    setSolids(0x07);
    frame();
    EXPECT_TRUE(rowsAre(over.pixels, 0, 40, 0xff950b42));     // header band in row 0's colour
    EXPECT_TRUE(rowsAre(over.pixels, 40, 80, 0xff950b42));    // row 0, purple
    EXPECT_TRUE(rowsAre(over.pixels, 80, 120, 0xff000060));   // row 1, red
    EXPECT_TRUE(rowsAre(over.pixels, 120, 380, 0xff000060));  // filled in the last colour
}

TEST_F(FrameTest, EveryFrameRewritesTheWholeComposite) {
    frame();
    std::fill(over.pixels, over.pixels + kFramePixels, kMarker);
    frame();
    for (size_t i = 0; i < kFramePixels; ++i)
        ASSERT_NE(over.pixels[i], kMarker) << i;
}

TEST_F(FrameTest, FrameCountWrapsAt32Bits) {
    frameCount = 0xffffffffu;
    frame();
    EXPECT_EQ(frameCount, 0u);
}

TEST_F(FrameTest, FrameWithoutBuffersDoesNothingHarmful) {
    // Shutdown frees everything; a stray composition afterwards must not crash.
    releaseBuffers();
    frame();
    repaintSolids();
    EXPECT_EQ(win_present_buf, nullptr);
    ASSERT_TRUE(allocateRenderBuffers());
    ASSERT_TRUE(allocateImages());
}

}  // namespace

namespace {

TEST(Buffers, AllocatedZeroFilledOnACacheLine) {
    if (top768 == nullptr) {
        ASSERT_TRUE(allocateRenderBuffers());
        ASSERT_TRUE(allocateImages());
    }
    top768[5] = 7;  // released memory may come back; the new buffers must be zero anyway
    releaseBuffers();
    EXPECT_EQ(top768, nullptr);
    EXPECT_EQ(solid.pixels, nullptr);
    ASSERT_TRUE(allocateRenderBuffers());
    ASSERT_TRUE(allocateImages());
    const struct {
        const uint32_t* pixels;
        size_t count;
    } buffers[] = {
        {top768, 768 * 380},       {scroll768, 768 * 2048},  {bot768, 768 * 100},
        {top_buf, 720 * 380},      {scroll_buf, 720 * 2048}, {bot_buf, 720 * 100},
        {solid.pixels, 720 * 480}, {over.pixels, 720 * 480}, {win_present_buf, 720 * 480},
    };
    for (const auto& b : buffers) {
        ASSERT_NE(b.pixels, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(b.pixels) % 64, 0u);
        EXPECT_TRUE(std::all_of(b.pixels, b.pixels + b.count, [](uint32_t p) { return p == 0; }));
    }
    EXPECT_EQ(solid.width, 720);
    EXPECT_EQ(over.height, 480);
}

}  // namespace
