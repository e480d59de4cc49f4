// The rastra command-line host: argument handling, output and exit codes.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <fstream>
#include <sstream>
#include <cstdio>
#include <string>

#include "fixtures.h"
#include "profiles.h"

#if defined(_WIN32)
#define popen _popen
#define pclose _pclose
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

struct Result {
    int status;
    std::string out;  // stdout and stderr together
};

std::string quote(const std::string& s) { return "\"" + s + "\""; }

std::string program() {
    std::string path = RASTRA_CLI;
#if defined(_WIN32)
    // The build may hand us a Unix path (Wine); cmd.exe wants a drive path.
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    for (char& c : path) c = c == '/' ? '\\' : c;
#endif
    return path;
}

// Runs the program with args, after a shell prefix (POSIX only), with its
// standard error redirected as `errors` says.
Result rastra_under(const std::string& prefix, const std::string& args, const char* errors = " 2>&1") {
    std::string cmd = prefix + quote(program()) + " " + args + errors;
#if defined(_WIN32)
    cmd = "\"" + cmd + "\"";  // cmd.exe /c strips one outer pair of quotes
#endif
    Result r{-1, {}};
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    const int raw = pclose(p);
#if defined(_WIN32)
    r.status = raw;
#else
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    return r;
}

Result rastra(const std::string& args) { return rastra_under("", args); }

// Standard output alone.
Result rastra_stdout(const std::string& args) {
#if defined(_WIN32)
    return rastra_under("", args, " 2>NUL");
#else
    return rastra_under("", args, " 2>/dev/null");
#endif
}

bool contains(const std::string& haystack, const std::string& needle) { return haystack.find(needle) != std::string::npos; }

class CliTest : public ::testing::Test {
protected:
    std::string put(const std::string& name, int w = 40, int h = 30) {
        fixtures::write_file(dir / name, fixtures::encode(fixtures::kPng, fixtures::make_pattern(w, h)));
        return quote(dir / name);
    }
    fixtures::Rgba load(const std::string& name) {
        fixtures::Rgba img;
        EXPECT_TRUE(fixtures::decode(fixtures::read_file(dir / name), img)) << name;
        return img;
    }
    fixtures::TempDir dir;
};

}  // namespace

TEST_F(CliTest, HelpVersionAndManual) {
    const Result help = rastra("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "usage: rastra"));
    EXPECT_EQ(rastra("-h").out, help.out);
    const Result version = rastra("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(contains(version.out, "rastra 0.")) << version.out;
    EXPECT_TRUE(contains(version.out, "stb_image 2.30")) << version.out;
    EXPECT_TRUE(contains(version.out, "libwebp 1.6.0")) << version.out;
    // The manual describes every option --help lists, and no other.
    std::string manual;
    for (uint8_t c : fixtures::read_file(RASTRA_MANUAL)) manual += static_cast<char>(c);
    std::vector<std::string> in_help, in_manual;
    for (size_t at = 0; (at = help.out.find("--", at)) != std::string::npos;) {
        const size_t end = help.out.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", at + 2);
        in_help.push_back(help.out.substr(at + 2, end - at - 2));
        at = end;
    }
    for (size_t at = 0; (at = manual.find("\\-\\-", at)) != std::string::npos;) {
        size_t end = at + 4;
        std::string name;
        while (end < manual.size() && (std::islower(static_cast<unsigned char>(manual[end])) || manual.compare(end, 2, "\\-") == 0)) {
            if (manual[end] == '\\') {
                name += '-';
                end += 2;
            } else {
                name += manual[end++];
            }
        }
        in_manual.push_back(name);
        at = end;
    }
    for (auto* v : {&in_help, &in_manual}) {
        std::sort(v->begin(), v->end());
        v->erase(std::unique(v->begin(), v->end()), v->end());
        v->erase(std::remove(v->begin(), v->end(), ""), v->end());
    }
    EXPECT_EQ(in_manual, in_help);
}

TEST_F(CliTest, WhatCannotWorkIsAUsageError) {
    const std::string in = put("in.png");
    fixtures::write_file(dir / "file.txt", std::string("x"));
    fixtures::fs::create_directory(dir.path() / "d");
    put("d/a.png");
    struct Case {
        std::string args, message;
    };
    const Case cases[] = {
        {quote(dir / "missing.png") + " " + quote(dir / "o.png"), "rastra: no such file or directory: " + (dir / "missing.png")},
        {quote(dir / "d") + " " + quote(dir / "file.txt"), "is a file"},
        {in + " " + quote(dir / "out.gif"), "cannot tell the output format from " + (dir / "out.gif")},
        {in + " " + quote(dir / "out"), "cannot tell the output format from "},
    };
    for (const Case& c : cases) {
        const Result r = rastra(c.args);
        EXPECT_EQ(r.status, 2) << c.args << "\n" << r.out;
        EXPECT_TRUE(contains(r.out, c.message)) << r.out;
    }
    EXPECT_FALSE(fixtures::fs::exists(dir / "out.gif"));
    // A fixed format writes whatever the name.
    EXPECT_EQ(rastra("--format png " + in + " " + quote(dir / "out.gif")).status, 0);
    EXPECT_EQ(fixtures::sniff(fixtures::read_file(dir / "out.gif")), fixtures::kPng);
}

TEST_F(CliTest, UsageErrorsExitWithTwo) {
    const std::string in = put("in.png");
    const std::string out = quote(dir / "out.png");
    const std::pair<std::string, std::string> cases[] = {
        {"", "expected an input and an output path"},
        {in, "expected an input and an output path"},
        {"--bogus " + in + " " + out, "unknown option --bogus"},
        {"--quality 101 " + in + " " + out, "--quality"},
        {"--quality abc " + in + " " + out, "--quality"},
        {"--max 10 " + in + " " + out, "--max"},
        {"--max -1x5 " + in + " " + out, "--max"},
        {"--max 10x " + in + " " + out, "--max"},
        {"--format gif " + in + " " + out, "--format"},
        {"--watermark \"\" " + in + " " + out, "--watermark"},
        {"--watermark x --watermark-size 2 " + in + " " + out, "--watermark-size"},
        {"--watermark x --watermark-opacity 1.5 " + in + " " + out, "--watermark-opacity"},
        {"--watermark x --watermark-opacity nan " + in + " " + out, "--watermark-opacity"},
        {"--watermark-size 20 " + in + " " + out, "need --watermark"},
        {"--keep-metadata=1 " + in + " " + out, "takes no value"},
        {"--max-pixels 0 " + in + " " + out, "--max-pixels"},
        {"--max-pixels 268402690 " + in + " " + out, "--max-pixels"},
        {"--jobs 0 " + in + " " + out, "--jobs"},
        {"--progress=yes " + in + " " + out, "takes no value"},
        {in + " " + out + " --quality", "needs a value"},
    };
    for (const auto& [args, message] : cases) {
        const Result r = rastra(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_TRUE(contains(r.out, message)) << args << "\n" << r.out;
    }
    EXPECT_FALSE(fixtures::fs::exists(dir / "out.png"));
}

TEST_F(CliTest, ConvertsOneFileWithOptions) {
    const std::string in = put("in.png", 40, 30);
    const Result r = rastra("--max=20x0 --format webp --quality 50 " + in + " " + quote(dir / "out.png"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "{\"processed\":1,\"failed\":0,")) << r.out;
    EXPECT_EQ(fixtures::sniff(fixtures::read_file(dir / "out.png")), fixtures::kWebp);
    EXPECT_EQ(load("out.png").width, 20);
}

TEST_F(CliTest, MaxPixelsReachesTheLibrary) {
    const std::string in = put("in.png", 40, 30);
    EXPECT_EQ(rastra("--max-pixels 1200 " + in + " " + quote(dir / "a.png")).status, 0);
    const Result r = rastra("--max-pixels=1199 " + in + " " + quote(dir / "b.png"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "in.png: image too large: over the pixel, side or file-size limit")) << r.out;
}

#if !defined(_WIN32)
TEST_F(CliTest, FileSizeLimitFailsCleanly) {
    // Under `ulimit -f` the write fails before it starts: no signal kills the
    // program part-way, the old file stays, and nothing is left beside it.
    const std::string in = put("in.png", 200, 200);
    fixtures::write_file(dir / "out.bmp", std::string("old"));
    const Result r = rastra_under("ulimit -f 8; ", in + " " + quote(dir / "out.bmp"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.out, "in.png: cannot write " + (dir / "out.bmp") + ": File too large")) << r.out;
    EXPECT_EQ(fixtures::read_file(dir / "out.bmp"), fixtures::Bytes({'o', 'l', 'd'}));
    size_t entries = 0;
    for (const auto& e : fixtures::fs::directory_iterator(dir.path())) entries += e.is_regular_file();
    EXPECT_EQ(entries, 2u);
}
#endif

TEST_F(CliTest, PhotosAreTurnedUprightUnlessToldNot) {
    // Stored 20 x 40 with orientation 6: a 40 x 20 picture on its side.
    const fixtures::Rgba stored = fixtures::stored_for(fixtures::make_pattern(40, 20, true), 6);
    fixtures::write_file(dir / "side.jpg", fixtures::with_exif(fixtures::encode(fixtures::kJpeg, stored), fixtures::exif_block(6)));
    ASSERT_EQ(rastra(quote(dir / "side.jpg") + " " + quote(dir / "up.png")).status, 0);
    EXPECT_EQ(load("up.png").width, 40);
    ASSERT_EQ(rastra("--no-auto-orient " + quote(dir / "side.jpg") + " " + quote(dir / "stored.png")).status, 0);
    EXPECT_EQ(load("stored.png").width, 20);
    // Workers get the setting too.
    fixtures::fs::create_directory(dir.path() / "in");
    fixtures::fs::copy(dir / "side.jpg", dir / "in/a.jpg");
    fixtures::fs::copy(dir / "side.jpg", dir / "in/b.jpg");
    ASSERT_EQ(rastra("--jobs 2 --format png " + quote(dir / "in") + " " + quote(dir / "out")).status, 0);
    EXPECT_EQ(load("out/a.png").width, 40);
    EXPECT_EQ(load("out/b.png").width, 40);
}

TEST_F(CliTest, WatermarkOptionsReachTheLibrary) {
    const std::string in = put("in.png", 60, 40);
    ASSERT_EQ(rastra(in + " " + quote(dir / "plain.png")).status, 0);
    ASSERT_EQ(rastra("--watermark Hi --watermark-size 13 --watermark-opacity 1 " + in + " " + quote(dir / "marked.png")).status, 0);
    const fixtures::Rgba plain = load("plain.png");
    const fixtures::Rgba marked = load("marked.png");
    ASSERT_EQ(plain.px.size(), marked.px.size());
    EXPECT_NE(plain.px, marked.px);
    // Top-left corner is far from the bottom-right watermark.
    EXPECT_TRUE(std::equal(plain.px.begin(), plain.px.begin() + 4 * 10, marked.px.begin()));
}

TEST_F(CliTest, FailedFileExitsWithOne) {
    fixtures::write_file(dir / "text.png", std::string("not an image"));
    const Result r = rastra(quote(dir / "text.png") + " " + quote(dir / "out.png"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "rastra: " + (dir / "text.png") + ": not a JPEG, PNG, BMP or WebP image")) << r.out;
}

TEST_F(CliTest, DirectoryRunPrintsStatsAndSummary) {
    fixtures::fs::create_directory(dir.path() / "in");
    put("in/a.png");
    put("in/b.png");
    const std::string in = quote(dir / "in");
    const Result ok = rastra(in + " " + quote(dir / "out"));
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_TRUE(contains(ok.out, "{\"processed\":2,\"failed\":0,")) << ok.out;
    EXPECT_TRUE(contains(ok.out, "converted 2 files, 0 failed")) << ok.out;

    fixtures::write_file(dir.path() / "in" / "bad.png", std::string("text"));
    const Result partial = rastra(in + " " + quote(dir / "out"));
    EXPECT_EQ(partial.status, 1) << partial.out;
    EXPECT_TRUE(contains(partial.out, "converted 2 files, 1 failed")) << partial.out;

    fixtures::fs::create_directory(dir.path() / "empty");
    const Result none = rastra(quote(dir / "empty") + " " + quote(dir / "out"));
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(contains(none.out, "run: no images found in")) << none.out;
}

namespace {

namespace fs = fixtures::fs;

// A 24-bit BMP of w x h whose pixels compress poorly: seconds of PNG encoding.
void write_big_bmp(const fs::path& path, int w, int h) {
    const size_t row = (static_cast<size_t>(w) * 3 + 3) / 4 * 4;
    fixtures::Bytes b(54 + row * static_cast<size_t>(h));
    const auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    b[0] = 'B', b[1] = 'M';
    put32(2, static_cast<uint32_t>(b.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(w));
    put32(22, static_cast<uint32_t>(h));
    b[26] = 1, b[28] = 24;
    uint32_t x = 12345;
    for (size_t i = 54; i < b.size(); ++i) b[i] = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    fixtures::write_file(path, b);
}

std::vector<std::pair<std::string, fixtures::Bytes>> files_in(const fs::path& d) {
    std::vector<std::pair<std::string, fixtures::Bytes>> out;
    for (const auto& e : fs::directory_iterator(d)) out.emplace_back(e.path().filename().string(), fixtures::read_file(e.path()));
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST_F(CliTest, JobsGiveWhatOneProcessGives) {
    // Sizes that differ, every input format, a failure and two inputs that
    // write one output.
    fs::create_directory(dir.path() / "in");
    const int sizes[][2] = {{300, 200}, {40, 30}, {500, 90}, {64, 64}, {7, 300}, {128, 96}};
    const fixtures::Kind kinds[] = {fixtures::kJpeg, fixtures::kPng, fixtures::kBmp, fixtures::kWebp};
    const char* exts[] = {"", "jpg", "png", "bmp", "webp"};
    for (int i = 0; i < 6; ++i) {
        const fixtures::Kind k = kinds[i % 4];
        fixtures::write_file(dir / ("in/p" + std::to_string(i) + "." + exts[k]),
                             fixtures::encode(k, fixtures::make_pattern(sizes[i][0], sizes[i][1]), 85));
    }
    fixtures::write_file(dir / "in/p1.jpg", fixtures::encode(fixtures::kJpeg, fixtures::make_pattern(90, 60), 85));
    fixtures::write_file(dir / "in/bad.png", std::string("not an image"));
    const std::string args = "--format webp --max 100x100 --watermark J --watermark-size 13 " + quote(dir / "in") + " ";

    const Result one = rastra("--jobs 1 " + args + quote(dir / "one"));
    const Result three = rastra("--jobs 3 " + args + quote(dir / "three"));
    EXPECT_EQ(one.status, 1) << one.out;
    EXPECT_EQ(three.status, 1) << three.out;
    EXPECT_EQ(files_in(dir.path() / "one"), files_in(dir.path() / "three"));
    EXPECT_EQ(files_in(dir.path() / "one").size(), 6u);  // p1.jpg and p1.png share p1.webp
    EXPECT_EQ(rastra_stdout("--jobs 1 " + args + quote(dir / "one")).out,
              rastra_stdout("--jobs 3 " + args + quote(dir / "three")).out);
    for (const Result& r : {one, three}) {
        EXPECT_TRUE(contains(r.out, "{\"processed\":7,\"failed\":1,")) << r.out;
        EXPECT_TRUE(contains(r.out, "bad.png: not a JPEG, PNG, BMP or WebP image\n")) << r.out;
        EXPECT_TRUE(contains(r.out, "converted 7 files, 1 failed")) << r.out;
        EXPECT_TRUE(contains(r.out, " both write p1.webp; the later one wins")) << r.out;
    }
}

TEST_F(CliTest, TheTimeLimitHoldsWithOneJobAndForOneFile) {
    // One worker process converts when the jobs come to one (--jobs 1, or a
    // directory holding one image) and for a file named alone, so a file over
    // the limit is stopped there too, named with its file.
    fs::create_directory(dir.path() / "in");
    write_big_bmp(dir.path() / "in" / "big.bmp", 5000, 5000);
    put("in/a.png");
    const auto start = std::chrono::steady_clock::now();
    const Result one = rastra("--jobs 1 --timeout 1 --format png " + quote(dir / "in") + " " + quote(dir / "one"));
    EXPECT_EQ(one.status, 1) << one.out;
    EXPECT_TRUE(contains(one.out, "big.bmp: timed out after 1 s\n")) << one.out;
    EXPECT_TRUE(contains(one.out, "{\"processed\":1,\"failed\":1,")) << one.out;
    EXPECT_EQ(files_in(dir.path() / "one").size(), 1u);

    fs::remove(dir.path() / "in" / "a.png");
    const Result alone = rastra("--timeout 1 --format png " + quote(dir / "in") + " " + quote(dir / "alone"));
    EXPECT_EQ(alone.status, 1) << alone.out;
    EXPECT_TRUE(contains(alone.out, "big.bmp: timed out after 1 s\n")) << alone.out;
    EXPECT_TRUE(files_in(dir.path() / "alone").empty());

    // One file: the failure is named as any other, with no statistics.
    const Result file = rastra("--timeout 1 " + quote(dir / "in/big.bmp") + " " + quote(dir / "big.png"));
    EXPECT_EQ(file.status, 1) << file.out;
    EXPECT_TRUE(contains(file.out, "rastra: " + (dir / "in/big.bmp") + ": timed out after 1 s\n")) << file.out;
    EXPECT_FALSE(contains(file.out, "\"processed\"")) << file.out;
    EXPECT_FALSE(fs::exists(dir.path() / "big.png"));
    for (const auto& e : fs::directory_iterator(dir.path())) EXPECT_NE(e.path().filename().string()[0], '.');
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40));
}

#if !defined(_WIN32)
TEST_F(CliTest, OneFileWrittenToStandardOutputReachesIt) {
    // The worker's standard output is the user's: the image arrives there,
    // followed by the statistics.
    const std::string in = put("in.png");
    const Result r = rastra_stdout("--format png " + in + " /dev/stdout");
    EXPECT_EQ(r.status, 0);
    const std::string signature = "\x89PNG\r\n\x1a\n";
    EXPECT_EQ(r.out.compare(0, signature.size(), signature), 0) << r.out;
    const auto stats = r.out.rfind("{\"processed\":1,\"failed\":0,");
    ASSERT_NE(stats, std::string::npos) << r.out;
    fixtures::Rgba img;
    EXPECT_TRUE(fixtures::decode(fixtures::Bytes(r.out.begin(), r.out.begin() + static_cast<std::ptrdiff_t>(stats)), img));
    EXPECT_EQ(img.width, 40);
}
#endif

TEST_F(CliTest, StandardOutputCarriesOnlyTheStatistics) {
    fs::create_directory(dir.path() / "in");
    put("in/a.png");
    fixtures::write_file(dir / "in/b.png", std::string("text"));
    const Result r = rastra_stdout("--progress " + quote(dir / "in") + " " + quote(dir / "out"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("{\"processed\":1,\"failed\":1,", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;  // one line
    // Progress is drawn when asked for, never when told not to.
    EXPECT_TRUE(contains(rastra("--progress " + quote(dir / "in") + " " + quote(dir / "out")).out, "2/2 files"));
    EXPECT_FALSE(contains(rastra("--no-progress " + quote(dir / "in") + " " + quote(dir / "out")).out, "files,"));
}

#if !defined(_WIN32)
TEST_F(CliTest, InterruptFinishesTheFilesInHand) {
    fs::create_directory(dir.path() / "in");
    const fixtures::Bytes big = fixtures::encode(fixtures::kPng, fixtures::make_pattern(1200, 900));
    for (int i = 0; i < 40; ++i) fixtures::write_file(dir / ("in/p" + std::to_string(i) + ".png"), big);
    const std::string out = dir / "out";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::string log = dir / "log.txt";
        if (freopen(log.c_str(), "w", stdout) == nullptr || freopen(log.c_str(), "a", stderr) == nullptr) _exit(99);
        execl(program().c_str(), "rastra", "--jobs", "2", (dir / "in").c_str(), out.c_str(), static_cast<char*>(nullptr));
        _exit(98);
    }
    // Interrupt once the first output has appeared.
    for (int i = 0; i < 1000 && (!fs::exists(out) || fs::is_empty(out)); ++i) usleep(10000);
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130) << fixtures::read_file(dir / "log.txt").data();
    // Every output is whole; nothing else is left behind.
    const auto outputs = files_in(out);
    EXPECT_LT(outputs.size(), 40u);
    for (const auto& [name, bytes] : outputs) {
        fixtures::Rgba img;
        EXPECT_TRUE(fixtures::decode(bytes, img) && img.width == 1200) << name;
        EXPECT_NE(name[0], '.') << name;
    }
}
#endif

TEST_F(CliTest, OutputsNeverReplaceInputsUnlessAsked) {
    fs::create_directory(dir.path() / "photos");
    put("photos/a.png", 64, 48);
    put("photos/b.png", 64, 48);
    const auto originals = files_in(dir.path() / "photos");
    const std::string photos = quote(dir / "photos");

    // Into its own directory, in the same format: every output is its input.
    const Result refused = rastra("--max 10x10 " + photos + " " + photos);
    EXPECT_EQ(refused.status, 2) << refused.out;
    EXPECT_TRUE(contains(refused.out, "would replace an input of this run; give --in-place")) << refused.out;
    EXPECT_TRUE(contains(refused.out, "a.png") || contains(refused.out, "b.png")) << refused.out;
    // One file onto itself, through another spelling of its path.
    const std::string a = dir / "photos/a.png";
    const Result self = rastra("--max 10x10 " + quote(a) + " " + quote(dir / "photos/../photos/a.png"));
    EXPECT_EQ(self.status, 2) << self.out;
    EXPECT_TRUE(contains(self.out, "would replace its input; give --in-place")) << self.out;
    EXPECT_EQ(files_in(dir.path() / "photos"), originals);

    // Another format writes beside the inputs; --in-place allows the rest.
    EXPECT_EQ(rastra("--format webp " + photos + " " + photos).status, 0);
    const Result allowed = rastra("--in-place --max 10x10 " + quote(a) + " " + quote(a));
    EXPECT_EQ(allowed.status, 0) << allowed.out;
    EXPECT_EQ(load("photos/a.png").width, 10);
}

// Another name of an input is that input: a hard link in the output
// directory, or an output directory that is a symbolic link to the inputs'.
TEST_F(CliTest, InputsUnderAnotherNameAreNeverReplaced) {
    fs::create_directory(dir.path() / "in");
    fs::create_directory(dir.path() / "out");
    put("in/a.png", 64, 48);
    put("in/b.png", 64, 40);
    std::error_code ec;
    fs::create_hard_link(dir.path() / "in/a.png", dir.path() / "out/a.png", ec);
    ASSERT_FALSE(ec) << ec.message();
    const auto originals = files_in(dir.path() / "in");

    const Result run = rastra("--max 10x10 " + quote(dir / "in") + " " + quote(dir / "out"));
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_TRUE(contains(run.out, "a.png would replace an input of this run; give --in-place")) << run.out;
    const Result one = rastra("--max 10x10 " + quote(dir / "in/a.png") + " " + quote(dir / "out/a.png"));
    EXPECT_EQ(one.status, 2) << one.out;
    EXPECT_TRUE(contains(one.out, "would replace its input; give --in-place")) << one.out;
    const Result into = rastra("--max 10x10 " + quote(dir / "in/a.png") + " " + quote(dir / "out"));
    EXPECT_EQ(into.status, 2) << into.out;
#if !defined(_WIN32)  // symbolic links need a privilege there
    fs::create_directory_symlink(dir.path() / "in", dir.path() / "link");
    const Result linked = rastra("--max 10x10 " + quote(dir / "in") + " " + quote(dir / "link"));
    EXPECT_EQ(linked.status, 2) << linked.out;
    EXPECT_TRUE(contains(linked.out, "would replace an input of this run")) << linked.out;
#endif
    EXPECT_EQ(files_in(dir.path() / "in"), originals);

    // Outputs of the same size that are other files are no inputs.
    fs::remove(dir.path() / "out/a.png");
    fs::copy_file(dir.path() / "in/a.png", dir.path() / "out/a.png");
    EXPECT_EQ(rastra("--max 10x10 " + quote(dir / "in") + " " + quote(dir / "out")).status, 0);
    EXPECT_EQ(load("out/a.png").width, 10);
    EXPECT_EQ(files_in(dir.path() / "in"), originals);
}

TEST_F(CliTest, SkipExistingLeavesOutputsAlone) {
    fs::create_directory(dir.path() / "in");
    fs::create_directory(dir.path() / "out");
    put("in/a.png");
    put("in/b.png");
    put("in/c.png");
    fixtures::write_file(dir.path() / "out" / "b.png", std::string("mine"));
    for (const char* jobs : {"--jobs 1", "--jobs 2"}) {
        fs::remove(dir.path() / "out" / "a.png");
        fs::remove(dir.path() / "out" / "c.png");
        const Result r = rastra(std::string(jobs) + " --skip-existing " + quote(dir / "in") + " " + quote(dir / "out"));
        EXPECT_EQ(r.status, 0) << jobs << r.out;
        EXPECT_TRUE(contains(r.out, "{\"processed\":2,\"failed\":0,")) << r.out;
        EXPECT_TRUE(contains(r.out, "converted 2 files, 0 failed, 1 skipped")) << r.out;
        EXPECT_EQ(fixtures::read_file(dir.path() / "out" / "b.png"), fixtures::Bytes({'m', 'i', 'n', 'e'}));
        EXPECT_EQ(load("out/c.png").width, 40);
    }
    // Everything there already: nothing to do is no failure.
    const Result all = rastra("--skip-existing " + quote(dir / "in") + " " + quote(dir / "out"));
    EXPECT_EQ(all.status, 0) << all.out;
    EXPECT_TRUE(contains(all.out, "3 skipped")) << all.out;
}

TEST_F(CliTest, SkipExistingFailsWhereADirectoryIsInTheWay) {
    fs::create_directory(dir.path() / "in");
    fs::create_directories(dir.path() / "out/a.png");
    put("in/a.png");
    put("in/b.png");
    for (const char* jobs : {"--jobs 1", "--jobs 2"}) {
        for (const char* skip : {"--skip-existing ", ""}) {
            fs::remove(dir.path() / "out/b.png");
            const Result r = rastra(std::string(jobs) + " " + skip + quote(dir / "in") + " " + quote(dir / "out"));
            EXPECT_EQ(r.status, 1) << jobs << skip << r.out;
            EXPECT_TRUE(contains(r.out, "a.png: cannot write: a directory is in the way")) << r.out;
            EXPECT_TRUE(contains(r.out, "{\"processed\":1,\"failed\":1,")) << r.out;
            EXPECT_FALSE(contains(r.out, "skipped")) << r.out;
            EXPECT_TRUE(fs::is_directory(dir.path() / "out/a.png"));
        }
    }
    // One file, into a directory where its output's name is a directory.
    const Result one = rastra("--skip-existing " + quote(dir / "in/a.png") + " " + quote(dir / "out"));
    EXPECT_EQ(one.status, 1) << one.out;
    EXPECT_TRUE(contains(one.out, "a.png: cannot write: a directory is in the way")) << one.out;
    EXPECT_FALSE(contains(one.out, "skipped")) << one.out;
}

#if !defined(_WIN32)  // Windows refuses control characters in names
TEST_F(CliTest, NamesCannotWriteToTheTerminal) {
    fs::create_directory(dir.path() / "in");
    const std::string evil = "evil\x1b]0;owned\x07\x1b[2J\xc2\x9b" "31m.png";
    fixtures::write_file(dir.path() / "in" / evil, std::string("not an image"));
    put("in/ok.png");
    for (const std::string& args : {quote(dir / "in") + " " + quote(dir / "out"),
                                    quote(dir / ("in/" + evil)) + " " + quote(dir / "out.png")}) {
        const Result r = rastra(args);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find('\x07'), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\xc2\x9b"), std::string::npos) << r.out;
        EXPECT_TRUE(contains(r.out, "evil\\x1B]0;owned\\x07\\x1B[2J\\xC2\\x9B31m.png")) << r.out;
    }
}
#endif

TEST_F(CliTest, FailuresSayWhyInWordsAndNameTheFileOnce) {
#if defined(_WIN32)
    const std::string kSlash = "\\";
#else
    const std::string kSlash = "/";
#endif
    fs::create_directory(dir.path() / "mixed");
    fixtures::write_file(dir.path() / "mixed" / "empty.jpg", std::string());
    const fixtures::Bytes png = fixtures::encode(fixtures::kPng, fixtures::make_pattern(40, 40));
    fixtures::write_file(dir.path() / "mixed" / "cut.png", fixtures::Bytes(png.begin(), png.begin() + 60));
    fs::create_directory(dir.path() / "mixed" / "album.jpg");
    put("mixed/ok.png");
    for (const char* jobs : {"--jobs 1 ", "--jobs 2 "}) {
        const Result r = rastra(jobs + quote(dir / "mixed") + " " + quote(dir / "out"));
        EXPECT_EQ(r.status, 1) << r.out;
        const std::string mixed = dir / "mixed";
        EXPECT_TRUE(contains(r.out, "rastra: " + mixed + kSlash + "empty.jpg: cannot read: the file is empty\n")) << r.out;
        EXPECT_TRUE(contains(r.out, "rastra: " + mixed + kSlash + "album.jpg: cannot read: a directory\n")) << r.out;
        EXPECT_TRUE(contains(r.out, "rastra: " + mixed + kSlash + "cut.png: cannot decode: the image data is damaged")) << r.out;
        EXPECT_FALSE(contains(r.out, "process_file")) << r.out;
    }
    const Result summary = rastra(quote(dir / "mixed") + " " + quote(dir / "out") + " --jobs 1");
    EXPECT_TRUE(contains(summary.out, "converted 1 file, 3 failed")) << summary.out;
}

TEST_F(CliTest, OneFileIntoADirectoryTakesItsStem) {
    const std::string in = put("photo.jpeg.png");
    fs::create_directory(dir.path() / "into");
    const Result r = rastra(in + " " + quote(dir / "into"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(fixtures::sniff(fixtures::read_file(dir.path() / "into" / "photo.jpeg.png")), fixtures::kPng);
    EXPECT_EQ(rastra("--format webp " + in + " " + quote(dir / "into")).status, 0);
    EXPECT_EQ(fixtures::sniff(fixtures::read_file(dir.path() / "into" / "photo.jpeg.webp")), fixtures::kWebp);
}

#if !defined(_WIN32)
namespace {

// The processes whose parent is pid.
std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> out;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(e.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == pid) out.push_back(std::stoi(name));
    }
    return out;
}

struct Started {
    pid_t pid;
    std::string log;
};

Started start_rastra(const fixtures::TempDir& dir, const std::vector<std::string>& args) {
    const std::string log = dir / "log.txt";
    const pid_t pid = fork();
    if (pid == 0) {
        // One open file for both streams, so their lines never overwrite each other.
        if (freopen(log.c_str(), "w", stdout) == nullptr || dup2(STDOUT_FILENO, STDERR_FILENO) < 0) _exit(99);
        std::vector<char*> argv{const_cast<char*>("rastra")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program().c_str(), argv.data());
        _exit(98);
    }
    return {pid, log};
}

int wait_status(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string text_of(const std::string& path) {
    const fixtures::Bytes b = fixtures::read_file(path);
    return std::string(b.begin(), b.end());
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
    return n;
}

// Outputs are whole images and nothing else is there (no temporary file).
void expect_only_whole_outputs(const fs::path& out) {
    for (const auto& e : fs::directory_iterator(out)) {
        const std::string name = e.path().filename().string();
        EXPECT_NE(name[0], '.') << name;
        fixtures::Rgba img;
        EXPECT_TRUE(fixtures::decode(fixtures::read_file(e.path()), img)) << name;
    }
}

}  // namespace

TEST_F(CliTest, WorkersOverTheTimeLimitAreReplaced) {
    fs::create_directory(dir.path() / "in");
    write_big_bmp(dir.path() / "in" / "big.bmp", 5000, 5000);
    put("in/a.png");
    put("in/b.png");
    const auto start = std::chrono::steady_clock::now();
    const Result r = rastra("--jobs 2 --timeout 1 --format png " + quote(dir / "in") + " " + quote(dir / "out"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.out, "big.bmp: timed out after 1 s\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "{\"processed\":2,\"failed\":1,")) << r.out;
    EXPECT_EQ(files_in(dir.path() / "out").size(), 2u);
    expect_only_whole_outputs(dir.path() / "out");
    const Result usage = rastra("--timeout -1 " + quote(dir / "in") + " " + quote(dir / "out"));
    EXPECT_EQ(usage.status, 2) << usage.out;
}

TEST_F(CliTest, CrashedWorkersAreNamedAndReplaced) {
    fs::create_directory(dir.path() / "in");
    write_big_bmp(dir.path() / "in" / "big1.bmp", 5000, 5000);
    write_big_bmp(dir.path() / "in" / "big2.bmp", 5000, 5000);
    for (const char* name : {"in/a.png", "in/b.png", "in/c.png", "in/d.png"}) put(name);
    const Started run = start_rastra(dir, {"--jobs", "2", "--timeout", "0", "--format", "png", dir / "in", dir / "out"});
    // Once both workers are busy, crash them.
    std::vector<pid_t> workers;
    for (int i = 0; i < 500 && workers.size() < 2; ++i, usleep(10000)) workers = children_of(run.pid);
    usleep(700000);
    for (const pid_t w : children_of(run.pid)) kill(w, SIGSEGV);
    EXPECT_EQ(wait_status(run.pid), 1) << text_of(run.log);
    const std::string log = text_of(run.log);
#if defined(RASTRA_SANITIZED)
    const size_t crashed = count(log, ": the worker converting this file ");
#else
    const size_t crashed = count(log, ": the worker converting this file was killed by signal 11");
#endif
    EXPECT_GE(crashed, 1u) << log;
    // Every file counted once: the crashed ones failed, the rest converted.
    EXPECT_TRUE(contains(log, "\"processed\":" + std::to_string(6 - crashed) + ",\"failed\":" + std::to_string(crashed) + ","))
        << log;
    EXPECT_EQ(files_in(dir.path() / "out").size(), 6 - crashed);
    expect_only_whole_outputs(dir.path() / "out");
}

TEST_F(CliTest, ASecondInterruptStopsAtOnce) {
    fs::create_directory(dir.path() / "in");
    write_big_bmp(dir.path() / "in" / "big1.bmp", 5000, 5000);
    write_big_bmp(dir.path() / "in" / "big2.bmp", 5000, 5000);
    put("in/a.png");
    const Started run = start_rastra(dir, {"--jobs", "2", "--timeout", "0", "--format", "png", dir / "in", dir / "out"});
    std::vector<pid_t> workers;
    for (int i = 0; i < 500 && workers.size() < 2; ++i, usleep(10000)) workers = children_of(run.pid);
    usleep(700000);
    const auto start = std::chrono::steady_clock::now();
    kill(run.pid, SIGINT);
    usleep(100000);
    kill(run.pid, SIGINT);
    EXPECT_EQ(wait_status(run.pid), 130) << text_of(run.log);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << text_of(run.log);
    const std::string log = text_of(run.log);
    EXPECT_TRUE(contains(log, "{\"processed\":")) << log;
    EXPECT_TRUE(contains(log, ": interrupted\n")) << log;
    EXPECT_TRUE(children_of(run.pid).empty());
    if (fs::exists(dir.path() / "out")) expect_only_whole_outputs(dir.path() / "out");
}
#endif

TEST_F(CliTest, ColoursComeOutInSrgbAndMetadataOnlyOnRequest) {
    const std::string xmp =
        "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
        "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description rdf:about='' "
        "xmlns:dc='http://purl.org/dc/elements/1.1/'><dc:creator><rdf:Seq><rdf:li>A. Photographer</rdf:li>"
        "</rdf:Seq></dc:creator></rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>";
    const fixtures::Bytes p3 = fixtures::make_profile(fixtures::Profile::kDisplayP3);
    const fixtures::Rgba stored = fixtures::stored_for(fixtures::make_pattern(40, 20, true), 6);
    fs::create_directory(dir.path() / "in");
    fixtures::write_file(dir / "in/photo.jpg",
                         fixtures::with_icc(fixtures::with_xmp(fixtures::with_exif(fixtures::encode(fixtures::kJpeg, stored, 95),
                                                                                   fixtures::exif_block(6)),
                                                               xmp),
                                            p3));
    const std::string in = quote(dir / "in/photo.jpg");
    ASSERT_EQ(rastra(in + " " + quote(dir / "srgb.png")).status, 0);
    ASSERT_EQ(rastra("--color ignore " + in + " " + quote(dir / "ignored.png")).status, 0);
    EXPECT_NE(load("srgb.png").px, load("ignored.png").px);
    const fixtures::Found plain = fixtures::find_metadata(fixtures::read_file(dir / "srgb.png"));
    EXPECT_TRUE(plain.icc.empty() && plain.exif.empty() && plain.xmp.empty());

    ASSERT_EQ(rastra("--jobs 2 --keep-metadata --format webp " + quote(dir / "in") + " " + quote(dir / "out")).status, 0);
    ASSERT_EQ(rastra("--keep exif,icc " + in + " " + quote(dir / "some.png")).status, 0);
    ASSERT_EQ(rastra("--keep all " + in + " " + quote(dir / "kept.jpg")).status, 0);
    const fixtures::Found some = fixtures::find_metadata(fixtures::read_file(dir / "some.png"));
    EXPECT_EQ(some.icc, p3);
    EXPECT_FALSE(some.exif.empty());
    EXPECT_TRUE(some.xmp.empty());
    EXPECT_EQ(load("some.png").px, load("ignored.png").px);  // a kept profile leaves the pixels alone
    EXPECT_EQ(rastra("--keep exif,gps " + in + " " + quote(dir / "x.png")).status, 2);
    EXPECT_EQ(rastra("--color adobe " + in + " " + quote(dir / "x.png")).status, 2);

#if !defined(_WIN32)
    // What a photographer's own tools read back.
    if (std::system("exiftool -ver >/dev/null 2>&1") != 0) GTEST_SKIP() << "exiftool is not installed";
    for (const char* out : {"out/photo.webp", "kept.jpg", "some.png"}) {
        SCOPED_TRACE(out);
        const std::string cmd = "exiftool -s -s -s -Orientation -Creator -ProfileDescription " + quote(dir / out);
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string text;
        std::array<char, 512> buf;
        size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) text.append(buf.data(), n);
        pclose(p);
        EXPECT_TRUE(contains(text, "Horizontal (normal)\n")) << text;
        EXPECT_TRUE(contains(text, "Display P3 (test)\n")) << text;
        EXPECT_EQ(contains(text, "A. Photographer\n"), std::string(out) != "some.png") << text;
    }
#endif
}
