// Telling whether two paths name one file, and planning runs whose outputs
// are one file under two names.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

#include "fixtures.h"
#include "rastra.h"

namespace {

namespace fs = fixtures::fs;

class FilesTest : public ::testing::Test {
protected:
    std::string put(const std::string& name, const std::string& body = "same bytes") {
        fixtures::write_file(dir.path() / name, body);
        return dir / name;
    }
    static bool same(const std::string& a, const std::string& b) {
        const int32_t ab = rastra_same_file(a.c_str(), b.c_str());
        EXPECT_EQ(ab, rastra_same_file(b.c_str(), a.c_str())) << a << " / " << b;
        return ab == 1;
    }
    fixtures::TempDir dir;
};

TEST_F(FilesTest, OneFileUnderEveryName) {
    fs::create_directory(dir.path() / "in");
    const std::string a = put("in/a.png");
    EXPECT_TRUE(same(a, a));
    EXPECT_TRUE(same(a, dir / "in/../in/./a.png"));
    EXPECT_TRUE(same(dir / "in", dir / "in/."));  // a directory is a file too

    std::error_code ec;
    fs::create_hard_link(dir.path() / "in/a.png", dir.path() / "hard.png", ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_TRUE(same(a, dir / "hard.png"));
#if !defined(_WIN32)  // symbolic links need a privilege there
    fs::create_symlink(dir.path() / "in/a.png", dir.path() / "soft.png");
    fs::create_symlink("soft.png", dir.path() / "soft2.png");  // relative, and a link to a link
    fs::create_directory_symlink(dir.path() / "in", dir.path() / "link");
    EXPECT_TRUE(same(a, dir / "soft.png"));
    EXPECT_TRUE(same(dir / "hard.png", dir / "soft2.png"));
    EXPECT_TRUE(same(a, dir / "link/a.png"));
#endif
}

TEST_F(FilesTest, DifferentOrMissingFilesAreNotTheSame) {
    const std::string a = put("a.png");
    const std::string copy = put("copy.png");  // equal bytes, another file
    EXPECT_FALSE(same(a, copy));
    EXPECT_FALSE(same(a, dir.path().string()));
    EXPECT_FALSE(same(a, dir / "missing.png"));
    EXPECT_FALSE(same(dir / "missing.png", dir / "missing.png"));  // nothing there to replace
    EXPECT_FALSE(same(dir / "a.png/x", dir / "a.png/x"));
    EXPECT_FALSE(same(a, ""));
#if !defined(_WIN32)
    fs::create_symlink(dir.path() / "gone.png", dir.path() / "dangling.png");
    EXPECT_FALSE(same(dir / "dangling.png", dir / "dangling.png"));
#endif
    EXPECT_EQ(rastra_same_file(nullptr, a.c_str()), 0);
    EXPECT_EQ(rastra_same_file(a.c_str(), nullptr), 0);
    EXPECT_EQ(rastra_same_file(nullptr, nullptr), 0);
}

// Outputs that exist already under names that lead to one file are written
// one after the other, as outputs of one name are.
TEST_F(FilesTest, PlansChainOutputsThatAreOneFile) {
    fs::create_directory(dir.path() / "in");
    fs::create_directory(dir.path() / "out");
    for (const char* name : {"a.png", "b.png", "c.png"}) {
        fixtures::write_file(dir.path() / "in" / name, fixtures::encode(fixtures::kPng, fixtures::make_pattern(4, 4)));
    }
    put("out/a.png", "old");
    std::error_code ec;
    fs::create_hard_link(dir.path() / "out/a.png", dir.path() / "out/b.png", ec);
    ASSERT_FALSE(ec) << ec.message();

    struct Seen {
        std::string name;
        int32_t follows;
    };
    std::vector<Seen> seen;
    char error[RASTRA_ERROR_CAPACITY];
    ASSERT_EQ(rastra_plan(
                  nullptr, (dir / "in").c_str(), (dir / "out").c_str(),
                  [](void* user, const rastra_candidate* c) {
                      static_cast<std::vector<Seen>*>(user)->push_back(
                          {fs::path(c->input).filename().string(), c->follows});
                  },
                  &seen, error, sizeof error),
              3)
        << error;
    // The listing's order is the platform's: whichever of a and b comes
    // second follows the first; c writes a file of its own.
    std::vector<int32_t> of_ab;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        if (seen[i].name == "c.png") {
            EXPECT_EQ(seen[i].follows, -1);
        } else {
            EXPECT_EQ(seen[i].follows, of_ab.empty() ? -1 : of_ab.back()) << seen[i].name;
            of_ab.push_back(static_cast<int32_t>(i));
        }
    }
    EXPECT_EQ(of_ab.size(), 2u);
}

}  // namespace
