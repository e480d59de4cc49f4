// Its own process: before any initialising call the context holds the zeros
// of load time, so conversions write PNG at quality 0.
#include <gtest/gtest.h>

#include "fixtures.h"
#include "rastra.h"

TEST(LoadState, ConvertsAsPngBeforeInit) {
    fixtures::TempDir dir;
    fixtures::write_file(dir / "in.bmp", fixtures::encode(fixtures::kBmp, fixtures::make_pattern(12, 9)));
    EXPECT_STREQ(rastra_last_error(), "");
    EXPECT_STREQ(rastra_stats(), R"({"processed":0,"failed":0,"total_input_bytes":0,"total_output_bytes":0})");
    ASSERT_EQ(rastra_process_file((dir / "in.bmp").c_str(), (dir / "out.jpg").c_str()), 1) << rastra_last_error();
    EXPECT_EQ(fixtures::sniff(fixtures::read_file(dir / "out.jpg")), fixtures::kPng);
}
