#include <gtest/gtest.h>

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
