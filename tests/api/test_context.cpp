// Settings, reset semantics and the two report texts, through the public API.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "fixtures.h"
#include "rastra.h"

namespace {

constexpr const char* kZeroStats = R"({"processed":0,"failed":0,"total_input_bytes":0,"total_output_bytes":0})";

// The context is only observable through conversions; a tiny image and a
// fresh directory make each observation cheap.
class ContextTest : public ::testing::Test {
protected:
    void SetUp() override {
        rastra_init();
        fixtures::write_file(dir / "in.png", fixtures::encode(fixtures::kPng, fixtures::make_pattern(40, 20)));
    }

    // Converts in.png to name and returns the decoded result.
    fixtures::Rgba convert(const std::string& name) {
        EXPECT_EQ(rastra_process_file((dir / "in.png").c_str(), (dir / name).c_str()), 1) << rastra_last_error();
        fixtures::Rgba img;
        EXPECT_TRUE(fixtures::decode(fixtures::read_file(dir / name), img));
        return img;
    }

    fixtures::Kind kind_of(const std::string& name) { return fixtures::sniff(fixtures::read_file(dir / name)); }

    fixtures::TempDir dir;
};

}  // namespace

TEST_F(ContextTest, StatsAfterInitAndSamePointer) {
    EXPECT_STREQ(rastra_stats(), kZeroStats);
    EXPECT_EQ(rastra_stats(), rastra_stats());
    EXPECT_EQ(rastra_last_error(), rastra_last_error());
    EXPECT_STREQ(rastra_last_error(), "");
}

TEST_F(ContextTest, ResetKeepsLastErrorInitAndCleanupEmptyIt) {
    EXPECT_EQ(rastra_process_file(nullptr, "x.png"), 0);
    EXPECT_STREQ(rastra_last_error(), "process_file: NULL input/output");
    rastra_reset();
    EXPECT_STREQ(rastra_last_error(), "process_file: NULL input/output");
    EXPECT_EQ(rastra_init(), 1);
    EXPECT_STREQ(rastra_last_error(), "");

    EXPECT_EQ(rastra_process_file("x.png", nullptr), 0);
    rastra_cleanup();
    EXPECT_STREQ(rastra_last_error(), "");
}

TEST_F(ContextTest, ResetClearsStatisticsAndSettings) {
    rastra_set_format(RASTRA_FORMAT_WEBP);
    rastra_set_resize(10, 10);
    convert("a.out");
    EXPECT_STRNE(rastra_stats(), kZeroStats);
    rastra_reset();
    EXPECT_STREQ(rastra_stats(), kZeroStats);
    // Back to automatic format and no resize.
    const fixtures::Rgba img = convert("b.png");
    EXPECT_EQ(kind_of("b.png"), fixtures::kPng);
    EXPECT_EQ(img.width, 40);
}

TEST_F(ContextTest, ResizeSetterValidation) {
    rastra_set_resize(20, 0);
    rastra_set_resize(-1, 500);  // ignored
    rastra_set_resize(500, -1);  // ignored
    EXPECT_EQ(convert("a.png").width, 20);
    rastra_set_resize(0, 0);     // off
    EXPECT_EQ(convert("b.png").width, 40);
    rastra_set_resize(0, 5);     // height only
    const fixtures::Rgba c = convert("c.png");
    EXPECT_EQ(c.width, 10);
    EXPECT_EQ(c.height, 5);
}

TEST_F(ContextTest, FormatSetterValidation) {
    rastra_set_format(RASTRA_FORMAT_JPEG);
    rastra_set_format(3);   // ignored
    rastra_set_format(-2);  // ignored
    convert("a.png");
    EXPECT_EQ(kind_of("a.png"), fixtures::kJpeg);
    rastra_set_format(RASTRA_FORMAT_AUTO);
    convert("b.webp");
    EXPECT_EQ(kind_of("b.webp"), fixtures::kWebp);
}

TEST_F(ContextTest, QualitySetterValidation) {
    rastra_set_format(RASTRA_FORMAT_JPEG);
    rastra_set_quality(5);
    convert("low.jpg");
    rastra_set_quality(101);  // ignored
    rastra_set_quality(-1);   // ignored
    convert("still_low.jpg");
    EXPECT_EQ(fixtures::read_file(dir / "low.jpg"), fixtures::read_file(dir / "still_low.jpg"));
    rastra_set_quality(100);
    convert("high.jpg");
    EXPECT_GT(fixtures::size_of(dir / "high.jpg"), fixtures::size_of(dir / "low.jpg"));
}

TEST_F(ContextTest, WatermarkSetterRejectsOutOfRangeValues) {
    const fixtures::Rgba plain = convert("plain.png");
    rastra_set_watermark("X", 2, 1.0f);
    rastra_set_watermark("X", 513, 1.0f);
    rastra_set_watermark(nullptr, 13, 1.0f);
    rastra_set_watermark("X", 13, -0.1f);
    rastra_set_watermark("X", 13, 1.5f);
    rastra_set_watermark("", 13, 1.0f);
    EXPECT_EQ(convert("still_plain.png").px, plain.px);
    rastra_set_watermark("X", 3, 0.0f);  // accepted, draws nothing
    EXPECT_EQ(convert("zero_opacity.png").px, plain.px);
    rastra_set_watermark("X", 13, std::nanf(""));  // accepted, draws nothing
    EXPECT_EQ(convert("nan_opacity.png").px, plain.px);
}

TEST_F(ContextTest, WatermarkStaysUntilAReset) {
    const fixtures::Rgba plain = convert("plain.png");
    rastra_set_watermark("Hi", 13, 1.0f);
    const fixtures::Rgba marked = convert("marked.png");
    EXPECT_NE(marked.px, plain.px);
    rastra_set_watermark("", 13, 1.0f);  // ignored: the earlier watermark stays
    EXPECT_EQ(convert("still_marked.png").px, marked.px);
    rastra_reset();
    EXPECT_EQ(convert("unmarked.png").px, plain.px);
}

TEST_F(ContextTest, LongWatermarkKeepsItsFirst255Bytes) {
    // On an image wider than the text, the text's width decides where it starts.
    fixtures::write_file(dir / "in.png", fixtures::encode(fixtures::kPng, fixtures::make_pattern(800, 12)));
    rastra_set_watermark(std::string(255, '.').c_str(), 3, 1.0f);
    const fixtures::Rgba cut = convert("cut.png");
    rastra_set_watermark(std::string(300, '.').c_str(), 3, 1.0f);
    EXPECT_EQ(convert("long.png").px, cut.px);
    rastra_set_watermark(std::string(254, '.').c_str(), 3, 1.0f);
    EXPECT_NE(convert("shorter.png").px, cut.px);
}

TEST_F(ContextTest, StripMetadataIsOnlyStored) {
    const fixtures::Bytes a = (convert("a.png"), fixtures::read_file(dir / "a.png"));
    rastra_set_strip_metadata(0);
    const fixtures::Bytes b = (convert("b.png"), fixtures::read_file(dir / "b.png"));
    rastra_set_strip_metadata(7);
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::string(rastra_stats()).find("strip"), std::string::npos);
}
