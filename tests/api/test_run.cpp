// Directory runs end to end in scratch directories.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fixtures.h"
#include "rastra.h"

namespace {

namespace fs = fixtures::fs;
using fixtures::Kind;

#if defined(_WIN32)
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif

class RunTest : public ::testing::Test {
protected:
    void SetUp() override {
        rastra_init();
        fs::create_directory(in());
    }

    fs::path in() const { return root.path() / "in"; }
    fs::path out() const { return root.path() / "out"; }
    std::string in_s() const { return in().string(); }
    std::string out_s() const { return out().string(); }

    void image(const std::string& name, Kind kind, int w = 12, int h = 8) {
        fixtures::write_file(in() / name, fixtures::encode(kind, fixtures::make_pattern(w, h)));
    }
    void text(const std::string& name, const std::string& body = "not an image") {
        fixtures::write_file(in() / name, body);
    }
    int32_t run() { return rastra_run(in_s().c_str(), out_s().c_str()); }

    static std::vector<std::string> listing(const fs::path& dir) {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    Kind kind_of(const std::string& name) const { return fixtures::sniff(fixtures::read_file(out() / name)); }
    std::string in_path(const std::string& name) const { return in_s() + kSep + name; }
    std::string out_path(const std::string& name) const { return out_s() + kSep + name; }

    fixtures::TempDir root;
};

std::string stats(int processed, int failed) {
    const std::string s = rastra_stats();
    const std::string want = "{\"processed\":" + std::to_string(processed) + ",\"failed\":" + std::to_string(failed) + ",";
    return s.substr(0, want.size()) == want ? "ok" : s;
}

}  // namespace

TEST_F(RunTest, NamesOutputsAfterStemAndKind) {
    image("photo.JPEG", fixtures::kJpeg);
    image("scan.Bmp", fixtures::kBmp);
    image("a.b.c.png", fixtures::kPng);
    image("x.webp", fixtures::kWebp);
    text("readme.txt");
    image(".hidden.png", fixtures::kPng);
    fs::create_directory(in() / "sub");
    ASSERT_EQ(run(), 1) << rastra_last_error();
    EXPECT_EQ(listing(out()), (std::vector<std::string>{"a.b.c.png", "photo.jpg", "scan.bmp", "x.webp"}));
    EXPECT_EQ(kind_of("photo.jpg"), fixtures::kJpeg);
    EXPECT_EQ(kind_of("scan.bmp"), fixtures::kBmp);
    EXPECT_EQ(kind_of("x.webp"), fixtures::kWebp);
    EXPECT_EQ(stats(4, 0), "ok");
    EXPECT_STREQ(rastra_last_error(), "");
}

TEST_F(RunTest, FixedFormatRenamesEveryOutput) {
    image("a.bmp", fixtures::kBmp);
    image("b.jpg", fixtures::kJpeg);
    rastra_set_format(RASTRA_FORMAT_WEBP);
    ASSERT_EQ(run(), 1);
    EXPECT_EQ(listing(out()), (std::vector<std::string>{"a.webp", "b.webp"}));
    EXPECT_EQ(kind_of("a.webp"), fixtures::kWebp);
}

TEST_F(RunTest, WatermarkIsDrawnInEveryOutput) {
    image("a.png", fixtures::kPng, 60, 40);
    image("b.bmp", fixtures::kBmp, 60, 40);
    ASSERT_EQ(run(), 1);
    fixtures::Rgba plain_a, plain_b;
    ASSERT_TRUE(fixtures::decode(fixtures::read_file(out() / "a.png"), plain_a));
    ASSERT_TRUE(fixtures::decode(fixtures::read_file(out() / "b.bmp"), plain_b));
    rastra_set_watermark("W", 13, 1.0f);
    ASSERT_EQ(run(), 1);
    fixtures::Rgba a, b;
    ASSERT_TRUE(fixtures::decode(fixtures::read_file(out() / "a.png"), a));
    ASSERT_TRUE(fixtures::decode(fixtures::read_file(out() / "b.bmp"), b));
    EXPECT_NE(a.px, plain_a.px);
    EXPECT_NE(b.px, plain_b.px);
}

TEST_F(RunTest, SameStemsCollideAndBothCount) {
    image("pic.jpg", fixtures::kJpeg);
    image("pic.bmp", fixtures::kBmp);
    rastra_set_format(RASTRA_FORMAT_PNG);
    ASSERT_EQ(run(), 1);
    EXPECT_EQ(listing(out()), std::vector<std::string>{"pic.png"});
    EXPECT_EQ(stats(2, 0), "ok");
}

TEST_F(RunTest, NothingToConvert) {
    text("readme.txt");
    image(".hidden.png", fixtures::kPng);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(rastra_last_error(), "run: no images found in " + in_s());
    EXPECT_TRUE(fs::is_directory(out()));  // made before the listing
}

TEST_F(RunTest, ArgumentAndDirectoryFailures) {
    EXPECT_EQ(rastra_run(nullptr, "x"), 0);
    EXPECT_STREQ(rastra_last_error(), "run: NULL input_dir/output_dir");
    EXPECT_EQ(rastra_run("x", nullptr), 0);
    EXPECT_STREQ(rastra_last_error(), "run: NULL input_dir/output_dir");

    const std::string missing = (root.path() / "missing").string();
    EXPECT_EQ(rastra_run(missing.c_str(), out_s().c_str()), 0);
    EXPECT_EQ(rastra_last_error(), "run: cannot open directory " + missing);
    EXPECT_TRUE(fs::is_directory(out()));
    // An empty name is no directory (on Windows it would list the drive's root).
    EXPECT_EQ(rastra_run("", out_s().c_str()), 0);
    EXPECT_STREQ(rastra_last_error(), "run: cannot open directory ");

    fixtures::write_file(root.path() / "file.txt", "x");
    const std::string below_file = (root.path() / "file.txt" / "sub").string();
    EXPECT_EQ(rastra_run(in_s().c_str(), below_file.c_str()), 0);
    EXPECT_EQ(rastra_last_error(), "run: cannot create output dir " + below_file);
    EXPECT_EQ(stats(0, 0), "ok");
}

TEST_F(RunTest, CreatesMissingLevelsAndAcceptsTrailingSeparators) {
    image("a.png", fixtures::kPng);
    const fs::path nested = root.path() / "out" / "photos" / "web";
    const std::string with_sep = nested.string() + kSep;
    ASSERT_EQ(rastra_run(in_s().c_str(), with_sep.c_str()), 1) << rastra_last_error();
    EXPECT_TRUE(fs::exists(nested / "a.png"));
    // An existing directory is used as it is.
    ASSERT_EQ(rastra_run(in_s().c_str(), nested.string().c_str()), 1);
    EXPECT_EQ(stats(2, 0), "ok");
}

TEST_F(RunTest, FailuresAreCountedAndTheFirstIsPrefixed) {
    text("notes.png");
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(rastra_last_error(), "run: process_file: unsupported image format: " + in_path("notes.png"));
    EXPECT_EQ(stats(0, 1), "ok");

    // Second failure since the reset: its own message, no prefix.
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(rastra_last_error(), "process_file: unsupported image format: " + in_path("notes.png"));
    EXPECT_EQ(stats(0, 2), "ok");

    rastra_reset();
    fs::remove(in() / "notes.png");
    fs::create_directory(in() / "album.jpg");  // a directory with an image name is a candidate
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(rastra_last_error(), "run: process_file: cannot read " + in_path("album.jpg"));
}

TEST_F(RunTest, GoodFilesConvertDespiteBadOnes) {
    text("bad1.png");
    image("good.png", fixtures::kPng);
    text("bad2.jpg");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(stats(1, 2), "ok");
    EXPECT_TRUE(fs::exists(out() / "good.png"));
}

TEST_F(RunTest, RunWithOnlyFailuresFailsEvenAfterEarlierSuccesses) {
    image("good.png", fixtures::kPng);
    ASSERT_EQ(run(), 1);
    fs::remove(in() / "good.png");
    text("bad.png");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(stats(1, 1), "ok");
    EXPECT_EQ(rastra_last_error(), "run: process_file: unsupported image format: " + in_path("bad.png"));
}

TEST_F(RunTest, OutputIntoTheInputDirectoryConvertsEachFileOnce) {
    image("a.png", fixtures::kPng);
    image("b.bmp", fixtures::kBmp);
    rastra_set_format(RASTRA_FORMAT_WEBP);
    ASSERT_EQ(rastra_run(in_s().c_str(), in_s().c_str()), 1);
    EXPECT_EQ(listing(in()), (std::vector<std::string>{"a.png", "a.webp", "b.bmp", "b.webp"}));
    EXPECT_EQ(stats(2, 0), "ok");
}

TEST_F(RunTest, OutputDirThatIsAFileFailsEveryCandidate) {
    image("a.png", fixtures::kPng);
    text("b.png");
    fixtures::write_file(out(), "a file");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(stats(0, 2), "ok");
    const std::string msg = rastra_last_error();
    EXPECT_TRUE(msg.find("process_file: cannot write " + out_path("a.png")) != std::string::npos ||
                msg == "process_file: unsupported image format: " + in_path("b.png"))
        << msg;
}

#if !defined(_WIN32)
TEST_F(RunTest, BackslashIsAnOrdinaryNameCharacterHere) {
    image("a.png", fixtures::kPng);
    const std::string odd = out_s() + "\\sub";
    ASSERT_EQ(rastra_run(in_s().c_str(), odd.c_str()), 1) << rastra_last_error();
    EXPECT_TRUE(fs::exists(fs::path(odd) / "a.png"));
    EXPECT_FALSE(fs::exists(out()));
}

TEST_F(RunTest, OverlongPathsAreRefusedNotCut) {
    // An input directory whose path leaves room for the listing but not for
    // a long entry name joined to it.
    fs::path deep = root.path();
    while (deep.string().size() < 3900) deep /= std::string(200, 'd');
    fs::create_directories(deep);
    const std::string name = std::string(240, 'n') + ".png";
    const fs::path cwd = fs::current_path();
    fs::current_path(deep);  // the joined path is too long for the system too
    fixtures::write_file(name, fixtures::encode(fixtures::kPng, fixtures::make_pattern(4, 4)));
    fs::current_path(cwd);
    fixtures::write_file(deep / "ok.png", fixtures::encode(fixtures::kPng, fixtures::make_pattern(4, 4)));
    EXPECT_EQ(rastra_run(deep.string().c_str(), out_s().c_str()), 1);
    EXPECT_EQ(stats(1, 1), "ok");
    EXPECT_EQ(listing(out()), std::vector<std::string>{"ok.png"});

    rastra_reset();
    fs::remove(deep / "ok.png");
    EXPECT_EQ(rastra_run(deep.string().c_str(), out_s().c_str()), 0);
    EXPECT_EQ(rastra_last_error(), "run: path too long: " + name);
}
#endif

TEST_F(RunTest, OverlongDirectoriesAreRefusedNotCut) {
    image("a.png", fixtures::kPng);
    const std::string long_out = root.path().string() + kSep + std::string(4100, 'o');
    EXPECT_EQ(rastra_run(in_s().c_str(), long_out.c_str()), 0);
    EXPECT_EQ(rastra_last_error(), ("run: cannot create output dir " + long_out).substr(0, 511));

    // Too long for the listing pattern: refused even though a cut path exists.
    const std::string long_in = in_s() + std::string(4100, kSep);
    EXPECT_EQ(rastra_run(long_in.c_str(), out_s().c_str()), 0);
    EXPECT_EQ(rastra_last_error(), ("run: cannot open directory " + long_in).substr(0, 511));
    EXPECT_EQ(stats(0, 0), "ok");
}

namespace {

// What a plan callback or a run observer was handed, one entry per call.
struct Seen {
    std::string input, output, message;
    int converted;  // -1 for a plan entry
    bool operator==(const Seen&) const = default;
};

void record_plan(void* user, const char* input, const char* output, const char* message) {
    static_cast<std::vector<Seen>*>(user)->push_back({input, output ? output : "", message ? message : "", -1});
}

struct Recorder {
    std::vector<Seen> seen;
    size_t stop_after = 0;  // 0: never stop
};

int32_t record_run(void* user, const char* input, const char* output, int32_t converted, const char* message) {
    auto* r = static_cast<Recorder*>(user);
    r->seen.push_back({input, output ? output : "", message ? message : "", converted});
    return r->stop_after != 0 && r->seen.size() >= r->stop_after ? 1 : 0;
}

}  // namespace

TEST_F(RunTest, PlanListsExactlyWhatTheRunConverts) {
    rastra_set_format(RASTRA_FORMAT_WEBP);
    image("a.jpg", fixtures::kJpeg);
    image("a.png", fixtures::kPng);  // also writes a.webp
    image(".hidden.png", fixtures::kPng);
    text("readme.txt");
    text("bad.png");  // a candidate that fails
    fs::path target = out();
#if !defined(_WIN32)
    // An output directory that leaves room for short names only.
    image(std::string(40, 'n') + ".png", fixtures::kPng);
    while (target.string().size() < 4000) target /= std::string(100, 'o');
    target /= std::string(4085 - target.string().size(), 'o');
#endif
    const std::string out_dir = target.string();

    std::vector<Seen> plan;
    const int32_t count = rastra_plan_run(in_s().c_str(), out_dir.c_str(), record_plan, &plan);
    ASSERT_GT(count, 0) << rastra_last_error();
    EXPECT_EQ(static_cast<size_t>(count), plan.size());
    EXPECT_TRUE(fs::is_directory(target));  // created, as a run would
    EXPECT_EQ(stats(0, 0), "ok");

    Recorder run;
    rastra_set_run_observer(record_run, &run);
    EXPECT_EQ(rastra_run(in_s().c_str(), out_dir.c_str()), 1);
    ASSERT_EQ(run.seen.size(), plan.size());
    int failures = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
        const Seen& p = plan[i];
        const Seen& r = run.seen[i];
        EXPECT_EQ(r.input, p.input) << i;
        EXPECT_EQ(r.output, p.output) << i;
        if (p.output.empty()) {  // could not be named: the plan gives the run's message
            EXPECT_EQ(r.converted, 0);
            EXPECT_EQ(r.message, p.message);
            EXPECT_EQ(p.message, "run: path too long: " + std::string(40, 'n') + ".png");
            ++failures;
        } else if (p.input == in_path("bad.png")) {
            EXPECT_EQ(r.converted, 0);
            EXPECT_EQ(r.message, "process_file: unsupported image format: " + in_path("bad.png"));
            ++failures;
        } else {
            EXPECT_EQ(r.converted, 1) << p.input;
            EXPECT_EQ(r.message, "");
            EXPECT_EQ(p.output, out_dir + kSep + "a.webp");
        }
    }
#if defined(_WIN32)
    EXPECT_EQ(plan.size(), 3u);
    EXPECT_EQ(failures, 1);
#else
    EXPECT_EQ(plan.size(), 4u);
    EXPECT_EQ(failures, 2);
#endif
    EXPECT_EQ(stats(2, failures), "ok");
}

TEST_F(RunTest, ObserverCanStopTheRun) {
    for (const char* name : {"a.png", "b.png", "c.png", "d.png", "e.png"}) image(name, fixtures::kPng);
    Recorder r;
    r.stop_after = 2;
    rastra_set_run_observer(record_run, &r);
    EXPECT_EQ(rastra_run(in_s().c_str(), out_s().c_str()), 1);
    EXPECT_STREQ(rastra_last_error(), "run: stopped by the observer after 2 of 5 files");
    EXPECT_EQ(r.seen.size(), 2u);
    EXPECT_EQ(listing(out()).size(), 2u);
    EXPECT_EQ(stats(2, 0), "ok");

    // The reset functions forget the observer.
    rastra_reset();
    EXPECT_EQ(rastra_run(in_s().c_str(), out_s().c_str()), 1);
    EXPECT_EQ(r.seen.size(), 2u);
    EXPECT_EQ(listing(out()).size(), 5u);
}

TEST_F(RunTest, PlanFailsWithTheRunsMessages) {
    EXPECT_EQ(rastra_plan_run(nullptr, "x", nullptr, nullptr), 0);
    EXPECT_STREQ(rastra_last_error(), "run: NULL input_dir/output_dir");
    text("readme.txt");
    EXPECT_EQ(rastra_plan_run(in_s().c_str(), out_s().c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(rastra_last_error(), "run: no images found in " + in_s());
    image("a.png", fixtures::kPng);
    EXPECT_EQ(rastra_plan_run(in_s().c_str(), out_s().c_str(), nullptr, nullptr), 1);  // no callback: a count
    EXPECT_STREQ(rastra_last_error(), "");
}
