// Where creating an output directory starts: a Windows drive or share root
// is never created, whatever separators name it.
#include <gtest/gtest.h>

#include <string>

#include "internal.h"

using rastra::root_length;

TEST(RootLength, DrivesAndSharesOnWindowsOnly) {
    struct Case {
        const char* path;
        std::size_t windows;
    } const cases[] = {
        {"C:", 2},
        {"C:\\", 3},
        {"c:/new/out", 3},
        {"C:new\\out", 2},  // relative to the drive's current directory
        {"\\\\server\\share\\new\\out", 14},
        {"//server/share/new", 14},
        {"\\\\server\\share", 14},
        {"\\\\server", 8},
        {"\\top\\out", 0},
        {"relative\\out", 0},
        {"1:/x", 0},
        {"", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(root_length(c.path, true), c.windows) << c.path;
        EXPECT_EQ(root_length(c.path, false), 0u) << c.path;  // elsewhere every level may be made
    }
}
