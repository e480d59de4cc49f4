#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <stb_image_resize2.h>

#include "internal.h"

namespace {

struct FitCase {
    int32_t w, h, mw, mh;
    int32_t want_w, want_h;
};

}  // namespace

TEST(FitSize, BoundingBoxRule) {
    const FitCase cases[] = {
        {4000, 3000, 800, 600, 800, 600},
        {3000, 4000, 800, 600, 450, 600},
        {640, 480, 800, 600, 640, 480},       // already fits: untouched
        {10000, 1, 800, 600, 800, 1},         // height 0.08 raised to 1
        {1, 10000, 800, 600, 1, 600},         // width raised to 1
        {4000, 3000, 1000, 0, 1000, 750},     // width only
        {500, 3000, 1000, 0, 500, 3000},      // width only, fits
        {4000, 3000, 0, 300, 400, 300},       // height only
        {800, 600, 800, 600, 800, 600},       // exactly the box: s = 1.0
        {100, 100, 1000, 1000, 100, 100},     // never enlarged
        {1001, 1000, 1000, 0, 1000, 999},     // 999.000999 rounds half up
        {3, 3, 2, 2, 2, 2},                   // 2.0
        {5, 3, 2, 0, 2, 1},                   // 1.2 + 0.5 truncates to 1
        {7, 5, 0, 0, 7, 5},                   // no limit at all
    };
    for (const auto& c : cases) {
        const rastra::Size got = rastra::fit_size(c.w, c.h, c.mw, c.mh);
        EXPECT_EQ(got.width, c.want_w) << c.w << "x" << c.h << " in " << c.mw << "x" << c.mh;
        EXPECT_EQ(got.height, c.want_h) << c.w << "x" << c.h << " in " << c.mw << "x" << c.mh;
    }
}

TEST(JpegScale, TheSmallestDctScaleThatStillCoversTheTarget) {
    using rastra::jpeg_scale_for;
    // 4000 x 3000 photographs: 1/2 gives 2000 x 1500, 1/4 1000 x 750, 1/8 500 x 375.
    EXPECT_EQ(jpeg_scale_for(4000, 3000, {1920, 1440}), 2);
    EXPECT_EQ(jpeg_scale_for(4000, 3000, {1000, 750}), 4);
    EXPECT_EQ(jpeg_scale_for(4000, 3000, {1001, 750}), 2);
    EXPECT_EQ(jpeg_scale_for(4000, 3000, {500, 375}), 8);
    EXPECT_EQ(jpeg_scale_for(4000, 3000, {4000, 3000}), 1);  // no shrinking, no scaling
    EXPECT_EQ(jpeg_scale_for(4000, 3000, {2001, 1}), 1);     // one side needs more than half
    // Sides are rounded up as libjpeg rounds them: 1001 / 8 is 126 rows.
    EXPECT_EQ(jpeg_scale_for(1001, 1001, {126, 126}), 8);
    EXPECT_EQ(jpeg_scale_for(1001, 1001, {127, 126}), 4);
    // Every choice leaves each side at least as large as the target.
    for (int w = 1; w < 300; w += 7) {
        for (int tw = 1; tw <= w; tw += 5) {
            const int d = jpeg_scale_for(w, w, {tw, tw});
            EXPECT_GE((w + d - 1) / d, tw);
            if (d < 8) {
                EXPECT_LT((w + 2 * d - 1) / (2 * d), tw);  // and the next scale would not
            }
        }
    }
}

namespace {

using Rgba8 = std::vector<uint8_t>;

rastra::Image image_of(int32_t w, int32_t h, const std::vector<uint8_t>& px) {
    rastra::Image img;
    img.pixels.reset(static_cast<uint8_t*>(std::malloc(px.size())));
    std::memcpy(img.pixels.get(), px.data(), px.size());
    img.width = w;
    img.height = h;
    return img;
}

}  // namespace

TEST(BoxShrink, AveragesInLinearLightWeightedByAlpha) {
    // Blocks of 2 x 2, and a partial block at the right edge:
    //  - black and white, opaque: half the light is sRGB 188, not 128;
    //  - one opaque red among transparent pixels: red, at a quarter alpha,
    //    never darkened by the colour of the transparent ones;
    //  - a column of two transparent pixels: nothing to weigh.
    const std::vector<uint8_t> px = {
        0, 0, 0, 255,   255, 255, 255, 255,   255, 0, 0, 255,   0, 0, 0, 0,       9, 9, 9, 0,
        255, 255, 255, 255, 0, 0, 0, 255,     0, 0, 0, 0,       0, 255, 0, 0,     9, 9, 9, 0,
    };
    rastra::Image img = image_of(5, 2, px);
    ASSERT_TRUE(rastra::box_shrink(img, 2, 2));
    ASSERT_EQ(img.width, 3);
    ASSERT_EQ(img.height, 1);
    const uint8_t* p = img.pixels.get();
    EXPECT_EQ(std::vector<uint8_t>(p, p + 12), (std::vector<uint8_t>{188, 188, 188, 255, 255, 0, 0, 64, 0, 0, 0, 0}));
}

TEST(ResizeTo, ThinImagesReachTheirTargetThroughABoxShrink) {
    // 1 x 3,000,000 to 1 x 3 asks the resampler for tables of hundreds of
    // megabytes, past its budget: it is box-shrunk first. Thirds of black,
    // white and black come out dark, light and dark.
    const int32_t h = 3'000'000;
    std::vector<uint8_t> px(static_cast<size_t>(h) * 4, 0);
    for (int32_t y = h / 3; y < 2 * h / 3; ++y) std::memset(&px[static_cast<size_t>(y) * 4], 255, 3);
    for (int32_t y = 0; y < h; ++y) px[static_cast<size_t>(y) * 4 + 3] = 255;
    for (const rastra::Size to : {rastra::Size{1, 3}, rastra::Size{1, 1}}) {
        rastra::Image img = image_of(1, h, px);
        ASSERT_TRUE(rastra::resize_to(img, to));
        ASSERT_EQ(img.width, to.width);
        ASSERT_EQ(img.height, to.height);
        const uint8_t* p = img.pixels.get();
        if (to.height == 3) {
            // The resampler's filter reaches into the neighbouring thirds.
            EXPECT_LT(p[0], 128);
            EXPECT_GT(p[4], 200);
            EXPECT_LT(p[8], 128);
        } else {
            // A third of the light.
            EXPECT_NEAR(p[0], 156, 2);
        }
        EXPECT_EQ(p[3], 255);
    }
    // The same image on its side.
    rastra::Image wide = image_of(h, 1, px);
    ASSERT_TRUE(rastra::resize_to(wide, {3, 1}));
    const uint8_t* p = wide.pixels.get();
    EXPECT_LT(p[0], 128);
    EXPECT_GT(p[4], 200);
    EXPECT_LT(p[8], 128);
}

TEST(AreaShrink, WholeRatiosAverageAsABoxAndOthersWeighEdges) {
    // A whole ratio covers whole blocks: the box's result exactly.
    Rgba8 px(6 * 4 * 4);
    for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 37 % 256);
    rastra::Image area = image_of(6, 4, px), box = image_of(6, 4, px);
    ASSERT_TRUE(rastra::area_shrink(area, {3, 2}));
    ASSERT_TRUE(rastra::box_shrink(box, 2, 2));
    EXPECT_EQ(std::vector<uint8_t>(area.pixels.get(), area.pixels.get() + 24),
              std::vector<uint8_t>(box.pixels.get(), box.pixels.get() + 24));
    // 3 x 1 to 2 x 1: the middle pixel counts half in each output.
    const Rgba8 row = {0, 0, 0, 255, 255, 255, 255, 255, 0, 0, 0, 255};
    rastra::Image img = image_of(3, 1, row);
    ASSERT_TRUE(rastra::area_shrink(img, {2, 1}));
    // Two thirds black and one third white: linear 1/3 is sRGB 156.
    EXPECT_NEAR(img.pixels.get()[0], 156, 1);
    EXPECT_NEAR(img.pixels.get()[4], 156, 1);
    EXPECT_EQ(img.pixels.get()[3], 255);
    // Never enlarges.
    rastra::Image small = image_of(3, 1, row);
    EXPECT_FALSE(rastra::area_shrink(small, {4, 1}));
}

TEST(ResizeTo, ThinImagesShrunkALittleAreAreaAveraged) {
    // 1 x 1,000,000 to 1 x 600,000 (and on its side): no box helps, and the
    // resampler's tables would take 25 times the image. Smooth content comes
    // out close to what the resampler writes in one pass.
    const int32_t n = 1'000'000, m = 600'000;
    std::vector<uint8_t> px(static_cast<size_t>(n) * 4);
    for (size_t i = 0; i < px.size(); ++i) {
        px[i] = i % 4 == 3 ? 255 : static_cast<uint8_t>(128 + 100 * std::sin(static_cast<double>(i / 4) / (500.0 + 300.0 * (i % 4))));
    }
    for (const bool tall : {true, false}) {
        const int32_t w = tall ? 1 : n, h = tall ? n : 1;
        const int32_t tw = tall ? 1 : m, th = tall ? m : 1;
        std::vector<uint8_t> whole(static_cast<size_t>(m) * 4);
        ASSERT_NE(stbir_resize_uint8_srgb(px.data(), w, h, w * 4, whole.data(), tw, th, tw * 4, STBIR_RGBA), nullptr);
        ASSERT_GT(rastra::resampler_cost({w, h}), std::max<uint64_t>(uint64_t{n} * 4, RASTRA_RESAMPLER_BUDGET_MIN));
        rastra::Image img = image_of(w, h, px);
        ASSERT_TRUE(rastra::resize_to(img, {tw, th}));
        ASSERT_EQ(img.width, tw);
        ASSERT_EQ(img.height, th);
        int worst = 0;
        for (size_t i = 0; i < whole.size(); ++i) worst = std::max(worst, std::abs(whole[i] - img.pixels.get()[i]));
        EXPECT_LE(worst, 2) << (tall ? "tall" : "wide");
    }
}
