// Photos the right way up: with rastra_set_auto_orient, every EXIF
// orientation of JPEG, PNG and WebP inputs comes out upright, the box applies
// to the upright image and the watermark lands in its bottom-right corner.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "fixtures.h"
#include "rastra.h"

namespace {

using fixtures::Bytes;
using fixtures::Rgba;

// A 48 x 32 image in four flat quarters, each its own colour, so every turn
// and mirror puts a different colour in each corner.
constexpr std::array<std::array<uint8_t, 3>, 4> kCorner = {{{230, 20, 20}, {20, 200, 20}, {20, 20, 230}, {230, 230, 20}}};
enum { kTopLeft, kTopRight, kBottomLeft, kBottomRight };

Rgba quarters(int w = 48, int h = 32) {
    Rgba img{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 4)};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const auto& c = kCorner[(y < h / 2 ? 0 : 2) + (x < w / 2 ? 0 : 1)];
            uint8_t* p = &img.px[(static_cast<size_t>(y) * w + x) * 4];
            p[0] = c[0], p[1] = c[1], p[2] = c[2], p[3] = 255;
        }
    }
    return img;
}

// Which quarter colour a pixel is nearest to.
int colour_at(const Rgba& img, int x, int y) {
    const uint8_t* p = &img.px[(static_cast<size_t>(y) * img.width + x) * 4];
    int best = 0, best_d = 1 << 30;
    for (int i = 0; i < 4; ++i) {
        int d = 0;
        for (int c = 0; c < 3; ++c) d += (p[c] - kCorner[i][c]) * (p[c] - kCorner[i][c]);
        if (d < best_d) best = i, best_d = d;
    }
    return best;
}

std::array<int, 4> corners(const Rgba& img) {
    const int r = img.width - 3, b = img.height - 3;
    return {colour_at(img, 2, 2), colour_at(img, r, 2), colour_at(img, 2, b), colour_at(img, r, b)};
}

class OrientTest : public ::testing::Test {
protected:
    void SetUp() override { rastra_init(); }
    Rgba convert(const Bytes& file, const char* in_name, const char* out_name = "out.png") {
        fixtures::write_file(dir / in_name, file);
        EXPECT_EQ(rastra_process_file((dir / in_name).c_str(), (dir / out_name).c_str()), 1) << rastra_last_error();
        Rgba out;
        EXPECT_TRUE(fixtures::decode(fixtures::read_file(dir / out_name), out));
        return out;
    }
    fixtures::TempDir dir;
};

}  // namespace

TEST_F(OrientTest, EveryOrientationOfEveryFormatComesOutUpright) {
    const Rgba upright = quarters();
    const std::array<int, 4> want = {kTopLeft, kTopRight, kBottomLeft, kBottomRight};
    const std::pair<fixtures::Kind, const char*> kinds[] = {
        {fixtures::kJpeg, "in.jpg"}, {fixtures::kPng, "in.png"}, {fixtures::kWebp, "in.webp"}};
    for (const auto& [kind, name] : kinds) {
        for (int o = 1; o <= 8; ++o) {
            const Rgba stored = fixtures::stored_for(upright, o);
            const Bytes file = fixtures::with_exif(fixtures::encode(kind, stored, 95), fixtures::exif_block(o, o % 2 == 0));
            SCOPED_TRACE(std::string(name) + " orientation " + std::to_string(o));
            rastra_set_auto_orient(0);  // as stored
            const Rgba as_stored = convert(file, name);
            EXPECT_EQ(as_stored.width, stored.width);
            EXPECT_EQ(corners(as_stored), corners(stored));
            rastra_set_auto_orient(1);
            const Rgba turned = convert(file, name);
            EXPECT_EQ(turned.width, 48);
            EXPECT_EQ(turned.height, 32);
            EXPECT_EQ(corners(turned), want);
        }
    }
}

TEST_F(OrientTest, TheBoxAndTheWatermarkBelongToTheUprightImage) {
    // A portrait photo stored on its side (orientation 6) fits a landscape box
    // as a portrait.
    const Rgba portrait = quarters(300, 600);
    const Bytes file = fixtures::with_exif(fixtures::encode(fixtures::kJpeg, fixtures::stored_for(portrait, 6), 95),
                                           fixtures::exif_block(6));
    rastra_set_resize(200, 200);
    rastra_set_auto_orient(1);
    const Rgba fitted = convert(file, "in.jpg");
    EXPECT_EQ(fitted.width, 100);
    EXPECT_EQ(fitted.height, 200);
    EXPECT_EQ(corners(fitted), (std::array<int, 4>{kTopLeft, kTopRight, kBottomLeft, kBottomRight}));

    // An opaque white watermark in the upright bottom-right corner, and only there.
    rastra_set_resize(0, 0);
    rastra_set_watermark("II", 13, 1.0f);
    const Bytes small = fixtures::with_exif(fixtures::encode(fixtures::kPng, fixtures::stored_for(quarters(96, 64), 8)),
                                            fixtures::exif_block(8));
    const Rgba marked = convert(small, "in.png");
    ASSERT_EQ(marked.width, 96);
    int white_bottom_right = 0, white_elsewhere = 0;
    for (int y = 0; y < marked.height; ++y) {
        for (int x = 0; x < marked.width; ++x) {
            const uint8_t* p = &marked.px[(static_cast<size_t>(y) * marked.width + x) * 4];
            if (p[0] == 255 && p[1] == 255 && p[2] == 255) (x >= 48 && y >= 32 ? white_bottom_right : white_elsewhere)++;
        }
    }
    EXPECT_GT(white_bottom_right, 0);
    EXPECT_EQ(white_elsewhere, 0);
}

TEST_F(OrientTest, DamagedBlocksConvertUprightOrAsStored) {
    const Rgba stored = fixtures::stored_for(quarters(), 6);
    const Bytes jpeg = fixtures::encode(fixtures::kJpeg, stored, 95);
    Bytes past_end = fixtures::exif_block(6);
    past_end[4] = 0xF0, past_end[5] = 0xFF, past_end[6] = 0xFF, past_end[7] = 0xFF;  // IFD 0 far past the end
    Bytes cyclic = fixtures::exif_block(6);
    cyclic[22] = 8;  // the next IFD is IFD 0 itself
    Bytes huge_count = fixtures::exif_block(6);
    huge_count[14] = huge_count[15] = huge_count[16] = huge_count[17] = 0xFF;  // 2^32 - 1 values
    Bytes many_entries = fixtures::exif_block(6);
    many_entries[8] = many_entries[9] = 0xFF;  // 65535 entries in 26 bytes
    Bytes truncated = fixtures::with_exif(jpeg, fixtures::exif_block(6));
    truncated[5] = 0xF0;  // the APP1 segment claims more bytes than the file has
    struct Case {
        const char* name;
        Bytes file;
    };
    const std::vector<Case> cases = {
        {"past-end", fixtures::with_exif(jpeg, past_end)},
        {"cyclic", fixtures::with_exif(jpeg, cyclic)},
        {"huge-count", fixtures::with_exif(jpeg, huge_count)},
        {"many-entries", fixtures::with_exif(jpeg, many_entries)},
        {"zero", fixtures::with_exif(jpeg, fixtures::exif_block(0))},
        {"nine", fixtures::with_exif(jpeg, fixtures::exif_block(9))},
        {"short", fixtures::with_exif(jpeg, Bytes{'I', 'I', 42})},
        {"truncated", truncated},
    };
    rastra_set_auto_orient(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::write_file(dir / "in.jpg", c.file);
        const int32_t ok = rastra_process_file((dir / "in.jpg").c_str(), (dir / "out.png").c_str());
        if (std::string(c.name) == "truncated") {
            // The decoder's own verdict on the damaged file, not the tag's.
            EXPECT_TRUE(ok == 1 || std::string(rastra_last_error()).find("cannot decode") != std::string::npos);
            continue;
        }
        ASSERT_EQ(ok, 1) << rastra_last_error();
        Rgba out;
        ASSERT_TRUE(fixtures::decode(fixtures::read_file(dir / "out.png"), out));
        EXPECT_TRUE(out.width == stored.width || out.width == stored.height);
    }
}
