// The pinned dependency versions are the ones compiled in, not the system's.
#include <gtest/gtest.h>
#include <webp/decode.h>
#include <webp/encode.h>

#include <stb_image_resize2.h>

TEST(Dependencies, LibwebpIsPinnedVersion) {
    EXPECT_EQ(WebPGetEncoderVersion(), 0x010600);
    EXPECT_EQ(WebPGetDecoderVersion(), 0x010600);
}

TEST(Dependencies, StbResize2InterfaceIsAvailable) {
    // stb_image_resize2 is not in the system's packages at all; its pixel
    // layout enum proves the pinned header is the one on the include path.
    EXPECT_EQ(static_cast<int>(STBIR_RGBA), 4);
}
