// Reading the EXIF orientation: both byte orders, every value, and blocks
// that lie about their offsets and counts. Every buffer is an exact-size
// allocation, so a read past its end shows under the sanitizers and valgrind.
#include <gtest/gtest.h>

#include <vector>

#include "fixtures.h"
#include "internal.h"

namespace {

int32_t orientation_of(const std::vector<uint8_t>& block) {
    const std::vector<uint8_t> exact(block);  // no slack after the last byte
    return rastra::exif_orientation(exact.data(), exact.size());
}

}  // namespace

TEST(ExifOrientation, ValuesAndByteOrders) {
    for (bool big : {false, true}) {
        for (int o = 0; o <= 10; ++o) {
            EXPECT_EQ(orientation_of(fixtures::exif_block(o, big)), o >= 1 && o <= 8 ? o : 1) << o << " " << big;
        }
    }
    std::vector<uint8_t> with_header{'E', 'x', 'i', 'f', 0, 0};
    const auto block = fixtures::exif_block(6);
    with_header.insert(with_header.end(), block.begin(), block.end());
    EXPECT_EQ(orientation_of(with_header), 6);
}

TEST(ExifOrientation, DamagedBlocksMeanAsStored) {
    const auto base = fixtures::exif_block(6);
    struct Case {
        const char* what;
        size_t at;
        std::vector<uint8_t> bytes;
        int32_t want;
    };
    const Case cases[] = {
        {"byte order", 0, {'X', 'X'}, 1},
        {"magic", 2, {43, 0}, 1},
        {"IFD past the end", 4, {0xF0, 0xFF, 0xFF, 0xFF}, 1},
        {"IFD at the very end", 4, {25, 0, 0, 0}, 1},
        {"65535 entries, one present", 8, {0xFF, 0xFF}, 6},  // the entries that fit are read
        {"type not SHORT", 12, {4, 0}, 1},
        {"count of 2^32-1", 14, {0xFF, 0xFF, 0xFF, 0xFF}, 1},
        {"count of 0", 14, {0, 0, 0, 0}, 1},
        {"next IFD is itself", 22, {8, 0, 0, 0}, 6},  // never followed
    };
    for (const Case& c : cases) {
        auto b = base;
        std::copy(c.bytes.begin(), c.bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(c.at));
        EXPECT_EQ(orientation_of(b), c.want) << c.what;
    }
    for (size_t n = 0; n < base.size(); ++n) {
        EXPECT_EQ(orientation_of(std::vector<uint8_t>(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(n))), n >= 22 ? 6 : 1)
            << "cut to " << n;
    }
}

TEST(ExifOrientation, FoundInEachContainerOnly) {
    const fixtures::Rgba img = fixtures::make_pattern(16, 8, true);
    const auto tiff = fixtures::exif_block(7);
    const std::pair<fixtures::Kind, int> kinds[] = {{fixtures::kJpeg, rastra::kJpeg}, {fixtures::kPng, rastra::kPng},
                                                    {fixtures::kWebp, rastra::kWebp}};
    for (const auto& [kind, code] : kinds) {
        const auto plain = fixtures::encode(kind, img, 90);
        const auto tagged = fixtures::with_exif(plain, tiff);
        EXPECT_EQ(rastra::read_orientation(code, plain.data(), plain.size()), 1) << kind;
        EXPECT_EQ(rastra::read_orientation(code, tagged.data(), tagged.size()), 7) << kind;
        // Every cut of the tagged file stays inside it and reads 7 or 1.
        for (size_t n = 0; n <= tagged.size(); n += 3) {
            const std::vector<uint8_t> cut(tagged.begin(), tagged.begin() + static_cast<std::ptrdiff_t>(n));
            const int32_t o = rastra::read_orientation(code, cut.data(), cut.size());
            EXPECT_TRUE(o == 7 || o == 1) << kind << " cut to " << n;
        }
    }
    const auto bmp = fixtures::encode(fixtures::kBmp, img);
    EXPECT_EQ(rastra::read_orientation(rastra::kBmp, bmp.data(), bmp.size()), 1);
}
