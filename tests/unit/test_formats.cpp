#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "internal.h"

using rastra::detect_format;
using rastra::fmt_from_ext;

namespace {

struct SignatureCase {
    const char* label;
    std::vector<uint8_t> bytes;
    int32_t kind;
};

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace

TEST(DetectFormat, Signatures) {
    const std::vector<SignatureCase> cases = {
        {"empty", {}, 0},
        {"one byte FF", {0xFF}, 0},
        {"jpeg two bytes", {0xFF, 0xD8}, 1},
        {"FF without D8", {0xFF, 0xD9, 0xFF, 0xD8, 0, 0, 0, 0, 0}, 0},
        {"bm alone", bytes_of("BM"), 3},
        {"png prefix and four arbitrary bytes", {0x89, 'P', 'N', 'G', 1, 2, 3, 4}, 2},
        {"png prefix in seven bytes", {0x89, 'P', 'N', 'G', 1, 2, 3}, 0},
        {"89 not followed by PNG", {0x89, 'P', 'N', 'X', 1, 2, 3, 4}, 0},
        {"webp", bytes_of("RIFF\x01\x02\x03\x04WEBP"), 4},
        {"wave", bytes_of("RIFF\x01\x02\x03\x04WAVE"), 0},
        {"webp cut to 11 bytes", bytes_of("RIFF\x01\x02\x03\x04WEB"), 0},
        {"R then not I", bytes_of("RXFF\x01\x02\x03\x04WEBP"), 0},
        {"RIFX", bytes_of("RIFX\x01\x02\x03\x04WEBP"), 0},
        {"gif", bytes_of("GIF89a\x01\x00\x01\x00"), 0},
        {"tiff", {'I', 'I', 42, 0, 8, 0, 0, 0}, 0},
        {"bm after eight bytes", bytes_of("BM\x01\x02\x03\x04\x05\x06\x07"), 3},
        {"text", bytes_of("hello world"), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(detect_format(c.bytes.data(), c.bytes.size()), c.kind) << c.label;
    }
}

TEST(DetectFormat, JpegLooksAtTwoBytesOnly) {
    // A length of 2 must never read past the second byte.
    const uint8_t two[] = {0xFF, 0xD8};
    EXPECT_EQ(detect_format(two, sizeof two), 1);
    const uint8_t bm[] = {'B', 'M'};
    EXPECT_EQ(detect_format(bm, 2), 3);
    EXPECT_EQ(detect_format(bm, 1), 0);
}

TEST(FmtFromExt, Names) {
    const std::vector<std::pair<const char*, int32_t>> cases = {
        {"photo.JPG", 1},  {"photo.Jpeg", 1},  {"a.b.PNG", 2},    {"x.webp", 4},
        {"scan.Bmp", 3},   {"dir/p.jpeg", 1},  {"photo", 0},      {"photo.", 0},
        {"photo.tif", 0},  {"photo.jpg.bak", 0}, {"photo.jpgx", 0}, {"photo.pn", 0},
        {".png", 2},       {"shots.png\\photo", 0}, {"shots.png/photo", 0}, {"", 0},
    };
    for (const auto& [name, kind] : cases) EXPECT_EQ(fmt_from_ext(name), kind) << name;
}

TEST(Kinds, OutputExtensionsAndFormatTable) {
    EXPECT_STREQ(rastra::kind_ext(1), "jpg");
    EXPECT_STREQ(rastra::kind_ext(2), "png");
    EXPECT_STREQ(rastra::kind_ext(3), "bmp");
    EXPECT_STREQ(rastra::kind_ext(4), "webp");
    EXPECT_STREQ(rastra::kind_ext(0), "");
    EXPECT_EQ(rastra::kKindForFormat[0], 2);
    EXPECT_EQ(rastra::kKindForFormat[1], 1);
    EXPECT_EQ(rastra::kKindForFormat[2], 4);
}
