// Single-file conversion through the public API: every failure message, the
// resize rule, format choice, statistics and the safety of the output file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures.h"
#include "rastra.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>
#endif

namespace {

using fixtures::Bytes;
using fixtures::Kind;
using fixtures::Rgba;

class ConvertTest : public ::testing::Test {
protected:
    void SetUp() override { rastra_init(); }

    std::string put(const std::string& name, const Bytes& bytes) {
        fixtures::write_file(dir / name, bytes);
        return dir / name;
    }
    std::string put(const std::string& name, Kind kind, const Rgba& img, int quality = 90) {
        return put(name, fixtures::encode(kind, img, quality));
    }
    Rgba load(const std::string& name) {
        Rgba img;
        EXPECT_TRUE(fixtures::decode(fixtures::read_file(dir / name), img)) << name;
        return img;
    }
    Kind kind_of(const std::string& name) { return fixtures::sniff(fixtures::read_file(dir / name)); }
    int32_t convert(const std::string& in, const std::string& out) {
        return rastra_process_file((dir / in).c_str(), (dir / out).c_str());
    }
    // Names in the directory other than the ones the test put there.
    std::vector<std::string> listing() {
        std::vector<std::string> names;
        for (const auto& e : fixtures::fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fixtures::TempDir dir;
};

std::string stats(int processed, int failed, uint64_t in, uint64_t out) {
    return "{\"processed\":" + std::to_string(processed) + ",\"failed\":" + std::to_string(failed) +
           ",\"total_input_bytes\":" + std::to_string(in) + ",\"total_output_bytes\":" + std::to_string(out) + "}";
}

Bytes head(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

}  // namespace

TEST_F(ConvertTest, FailureMessages) {
    const Bytes png = fixtures::encode(fixtures::kPng, fixtures::make_pattern(32, 32));
    const Bytes jpg = fixtures::encode(fixtures::kJpeg, fixtures::make_pattern(32, 32));
    const Bytes webp = fixtures::encode(fixtures::kWebp, fixtures::make_pattern(32, 32));
    // A BMP header claiming 30000 x 30000 pixels over a few bytes of data: over
    // the pixel limit, refused before decoding.
    Bytes lying_bmp = fixtures::encode(fixtures::kBmp, fixtures::make_pattern(2, 2));
    lying_bmp[18] = 0x30; lying_bmp[19] = 0x75; lying_bmp[22] = 0x30; lying_bmp[23] = 0x75;
    Bytes bad_webp(webp);
    for (size_t i = 20; i < bad_webp.size(); ++i) bad_webp[i] = 0x5A;

    struct Case {
        std::string file;
        Bytes bytes;  // empty with missing == true: the file is not created
        bool missing;
        std::string output;
        std::string message;  // %in / %out stand for the two paths
    };
    const std::vector<Case> cases = {
        {"missing.png", {}, true, "o.png", "process_file: cannot read %in"},
        {"empty.png", {}, false, "o.png", "process_file: cannot read %in"},
        {"one.png", {0xFF}, false, "o.png", "process_file: unsupported image format: %in"},
        {"gif.png", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0}, false, "o.png",
         "process_file: unsupported image format: %in"},
        {"tiff.jpg", {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0}, false, "o.png", "process_file: unsupported image format: %in"},
        {"soi.jpg", {0xFF, 0xD8}, false, "o.png", "process_file: cannot decode %in"},
        {"bm.bmp", {'B', 'M'}, false, "o.png", "process_file: cannot decode %in"},
        {"cut.jpg", head(jpg, 40), false, "o.png", "process_file: cannot decode %in"},
        {"cut.png", head(png, png.size() / 2), false, "o.png", "process_file: cannot decode %in"},
        {"cut.webp", head(webp, 16), false, "o.png", "process_file: cannot decode %in"},
        {"bad.webp", bad_webp, false, "o.png", "process_file: cannot decode %in"},
        {"lying.bmp", lying_bmp, false, "o.png", "process_file: image too large: %in"},
        {"in.dat", png, false, "out.dat", "process_file: cannot determine output format from %out"},
        {"ok.png", png, false, "no/such/dir/o.png", "process_file: cannot write %out"},
    };
    for (const Case& c : cases) {
        const std::string in = dir / c.file;
        const std::string out = dir / c.output;
        if (!c.missing) fixtures::write_file(in, c.bytes);
        std::string want = c.message;
        if (auto p = want.find("%in"); p != std::string::npos) want.replace(p, 3, in);
        if (auto p = want.find("%out"); p != std::string::npos) want.replace(p, 4, out);
        EXPECT_EQ(rastra_process_file(in.c_str(), out.c_str()), 0) << c.file;
        EXPECT_EQ(rastra_last_error(), want) << c.file;
    }
    EXPECT_EQ(rastra_process_file(nullptr, "o.png"), 0);
    EXPECT_STREQ(rastra_last_error(), "process_file: NULL input/output");
    EXPECT_EQ(rastra_process_file("i.png", nullptr), 0);
    EXPECT_STREQ(rastra_last_error(), "process_file: NULL input/output");
    // A directory is not an input.
    EXPECT_EQ(rastra_process_file(dir.path().string().c_str(), (dir / "o.png").c_str()), 0);
    EXPECT_EQ(rastra_last_error(), "process_file: cannot read " + dir.path().string());
    // Failures change no statistics, and leave no output behind.
    EXPECT_EQ(rastra_stats(), stats(0, 0, 0, 0));
    EXPECT_FALSE(fixtures::fs::exists(dir / "o.png"));
    EXPECT_FALSE(fixtures::fs::exists(dir / "out.dat"));
}

TEST_F(ConvertTest, LongMessagesAreCut) {
    const std::string name(600, 'n');
    const std::string in = dir.path().string() + "/" + name;
    EXPECT_EQ(rastra_process_file(in.c_str(), "o.png"), 0);
    const std::string msg = rastra_last_error();
    EXPECT_EQ(msg.size(), 511u);
    EXPECT_EQ(msg, ("process_file: cannot read " + in).substr(0, 511));
}

TEST_F(ConvertTest, ResizeFitsTheBox) {
    // The rule itself is tested on its own; here, that conversions apply it.
    struct Case { int w, h, mw, mh, want_w, want_h; };
    const Case cases[] = {{300, 400, 80, 60, 45, 60}, {10000, 1, 800, 600, 800, 1}, {400, 300, 0, 30, 40, 30}};
    for (const Case& c : cases) {
        rastra_set_resize(c.mw, c.mh);
        put("in.png", fixtures::kPng, fixtures::make_pattern(c.w, c.h));
        ASSERT_EQ(convert("in.png", "out.png"), 1) << rastra_last_error();
        const Rgba out = load("out.png");
        EXPECT_EQ(out.width, c.want_w) << c.w << "x" << c.h;
        EXPECT_EQ(out.height, c.want_h) << c.w << "x" << c.h;
    }
}

TEST_F(ConvertTest, ImageThatFitsIsNotResampled) {
    const Rgba img = fixtures::make_pattern(64, 48);
    put("in.png", fixtures::kPng, img);
    rastra_set_resize(64, 48);
    ASSERT_EQ(convert("in.png", "out.png"), 1);
    EXPECT_EQ(load("out.png").px, img.px);
}

TEST_F(ConvertTest, ResampledColoursStayInRange) {
    // A solid colour must stay that colour after sRGB-correct shrinking.
    put("in.png", fixtures::kPng, fixtures::make_solid(90, 60, 200, 100, 50, 255));
    rastra_set_resize(30, 0);
    ASSERT_EQ(convert("in.png", "out.png"), 1);
    const Rgba out = load("out.png");
    ASSERT_EQ(out.width, 30);
    EXPECT_EQ(out.px, fixtures::make_solid(30, 20, 200, 100, 50, 255).px);
}

TEST_F(ConvertTest, LosslessRoundTripsKeepEveryPixel) {
    const Rgba img = fixtures::make_pattern(33, 17);
    put("in.png", fixtures::kPng, img);
    put("in.webp", fixtures::kWebp, img, -1);  // lossless WebP input
    put("in.bmp", fixtures::kBmp, img);
    for (const char* in : {"in.png", "in.webp", "in.bmp"}) {
        for (const char* out : {"out.png", "out.bmp"}) {
            ASSERT_EQ(convert(in, out), 1) << in << " -> " << out << ": " << rastra_last_error();
            EXPECT_EQ(load(out).px, img.px) << in << " -> " << out;
        }
    }
}

TEST_F(ConvertTest, AutomaticFormatChoice) {
    put("in.png", fixtures::kPng, fixtures::make_pattern(20, 10));
    struct Case { const char* in; const char* out; Kind want; };
    const Case cases[] = {
        {"in.png", "out.webp", fixtures::kWebp}, {"in.png", "out.dat", fixtures::kPng},
        {"in.png", "out.JPEG", fixtures::kJpeg}, {"in.png", "out.bmp", fixtures::kBmp},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(convert(c.in, c.out), 1) << rastra_last_error();
        EXPECT_EQ(kind_of(c.out), c.want) << c.out;
        EXPECT_EQ(load(c.out).width, 20);
    }
    // Contents decide reading: a PNG named .jpg decodes as PNG, and in
    // automatic mode the output name decides the format.
    put("photo.jpg", fixtures::kPng, fixtures::make_pattern(20, 10));
    ASSERT_EQ(convert("photo.jpg", "copy.jpg"), 1);
    EXPECT_EQ(kind_of("copy.jpg"), fixtures::kJpeg);
}

TEST_F(ConvertTest, FixedFormatOverridesTheExtension) {
    put("in.jpg", fixtures::kJpeg, fixtures::make_pattern(20, 10, true));
    const std::pair<int, Kind> cases[] = {
        {RASTRA_FORMAT_PNG, fixtures::kPng}, {RASTRA_FORMAT_JPEG, fixtures::kJpeg}, {RASTRA_FORMAT_WEBP, fixtures::kWebp}};
    for (const auto& [format, kind] : cases) {
        rastra_set_format(format);
        ASSERT_EQ(convert("in.jpg", "out.jpg"), 1);
        EXPECT_EQ(kind_of("out.jpg"), kind) << format;
    }
}

TEST_F(ConvertTest, QualityIsClampedPerEncoder) {
    put("in.png", fixtures::kPng, fixtures::make_pattern(64, 64, true));
    rastra_set_format(RASTRA_FORMAT_JPEG);
    rastra_set_quality(0);
    ASSERT_EQ(convert("in.png", "q0.jpg"), 1);
    rastra_set_quality(1);
    ASSERT_EQ(convert("in.png", "q1.jpg"), 1);
    EXPECT_EQ(fixtures::read_file(dir / "q0.jpg"), fixtures::read_file(dir / "q1.jpg"));  // JPEG: 0 means 1

    rastra_set_format(RASTRA_FORMAT_WEBP);
    rastra_set_quality(0);
    ASSERT_EQ(convert("in.png", "q0.webp"), 1);
    rastra_set_quality(100);
    ASSERT_EQ(convert("in.png", "q100.webp"), 1);
    EXPECT_EQ(load("q0.webp").width, 64);
    EXPECT_LT(fixtures::size_of(dir / "q0.webp"), fixtures::size_of(dir / "q100.webp"));
}

TEST_F(ConvertTest, StatisticsCountSizesOnDisk) {
    const std::string in = put("in.png", fixtures::kPng, fixtures::make_pattern(50, 40));
    ASSERT_EQ(convert("in.png", "a.bmp"), 1);
    ASSERT_EQ(convert("in.png", "b.jpg"), 1);
    EXPECT_EQ(convert("missing.png", "c.png"), 0);  // direct failures are not counted
    const uint64_t n = fixtures::size_of(in);
    EXPECT_EQ(rastra_stats(), stats(2, 0, 2 * n, fixtures::size_of(dir / "a.bmp") + fixtures::size_of(dir / "b.jpg")));
}

TEST_F(ConvertTest, SuccessEmptiesAnEarlierError) {
    put("in.png", fixtures::kPng, fixtures::make_pattern(8, 8));
    EXPECT_EQ(convert("missing.png", "o.png"), 0);
    EXPECT_STRNE(rastra_last_error(), "");
    EXPECT_EQ(convert("in.png", "o.png"), 1);
    EXPECT_STREQ(rastra_last_error(), "");
}

TEST_F(ConvertTest, InPlaceConversionCountsTheInputAsRead) {
    const std::string path = put("img.png", fixtures::kPng, fixtures::make_pattern(60, 40));
    const uint64_t before = fixtures::size_of(path);
    rastra_set_resize(30, 0);
    ASSERT_EQ(rastra_process_file(path.c_str(), path.c_str()), 1) << rastra_last_error();
    EXPECT_EQ(load("img.png").width, 30);
    EXPECT_EQ(rastra_stats(), stats(1, 0, before, fixtures::size_of(path)));
    EXPECT_EQ(listing(), std::vector<std::string>{"img.png"});
}

TEST_F(ConvertTest, ReplacingLeavesNoTemporaryFiles) {
    put("in.png", fixtures::kPng, fixtures::make_pattern(16, 16));
    put("out.webp", Bytes{'o', 'l', 'd'});
    ASSERT_EQ(convert("in.png", "out.webp"), 1);
    ASSERT_EQ(convert("in.png", "out.jpg"), 1);
    EXPECT_EQ(kind_of("out.webp"), fixtures::kWebp);
    EXPECT_EQ(listing(), (std::vector<std::string>{"in.png", "out.jpg", "out.webp"}));
}

TEST_F(ConvertTest, SidesAFormatCannotHoldKeepTheExistingOutput) {
    // WebP cannot hold more than 16383 columns.
    put("wide.png", fixtures::kPng, fixtures::make_pattern(RASTRA_WEBP_MAX_SIDE + 1, 1));
    const Bytes old{'g', 'o', 'o', 'd'};
    put("out.webp", old);
    EXPECT_EQ(convert("wide.png", "out.webp"), 0);
    EXPECT_EQ(rastra_last_error(), "process_file: image too large for WebP: " + (dir / "out.webp"));
    EXPECT_EQ(fixtures::read_file(dir / "out.webp"), old);
    EXPECT_EQ(listing(), (std::vector<std::string>{"out.webp", "wide.png"}));
}

TEST_F(ConvertTest, PngRefusesRowsItsWriterCannotSum) {
    // A BMP header of RASTRA_PNG_MAX_WIDTH + 1 columns and no pixel data
    // decodes (the missing part black); its PNG would overflow the writer's
    // filter arithmetic.
    Bytes wide = fixtures::top_down_bmp(fixtures::make_pattern(1, 1), 32);
    const uint32_t width = RASTRA_PNG_MAX_WIDTH + 1;
    for (int i = 0; i < 4; ++i) wide[18 + i] = static_cast<uint8_t>(width >> (8 * i));
    put("wide.bmp", wide);
    EXPECT_EQ(convert("wide.bmp", "wide.png"), 0);
    EXPECT_EQ(rastra_last_error(), "process_file: image too large for PNG: " + (dir / "wide.png"));
    EXPECT_FALSE(fixtures::fs::exists(dir / "wide.png"));
}

TEST_F(ConvertTest, JpegRefusesDimensionsItCannotHold) {
    // JPEG stores 16-bit dimensions: 70000 columns must fail, not wrap to 4464.
    put("wide.png", fixtures::kPng, fixtures::make_pattern(70000, 1));
    EXPECT_EQ(convert("wide.png", "wide.jpg"), 0);
    EXPECT_EQ(rastra_last_error(), "process_file: image too large for JPEG: " + (dir / "wide.jpg"));
    EXPECT_FALSE(fixtures::fs::exists(dir / "wide.jpg"));
    ASSERT_EQ(convert("wide.png", "wide.bmp"), 1);  // BMP holds it
    EXPECT_EQ(load("wide.bmp").width, 70000);
}

#if !defined(_WIN32)
TEST_F(ConvertTest, NameWithNoRoomForATemporaryFileIsWrittenDirectly) {
    // A name at the file system's limit leaves no room for a temporary name
    // beside it; the output is then written in place, as addressed.
    put("in.png", fixtures::kPng, fixtures::make_pattern(8, 8));
    const std::string name = std::string(250, 'n') + ".png";
    put(name, Bytes{'o', 'l', 'd'});
    ASSERT_EQ(convert("in.png", name), 1) << rastra_last_error();
    EXPECT_EQ(load(name).width, 8);
    EXPECT_EQ(listing(), (std::vector<std::string>{"in.png", name}));
}

TEST_F(ConvertTest, WriteFailureKeepsTheExistingOutput) {
    put("in.png", fixtures::kPng, fixtures::make_pattern(64, 64));
    const Bytes old(100, 'x');
    put("out.bmp", old);
    // Files may not grow past 1000 bytes: the 16 KiB BMP fails part-way.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int32_t result = convert("in.png", "out.bmp");
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(rastra_last_error(), "process_file: cannot write " + (dir / "out.bmp"));
    EXPECT_EQ(fixtures::read_file(dir / "out.bmp"), old);
    EXPECT_EQ(listing(), (std::vector<std::string>{"in.png", "out.bmp"}));
    EXPECT_EQ(rastra_stats(), stats(0, 0, 0, 0));
}

TEST_F(ConvertTest, WriteErrorsAreReported) {
    put("in.png", fixtures::kPng, fixtures::make_pattern(16, 16));
    // A device is written as addressed; a full disk must not pass as success.
    for (int format : {RASTRA_FORMAT_PNG, RASTRA_FORMAT_JPEG, RASTRA_FORMAT_WEBP}) {
        rastra_set_format(format);
        EXPECT_EQ(rastra_process_file((dir / "in.png").c_str(), "/dev/full"), 0) << format;
        EXPECT_STREQ(rastra_last_error(), "process_file: cannot write /dev/full");
        EXPECT_EQ(rastra_process_file((dir / "in.png").c_str(), "/dev/null"), 1) << format;
    }
}

TEST_F(ConvertTest, SymbolicLinkTargetIsWrittenThrough) {
    put("in.png", fixtures::kPng, fixtures::make_pattern(16, 16));
    put("real.png", Bytes{'o', 'l', 'd'});
    fixtures::fs::create_symlink(dir / "real.png", dir / "link.png");
    ASSERT_EQ(convert("in.png", "link.png"), 1);
    EXPECT_TRUE(fixtures::fs::is_symlink(dir / "link.png"));
    EXPECT_EQ(kind_of("real.png"), fixtures::kPng);
}

TEST_F(ConvertTest, ReplacedFileKeepsItsPermissions) {
    put("in.png", fixtures::kPng, fixtures::make_pattern(16, 16));
    const std::string out = put("out.png", Bytes{'o', 'l', 'd'});
    ASSERT_EQ(chmod(out.c_str(), 0640), 0);
    ASSERT_EQ(convert("in.png", "out.png"), 1);
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}
#endif

TEST_F(ConvertTest, TopDownBmpsConvertLikeBottomUpOnes) {
    // Stored top-down, as Windows' DIB sections write them: the same image
    // comes out, alpha kept by the 32-bit file, within the pixel limit by
    // the height's absolute value.
    const Rgba img = fixtures::make_pattern(19, 7);
    for (const int bits : {24, 32}) {
        const std::string name = "down" + std::to_string(bits) + ".bmp";
        put(name, fixtures::top_down_bmp(img, bits));
        ASSERT_EQ(convert(name, "out.png"), 1) << bits << ": " << rastra_last_error();
        Rgba want = img;
        if (bits == 24) {
            for (size_t i = 3; i < want.px.size(); i += 4) want.px[i] = 255;
        }
        EXPECT_EQ(load("out.png").px, want.px) << bits;
        rastra_set_max_pixels(19 * 7 - 1);
        EXPECT_EQ(convert(name, "out.png"), 0) << bits;
        EXPECT_EQ(rastra_last_error(), "process_file: image too large: " + (dir / name));
        rastra_set_max_pixels(19 * 7);
    }
}
