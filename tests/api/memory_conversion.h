// Helpers for tests that convert in memory through the settings interface.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "fixtures.h"
#include "rastra.h"

namespace memory_conversion {

struct SettingsDeleter {
    void operator()(rastra_settings* s) const { rastra_settings_free(s); }
};
using SettingsPtr = std::unique_ptr<rastra_settings, SettingsDeleter>;

// The encoded output of a conversion that must succeed.
inline fixtures::Bytes convert_ok(const rastra_settings* s, const fixtures::Bytes& in) {
    void* out = nullptr;
    size_t size = 0;
    char error[RASTRA_ERROR_CAPACITY];
    EXPECT_EQ(rastra_convert(s, in.data(), in.size(), &out, &size, error, sizeof error), 1) << error;
    fixtures::Bytes bytes(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + size);
    rastra_free(out);
    return bytes;
}

// A file's pixels, decoded by the tests' own codecs.
inline fixtures::Rgba pixels(const fixtures::Bytes& file) {
    fixtures::Rgba img;
    EXPECT_TRUE(fixtures::decode(file, img));
    return img;
}

}  // namespace memory_conversion
