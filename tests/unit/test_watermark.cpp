#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "fixtures.h"
#include "internal.h"
#include "rastra.h"

namespace {

// An RGBA image with guard bytes on both sides, so stray writes show up
// without a sanitizer.
class Canvas {
public:
    Canvas(int w, int h, uint8_t fill = 0)
        : w_(w), h_(h), buf_(2 * kGuard + static_cast<size_t>(w) * h * 4, kGuardByte) {
        std::fill(px(), px() + bytes(), fill);
    }
    explicit Canvas(const fixtures::Rgba& img) : Canvas(img.width, img.height) {
        std::copy(img.px.begin(), img.px.end(), px());
    }

    void draw(const rastra::Watermark& mark) { rastra::draw_watermark(mark, px(), w_, h_); }
    uint8_t* px() { return buf_.data() + kGuard; }
    const uint8_t* at(int x, int y) const {
        return buf_.data() + kGuard + (static_cast<size_t>(y) * w_ + x) * 4;
    }
    // Opaque white: what full-opacity ink leaves behind.
    bool ink(int x, int y) const {
        const uint8_t* p = at(x, y);
        return p[0] == 255 && p[1] == 255 && p[2] == 255 && p[3] == 255;
    }
    int ink_count() const {
        int n = 0;
        for (int y = 0; y < h_; ++y)
            for (int x = 0; x < w_; ++x) n += ink(x, y);
        return n;
    }
    bool guards_intact() const {
        const auto intact = [](auto b, auto e) {
            return std::all_of(b, e, [](uint8_t v) { return v == kGuardByte; });
        };
        return intact(buf_.begin(), buf_.begin() + kGuard) &&
               intact(buf_.end() - kGuard, buf_.end());
    }
    bool operator==(const Canvas& o) const { return w_ == o.w_ && h_ == o.h_ && buf_ == o.buf_; }
    int w() const { return w_; }
    int h() const { return h_; }

private:
    static constexpr size_t kGuard = 256;
    static constexpr uint8_t kGuardByte = 0xA5;
    size_t bytes() const { return static_cast<size_t>(w_) * h_ * 4; }

    int w_, h_;
    std::vector<uint8_t> buf_;
};

struct Box {
    int x_min = std::numeric_limits<int>::max(), x_max = -1;
    int y_min = std::numeric_limits<int>::max(), y_max = -1;
};

Box ink_box(const Canvas& c) {
    Box b;
    for (int y = 0; y < c.h(); ++y)
        for (int x = 0; x < c.w(); ++x)
            if (c.ink(x, y)) {
                b.x_min = std::min(b.x_min, x), b.x_max = std::max(b.x_max, x);
                b.y_min = std::min(b.y_min, y), b.y_max = std::max(b.y_max, y);
            }
    return b;
}

// A watermark built directly, bypassing the setters' checks.
rastra::Watermark mark(const std::string& text, int32_t size, float opacity) {
    rastra::Watermark m;
    m.enabled = 1;
    const size_t n = std::min(text.size(), sizeof m.text - 1);
    std::memcpy(m.text, text.data(), n);
    m.text[n] = '\0';
    m.size = size;
    m.opacity = opacity;
    return m;
}

Canvas render(const std::string& text, int size, int w, int h, float opacity = 1.0f) {
    Canvas c(w, h);
    c.draw(mark(text, size, opacity));
    return c;
}

class Watermark : public ::testing::Test {
protected:
    void SetUp() override { rastra_init(); }
};

// Glyph bits copied from the font listing: rows from the top, most
// significant of `width` bits = leftmost column.
struct Bits {
    int width;
    std::vector<uint32_t> rows;
};
const Bits kBitsA{9, {0x30, 0x38, 0x28, 0x4C, 0x44, 0xFC, 0x82, 0x82, 0x183}};
const Bits kBitsI{2, {3, 3, 3, 3, 3, 3, 3, 3, 3}};
const Bits kBitsW{13, {0x18C2, 0x8E2, 0x8A6, 0xCA6, 0x5A4, 0x534, 0x71C, 0x71C, 0x318}};

struct FootprintCase {
    const char* text;  // made of "A", "I" and "W"
    int size, w, h;
    int x0, y0;
    int edge[14];  // pixel offset where glyph unit t starts
};

}  // namespace

// The exact ink of whole glyphs: bit (k, l) at pen p covers rows
// y0 + edge[k] .. y0 + edge[k+1] - 1 and columns x0 + edge[p+l] ..
// x0 + edge[p+l+1] - 1, clipped to the image; nothing else changes.
TEST_F(Watermark, FootprintMatchesGlyphBits) {
    const FootprintCase cases[] = {
        // u = 1, margin 5, textW 9.
        {"A", 13, 100, 50, 86, 32, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
        // u = 20/13: rows start 0,2,3,5,6,8 and are 2,1,2,1,2,2 high; margin 7.
        {"A", 20, 100, 50, 80, 23, {0, 2, 3, 5, 6, 8, 10, 11, 13, 14, 16, 17, 19, 20}},
        // The second "I" starts at pen 3, i.e. int(3.5 u), not int(3 u) + int(0.5 u).
        {"II", 20, 60, 40, 46, 13, {0, 2, 3, 5, 6, 8, 10, 11, 13, 14, 16, 17, 19, 20}},
        // u = 2, margin 8: each bit is a 2x2 block shifted by one pixel.
        {"A", 26, 100, 60, 74, 26, {1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27}},
        // u = 15/13: textW x u = 13 x u is 15 in single precision (14.99999 in
        // double), so x0 = 60 - 15 - 5.
        {"W", 15, 60, 40, 40, 20, {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 12, 13, 14, 15}},
        // u = 30/13: 6.5 u is 14.9999999 in double, so row 6 starts at 14, not 15.
        {"A", 30, 100, 60, 71, 21, {1, 3, 5, 8, 10, 12, 14, 17, 19, 21, 24, 26, 28, 31}},
        // Size 3 keeps u = 1 and margin 2; only the top four rows fit.
        {"A", 3, 20, 4, 9, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " at size " + std::to_string(c.size));
        const Canvas got = render(c.text, c.size, c.w, c.h);
        std::vector<char> want(static_cast<size_t>(c.w) * c.h, 0);
        int pen = 0;
        for (const char* t = c.text; *t != '\0'; ++t) {
            const Bits& g = *t == 'A' ? kBitsA : *t == 'I' ? kBitsI : kBitsW;
            for (size_t k = 0; k < g.rows.size(); ++k)
                for (int l = 0; l < g.width; ++l) {
                    if (((g.rows[k] >> (g.width - 1 - l)) & 1u) == 0) continue;
                    for (int y = c.y0 + c.edge[k]; y < std::min(c.h, c.y0 + c.edge[k + 1]); ++y)
                        for (int x = c.x0 + c.edge[pen + l]; x < c.x0 + c.edge[pen + l + 1]; ++x)
                            want[static_cast<size_t>(y) * c.w + x] = 1;
                }
            pen += g.width + 1;
        }
        int wrong = 0;
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x) {
                const uint8_t* p = got.at(x, y);
                const bool white = got.ink(x, y);
                const bool black = p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 0;
                const bool ok = want[static_cast<size_t>(y) * c.w + x] ? white : black;
                if (!ok && ++wrong <= 5) ADD_FAILURE() << "pixel " << x << "," << y;
            }
        EXPECT_EQ(wrong, 0);
        EXPECT_TRUE(got.guards_intact());
    }
}

TEST_F(Watermark, LowercaseHangsFromTheCapitalTopLine) {
    const Box a = ink_box(render("a", 13, 100, 50));
    const Box cap = ink_box(render("A", 13, 100, 50));
    EXPECT_EQ(a.y_min, 32);
    EXPECT_EQ(a.y_max, 38);
    EXPECT_EQ(cap.y_min, 32);
}

TEST_F(Watermark, SpaceAdvancesThreeUnits) {
    // "A B": 10 + 3 + 8 units, less the trailing gap = 20; x0 = 100 - 20 - 5.
    const Canvas c = render("A B", 13, 100, 50);
    std::vector<int> columns;
    for (int x = 0; x < c.w(); ++x)
        for (int y = 0; y < c.h(); ++y)
            if (c.ink(x, y)) {
                columns.push_back(x);
                break;
            }
    std::vector<int> want;
    for (int x = 75; x <= 83; ++x) want.push_back(x);  // A: units 0..8
    for (int x = 88; x <= 94; ++x) want.push_back(x);  // B: units 13..19
    EXPECT_EQ(columns, want);
}

TEST_F(Watermark, NothingDrawnWithoutOpacityOrText) {
    const fixtures::Rgba img = fixtures::make_pattern(40, 30);
    struct Case {
        const char* what;
        std::string text;
        float opacity;
    } const cases[] = {
        {"opacity 0", "A", 0.0f},
        {"opacity -0", "A", -0.0f},
        {"negative opacity", "A", -0.5f},
        {"NaN opacity", "A", std::nanf("")},
        {"alpha rounds to 0", "A", 0.0019f},
        {"empty text", "", 1.0f},
        {"only spaces", "   ", 1.0f},
    };
    for (const auto& c : cases) {
        Canvas got(img);
        got.draw(mark(c.text, 13, c.opacity));
        EXPECT_TRUE(got == Canvas(img)) << c.what;
    }
}

TEST_F(Watermark, BlendsEveryChannelTowardsWhite) {
    struct Case {
        float opacity;
        uint8_t want[4];  // from R, G, B, A = 0, 100, 255, 7
    } const cases[] = {
        {0.5f, {128, 178, 255, 131}},  // a = 128
        {0.2f, {51, 131, 255, 57}},    // a = 51
        {0.002f, {1, 101, 255, 8}},    // a = 1
        {1.0f, {255, 255, 255, 255}},
        {7.0f, {255, 255, 255, 255}},  // above 1 counts as 1
        {std::numeric_limits<float>::infinity(), {255, 255, 255, 255}},
    };
    for (const auto& c : cases) {
        Canvas got(fixtures::make_solid(40, 30, 0, 100, 255, 7));
        got.draw(mark("I", 13, c.opacity));
        // "I" covers x0..x0+1 = 33..34 on rows 12..20.
        for (const auto& [x, y] : {std::pair{33, 12}, std::pair{34, 20}})
            for (int ch = 0; ch < 4; ++ch)
                EXPECT_EQ(got.at(x, y)[ch], c.want[ch]) << "opacity " << c.opacity << " channel " << ch;
        const uint8_t* outside = got.at(32, 12);
        EXPECT_EQ(outside[1], 100) << "opacity " << c.opacity;
    }
}

TEST_F(Watermark, LeavesPixelsOffTheInkUntouched) {
    const fixtures::Rgba img = fixtures::make_pattern(120, 40);
    const Canvas blank = render("Rastra 0.1", 13, 120, 40);
    Canvas got(img);
    got.draw(mark("Rastra 0.1", 13, 1.0f));
    const Canvas original(img);
    int inked = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 120; ++x) {
            if (blank.ink(x, y)) {
                EXPECT_TRUE(got.ink(x, y)) << x << "," << y;
                ++inked;
            } else {
                ASSERT_EQ(std::memcmp(got.at(x, y), original.at(x, y), 4), 0) << x << "," << y;
            }
        }
    EXPECT_GT(inked, 100);
}

TEST_F(Watermark, BytesWithoutGlyphDrawAsQuestionMark) {
    // Single bytes are covered glyph by glyph below; here, mixed text and the
    // bytes of a multi-byte character, one "?" each.
    EXPECT_TRUE(render("x$y", 13, 80, 30) == render("x?y", 13, 80, 30));
    EXPECT_TRUE(render("\xC3\xA9I", 13, 80, 30) == render("??I", 13, 80, 30));
    // Seven units each: textW 23, x0 = 52, and the "|" (ink in its right
    // column) after three of them lands at x0 + 21 + 1.
    const Canvas c = render("\x80$,|", 13, 80, 30);
    for (int y = 12; y <= 24; ++y) {
        EXPECT_TRUE(c.ink(74, y)) << y;
        EXPECT_FALSE(c.ink(73, y)) << y;
    }
}

TEST_F(Watermark, ClipsToTinyAndNarrowImages) {
    const std::string long_text = "W|" + std::string(253, 'M');
    struct Case {
        std::string text;
        int size, w, h;
        int want_ink;
    } const cases[] = {
        // Shorter than size + margin: y0 = 0, the "|" runs off the bottom.
        {"|", 13, 20, 10, 10},
        // u = 512/13: bit (0, 0) of "W" covers [19, 59) in both directions.
        {long_text, 512, 1, 1, 0},
        {long_text, 512, 1, 40, 0},
        {long_text, 512, 40, 1, 0},
        {long_text, 512, 3, 3, 0},
        {long_text, 512, 20, 20, 1},
        {long_text, 512, 40, 40, 21 * 21},
        {long_text, 13, 1, 1, 1},
        {long_text, 13, 3, 3, 4},  // "W": columns 0-1 of row 0, column 1 of rows 1-2
    };
    for (const auto& c : cases) {
        const Canvas got = render(c.text, c.size, c.w, c.h);
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " size " + std::to_string(c.size));
        EXPECT_TRUE(got.guards_intact());
        EXPECT_EQ(got.ink_count(), c.want_ink);
    }
    // Wider than the image: starts at x0 = 0, stays on its line, no wrap.
    const Canvas wide = render("WWWWWWWWWW", 13, 50, 30);
    const Box b = ink_box(wide);
    EXPECT_EQ(b.x_min, 0);
    EXPECT_EQ(b.y_min, 12);
    EXPECT_EQ(b.y_max, 20);
    EXPECT_TRUE(wide.guards_intact());
}

// Widths, heights and ink counts of all 86 glyphs, in code order, worked out
// from the font listing independently of the table in the source.
TEST(WatermarkFont, EveryGlyphHasItsWidthHeightAndInk) {
    struct Row {
        int code, width, height, ink;
    } const font[] = {
        {33, 3, 9, 8}, {34, 4, 4, 8}, {35, 9, 10, 38}, {37, 12, 9, 38}, {38, 10, 9, 29}, {39, 2, 4, 4},
        {40, 3, 12, 16}, {41, 3, 12, 16}, {42, 7, 6, 14}, {43, 9, 9, 17}, {45, 5, 1, 3}, {46, 2, 2, 4},
        {47, 5, 11, 14}, {48, 8, 9, 28}, {49, 7, 9, 16}, {50, 7, 9, 25}, {51, 8, 9, 23}, {52, 8, 9, 23},
        {53, 7, 9, 26}, {54, 8, 9, 31}, {55, 7, 9, 19}, {56, 8, 9, 33}, {57, 8, 9, 29}, {60, 9, 7, 23},
        {62, 9, 7, 23}, {63, 6, 9, 16}, {64, 13, 11, 48}, {65, 9, 9, 26}, {66, 7, 9, 41}, {67, 9, 9, 23},
        {68, 9, 9, 37}, {69, 7, 9, 30}, {70, 6, 9, 25}, {71, 9, 9, 29}, {72, 8, 9, 40}, {73, 2, 9, 18},
        {74, 4, 12, 24}, {75, 8, 9, 35}, {76, 7, 9, 22}, {77, 9, 9, 45}, {78, 8, 9, 46}, {79, 10, 9, 29},
        {80, 7, 9, 30}, {81, 10, 11, 32}, {82, 8, 9, 37}, {83, 8, 9, 25}, {84, 9, 9, 24}, {85, 8, 9, 28},
        {86, 9, 9, 26}, {87, 13, 9, 47}, {88, 9, 9, 29}, {89, 8, 9, 24}, {90, 9, 9, 28}, {91, 3, 12, 16},
        {92, 5, 11, 14}, {93, 3, 12, 16}, {95, 8, 1, 7}, {97, 7, 7, 25}, {98, 7, 11, 33}, {99, 7, 7, 17},
        {100, 8, 11, 28}, {101, 8, 7, 24}, {102, 5, 11, 25}, {103, 8, 10, 31}, {104, 7, 11, 24}, {105, 2, 10, 8},
        {106, 4, 13, 12}, {107, 7, 11, 26}, {108, 2, 11, 11}, {109, 11, 7, 36}, {110, 7, 7, 20}, {111, 8, 7, 22},
        {112, 7, 10, 32}, {113, 8, 10, 27}, {114, 5, 7, 12}, {115, 7, 7, 17}, {116, 5, 9, 16}, {117, 7, 7, 19},
        {118, 8, 7, 19}, {119, 11, 7, 34}, {120, 8, 7, 19}, {121, 8, 10, 24}, {122, 7, 7, 17}, {123, 6, 12, 23},
        {124, 2, 13, 13}, {125, 6, 12, 23},
    };
    static_assert(std::size(font) == 86);
    rastra_init();
    const Canvas question = render("?", 13, 40, 40);
    std::vector<bool> listed(256, false);
    for (const Row& r : font) {
        SCOPED_TRACE("code " + std::to_string(r.code));
        listed[r.code] = true;
        const std::string ch(1, static_cast<char>(r.code));
        // Every glyph has ink in its first and last row, and sits on y0 = 22.
        const Canvas alone = render(ch, 13, 40, 40);
        const Box b = ink_box(alone);
        EXPECT_EQ(b.y_min, 22);
        EXPECT_EQ(b.y_max - b.y_min + 1, r.height);
        EXPECT_EQ(alone.ink_count(), r.ink);
        // A leading "|" has its ink at x0 + 1 where x0 = 40 - (width + 3) - 5.
        EXPECT_EQ(40 - 7 - ink_box(render("|" + ch, 13, 40, 40)).x_min, r.width);
    }
    for (int code = 1; code < 256; ++code) {
        if (listed[code] || code == ' ') continue;
        EXPECT_TRUE(render(std::string(1, static_cast<char>(code)), 13, 40, 40) == question) << code;
    }
}

// The tallest glyph (13 rows) sets the unit: "|" is exactly `size` pixels tall.
TEST(WatermarkFont, TallestGlyphFillsTheLine) {
    rastra_init();
    for (const int size : {13, 20, 26, 39, 100}) {
        const Box b = ink_box(render("|", size, 300, 300));
        EXPECT_EQ(b.y_max - b.y_min + 1, size) << size;
    }
}
