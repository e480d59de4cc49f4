// Hostile inputs: files that declare huge images, inflate far beyond their
// size, hold endless scans, are cut short, or are not files at all. Each must
// fail fast with its message, in bounded memory, and no output may ever hold
// memory the decoder did not write. Every test runs with both codec sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fixtures.h"
#include "rastra.h"

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using fixtures::Bytes;
using fixtures::Kind;
using fixtures::Rgba;

class HostileTest : public ::testing::TestWithParam<int32_t> {
protected:
    void SetUp() override {
        rastra_init();
        rastra_set_codecs(GetParam());
    }

    std::string put(const std::string& name, const Bytes& bytes) {
        fixtures::write_file(dir / name, bytes);
        return dir / name;
    }
    int32_t convert(const std::string& in, const std::string& out) {
        return rastra_process_file((dir / in).c_str(), (dir / out).c_str());
    }
    std::string error_for(const char* what, const std::string& name) { return std::string(what) + (dir / name); }

    fixtures::TempDir dir;
};

void put32le(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

// A JPEG whose frame header declares w x h over the data of a small image.
Bytes jpeg_declaring(uint16_t w, uint16_t h) {
    Bytes b = fixtures::encode(fixtures::kJpeg, fixtures::make_pattern(16, 16));
    for (size_t i = 2; i + 8 < b.size(); ++i) {
        if (b[i] == 0xFF && (b[i + 1] == 0xC0 || b[i + 1] == 0xC2)) {
            b[i + 5] = static_cast<uint8_t>(h >> 8);
            b[i + 6] = static_cast<uint8_t>(h);
            b[i + 7] = static_cast<uint8_t>(w >> 8);
            b[i + 8] = static_cast<uint8_t>(w);
            return b;
        }
    }
    throw std::runtime_error("no frame header");
}

// A 54-byte 24-bit BMP: the headers and no pixels.
Bytes bmp_header_only(uint32_t w, uint32_t h) {
    Bytes b(54, 0);
    b[0] = 'B';
    b[1] = 'M';
    put32le(b, 2, 54 + w * 3 * h);
    put32le(b, 10, 54);
    put32le(b, 14, 40);
    put32le(b, 18, w);
    put32le(b, 22, h);
    b[26] = 1;
    b[28] = 24;
    return b;
}

// The header of a lossless WebP: RIFF, VP8L, signature 0x2F, 14-bit sides.
Bytes webp_lossless_header(uint32_t w, uint32_t h) {
    Bytes b(38, 0);
    std::memcpy(b.data(), "RIFF\0\0\0\0WEBPVP8L", 16);
    put32le(b, 4, static_cast<uint32_t>(b.size() - 8));
    put32le(b, 16, static_cast<uint32_t>(b.size() - 20));
    b[20] = 0x2F;
    put32le(b, 21, (w - 1) | ((h - 1) << 14) | (1u << 28));
    return b;
}

// Peak resident memory of this process so far, in MiB (0 where unknown).
long peak_rss_mib() {
#if defined(_WIN32)
    return 0;
#else
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024;
#endif
}

// False under ThreadSanitizer and valgrind, whose allocators write every
// page of a zeroed block: there, reserving costs what using does.
bool lazy_zeroed_memory() {
#if defined(__SANITIZE_THREAD__)
    return false;
#elif __has_include(<valgrind/valgrind.h>)
    return RUNNING_ON_VALGRIND == 0;
#else
    return true;
#endif
}

}  // namespace

TEST_P(HostileTest, BombsFailFastInBoundedMemory) {
    // A 1 x 1 PNG whose image data inflates to 16 MiB, 250 times its file.
    const Bytes zeros(16u << 20, 0);
    const Bytes zlib_bomb = fixtures::png_from_scanlines(1, 1, 8, 6, zeros);
    // A 1-bit PNG of 23000 x 23000 whose rows are all present (66 MB raw).
    const Bytes one_bit = fixtures::png_from_scanlines(23000, 23000, 1, 0, Bytes(23000u * (23000 / 8 + 2), 0));
    struct Case {
        std::string name;
        Bytes bytes;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"huge-lossless.webp", webp_lossless_header(16383, 16383), "process_file: image too large: "},
        {"huge.jpg", jpeg_declaring(23000, 23000), "process_file: image too large: "},
        {"huge-header.bmp", bmp_header_only(23000, 23000), "process_file: image too large: "},
        {"huge-top-down.bmp", bmp_header_only(23000, static_cast<uint32_t>(-23000)), "process_file: image too large: "},
        {"huge-1bit.png", one_bit, "process_file: image too large: "},
        {"scans.jpg", fixtures::progressive_jpeg(4096, 4096, 3, RASTRA_MAX_JPEG_SCANS + 1, true),
         "process_file: cannot decode "},
        {"inflates.png", zlib_bomb, "process_file: cannot decode "},
    };
    for (const Case& c : cases) put(c.name, c.bytes);
    // Sparse: 2 GiB that start like a PNG and take no disk.
    put("sparse.png", Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'});
    fixtures::fs::resize_file(dir / "sparse.png", uint64_t{2} << 30);

    const long rss_before = peak_rss_mib();
    const auto start = std::chrono::steady_clock::now();
    for (const Case& c : cases) {
        // libspng inflates only the rows the image needs and never reaches
        // the bomb: the one pixel converts.
        if (GetParam() == RASTRA_CODECS_FAST && c.name == "inflates.png") {
            EXPECT_EQ(convert(c.name, "one.png"), 1) << rastra_last_error();
            continue;
        }
        EXPECT_EQ(convert(c.name, "out.png"), 0) << c.name;
        EXPECT_EQ(rastra_last_error(), error_for(c.message, c.name));
    }
    EXPECT_EQ(convert("sparse.png", "out.png"), 0);
    EXPECT_EQ(rastra_last_error(), error_for("process_file: image too large: ", "sparse.png"));
    // Loose bounds: before the limits, these took gigabytes and many seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_LT(peak_rss_mib() - rss_before, 64);
    EXPECT_FALSE(fixtures::fs::exists(dir / "out.png"));
}

TEST_P(HostileTest, PixelLimitHoldsForEveryFormatAndCanBeMoved) {
    const Kind kinds[] = {fixtures::kJpeg, fixtures::kPng, fixtures::kBmp, fixtures::kWebp};
    const char* names[] = {"", "a.jpg", "a.png", "a.bmp", "a.webp"};
    const auto check = [&](int w, int h, bool fits) {
        for (Kind k : kinds) {
            put(names[k], fixtures::encode(k, fixtures::make_pattern(w, h), 90));
            EXPECT_EQ(convert(names[k], "out.png"), fits ? 1 : 0) << names[k] << " " << w << "x" << h;
            if (!fits) {
                EXPECT_EQ(rastra_last_error(), error_for("process_file: image too large: ", names[k]));
            }
        }
    };
    rastra_set_max_pixels(64 * 48);
    check(64, 48, true);
    check(65, 48, false);
    check(48, 65, false);
    // Out of range: nothing changes.
    for (int64_t bad : {int64_t{0}, int64_t{-1}, int64_t{RASTRA_MAX_PIXELS_CEILING} + 1, INT64_MAX}) {
        rastra_set_max_pixels(bad);
        check(65, 48, false);
    }
    rastra_set_max_pixels(RASTRA_MAX_PIXELS_CEILING);
    check(65, 48, true);
    rastra_set_max_pixels(10);
    rastra_reset();  // back to the default
    check(300, 200, true);
}

TEST_P(HostileTest, InputSizeLimitFollowsThePixelLimit) {
    rastra_set_max_pixels(100);
    const int64_t limit = RASTRA_MAX_INPUT_BYTES(100);
    EXPECT_EQ(limit, 100 * 8 + (int64_t{64} << 20));
    EXPECT_EQ(RASTRA_MAX_INPUT_BYTES(RASTRA_MAX_PIXELS_CEILING), INT32_MAX);  // never 2 GiB or more
    // Within the limit the file is read (and fails later); one byte more is refused unread.
    put("big.png", Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'});
    fixtures::fs::resize_file(dir / "big.png", static_cast<uint64_t>(limit));
    EXPECT_EQ(convert("big.png", "out.png"), 0);
    EXPECT_EQ(rastra_last_error(), error_for("process_file: cannot decode ", "big.png"));
    fixtures::fs::resize_file(dir / "big.png", static_cast<uint64_t>(limit) + 1);
    EXPECT_EQ(convert("big.png", "out.png"), 0);
    EXPECT_EQ(rastra_last_error(), error_for("process_file: image too large: ", "big.png"));
}

TEST_P(HostileTest, JpegScansAreCounted) {
    put("at-limit.jpg", fixtures::progressive_jpeg(32, 24, 1, RASTRA_MAX_JPEG_SCANS));
    put("over.jpg", fixtures::progressive_jpeg(32, 24, 1, RASTRA_MAX_JPEG_SCANS + 1));
    EXPECT_EQ(convert("at-limit.jpg", "out.png"), 1) << rastra_last_error();
    EXPECT_EQ(convert("over.jpg", "out.png"), 0);
    EXPECT_EQ(rastra_last_error(), error_for("process_file: cannot decode ", "over.jpg"));
}

TEST_P(HostileTest, MemoryTheDecoderLeavesUnwrittenReadsAsZero) {
    // A colour progressive JPEG that never sends its colour components: the
    // decoder keeps their coefficients from whatever memory it was given.
    // Converted right after a bright, noisy image of the same size (whose
    // freed buffers that memory would be), it must still come out grey.
    const int w = 96, h = 64;
    Rgba noise = fixtures::make_pattern(w, h, true);
    for (size_t i = 0; i < noise.px.size(); ++i) noise.px[i] = static_cast<uint8_t>(i * 7919 % 251);
    put("noise.jpg", fixtures::encode(fixtures::kJpeg, noise, 100));
    put("grey.jpg", fixtures::progressive_jpeg(w, h, 3, 1));
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(convert("noise.jpg", "noise.bmp"), 1);
        ASSERT_EQ(convert("grey.jpg", "grey.bmp"), 1) << rastra_last_error();
        Rgba out;
        ASSERT_TRUE(fixtures::decode(fixtures::read_file(dir / "grey.bmp"), out));
        ASSERT_EQ(out.width, w);
        int wrong = 0;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const uint8_t* p = &out.px[(static_cast<size_t>(y) * w + x) * 4];
                const int want = fixtures::dc_level(x / 8, y / 8);
                for (int c = 0; c < 3; ++c) wrong += std::abs(p[c] - want) > 1;
            }
        }
        EXPECT_EQ(wrong, 0) << "round " << round;
    }
}

TEST_P(HostileTest, FilesCutShort) {
    const Rgba img = fixtures::make_pattern(256, 128, true);
    const Bytes baseline = fixtures::encode(fixtures::kJpeg, img);
    const Bytes bmp = fixtures::encode(fixtures::kBmp, img);
    const Bytes progressive = fixtures::progressive_jpeg(256, 128, 3, 1);
    const auto head = [](const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); };
    size_t sos = 0;  // where the first scan starts
    while (!(baseline[sos] == 0xFF && baseline[sos + 1] == 0xDA)) ++sos;

    struct Case {
        std::string name;
        Bytes bytes;
        bool converts;
    };
    const std::vector<Case> cases = {
        // stb draws what arrived of this one and fills the rest; libjpeg
        // warns that data is missing, and the fast set fails it.
        {"baseline-cut.jpg", head(baseline, baseline.size() * 6 / 10), GetParam() == RASTRA_CODECS_REFERENCE},
        {"cut.bmp", head(bmp, bmp.size() * 6 / 10), true},
        // A progressive JPEG applies its coefficients at its end marker only.
        {"progressive-cut.jpg", head(progressive, progressive.size() / 2), false},
        {"progressive-no-eoi.jpg", head(progressive, progressive.size() - 2), false},
        // Tables and frame header, but no image data.
        {"no-scan.jpg", head(baseline, sos), false},
    };
    // A valid image of the same size first: its freed pixels must not reappear.
    put("valid.jpg", baseline);
    for (const Case& c : cases) {
        ASSERT_EQ(convert("valid.jpg", "out.bmp"), 1);
        put(c.name, c.bytes);
        EXPECT_EQ(convert(c.name, "out.bmp"), c.converts ? 1 : 0) << c.name;
        if (c.converts) {
            Rgba out;
            ASSERT_TRUE(fixtures::decode(fixtures::read_file(dir / "out.bmp"), out));
            EXPECT_EQ(out.width, 256) << c.name;
            EXPECT_EQ(out.height, 128) << c.name;
        } else {
            EXPECT_EQ(rastra_last_error(), error_for("process_file: cannot decode ", c.name));
        }
    }
}

TEST_P(HostileTest, BmpPixelsNamePaletteEntriesTheFileHolds) {
    // An 8-bit BMP of 4 x 2 with a palette of two entries (red, blue).
    const auto paletted = [](std::vector<uint8_t> indices, uint32_t offset_shift) {
        Bytes b(54 + 8 + indices.size(), 0);
        b[0] = 'B';
        b[1] = 'M';
        put32le(b, 10, 54 + 8 - offset_shift);
        put32le(b, 14, 40);
        put32le(b, 18, 4);
        put32le(b, 22, 2);
        b[26] = 1;
        b[28] = 8;
        const uint8_t palette[8] = {0, 0, 255, 0, 255, 0, 0, 0};
        std::memcpy(&b[54], palette, 8);
        std::copy(indices.begin(), indices.end(), b.begin() + 62);
        return b;
    };
    put("whole.bmp", paletted({0, 1, 1, 0, 1, 0, 0, 1}, 0));
    put("stray.bmp", paletted({0, 1, 1, 0, 1, 5, 0, 1}, 0));
    // Found by fuzzing: pixel data that starts inside the header leaves the
    // decoder no palette at all.
    put("none.bmp", paletted({0, 1, 1, 0, 1, 0, 0, 1}, 20));
    ASSERT_EQ(convert("whole.bmp", "out.bmp"), 1) << rastra_last_error();
    Rgba out;
    ASSERT_TRUE(fixtures::decode(fixtures::read_file(dir / "out.bmp"), out));
    // Bottom-up: the second stored row comes first, starting with blue.
    EXPECT_EQ(out.px[0], 0);
    EXPECT_EQ(out.px[2], 255);
    for (const char* name : {"stray.bmp", "none.bmp"}) {
        EXPECT_EQ(convert(name, "out.bmp"), 0) << name;
        EXPECT_EQ(rastra_last_error(), error_for("process_file: cannot decode ", name));
    }
}

TEST_P(HostileTest, DamagedJpegsNeverCountAsConverted) {
    // A photograph-like image cut short, and a small progressive JPEG whose
    // frame header claims a large image over its few blocks. libjpeg fills
    // what is missing with grey and only warns: the fast set fails them all,
    // quickly. stb fills a cut baseline JPEG's missing data when its Huffman
    // tables happen to accept zero bits (those of this encoder do), so the
    // reference set keeps its own judgement there.
    Rgba noise = fixtures::make_pattern(640, 480, true);
    for (size_t i = 0; i < noise.px.size(); ++i) noise.px[i] = static_cast<uint8_t>((i * 7919) % 251 ^ (i >> 9));
    const Bytes photo = fixtures::encode(fixtures::kJpeg, noise, 90);
    const auto head = [](const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); };
    Bytes lying = fixtures::progressive_jpeg(16, 16, 3, 1);
    for (size_t i = 2; i + 8 < lying.size(); ++i) {
        if (lying[i] == 0xFF && lying[i + 1] == 0xC2) {
            lying[i + 5] = lying[i + 7] = 0x28;  // 10240 x 10240
            lying[i + 6] = lying[i + 8] = 0x00;
            break;
        }
    }
    put("first-3000.jpg", head(photo, 3000));
    put("half.jpg", head(photo, photo.size() / 2));
    put("lying.jpg", lying);
    const bool fast = GetParam() == RASTRA_CODECS_FAST;
    const long rss_before = peak_rss_mib();
    const auto start = std::chrono::steady_clock::now();
    for (const char* name : {"first-3000.jpg", "half.jpg", "lying.jpg"}) {
        const bool fails = fast || std::strcmp(name, "lying.jpg") == 0;
        EXPECT_EQ(convert(name, "out.png"), fails ? 0 : 1) << name;
        if (fails) {
            EXPECT_EQ(rastra_last_error(), error_for("process_file: cannot decode ", name));
        }
    }
    // The decoders reserve what the frame claims, zeroed lazily by the
    // system; only tools that touch every page they hand out see it.
    if (lazy_zeroed_memory()) {
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_LT(peak_rss_mib() - rss_before, 128);
    }
    // In a run, the damaged files count as failed.
    rastra_reset();
    rastra_set_codecs(GetParam());
    fixtures::fs::create_directory(dir / "in");
    fixtures::write_file(dir.path() / "in" / "lying.jpg", lying);
    fixtures::write_file(dir.path() / "in" / "half.jpg", head(photo, photo.size() / 2));
    EXPECT_EQ(rastra_run((dir / "in").c_str(), (dir / "run").c_str()), fast ? 0 : 1);
    EXPECT_EQ(std::string(rastra_stats()).rfind(fast ? "{\"processed\":0,\"failed\":2," : "{\"processed\":1,\"failed\":1,", 0),
              0u)
        << rastra_stats();
}

// A 24-bit BMP header that declares its rows top-down or bottom-up with no
// pixels after it: the decoder fills the missing rows.
TEST_P(HostileTest, ThinImagesShrinkSafelyToAnyBox) {
    // The longest side allowed converts to boxes down to 1 x 1; one pixel
    // more is too large, whatever the pixel count.
    put("tall.bmp", bmp_header_only(1, RASTRA_MAX_SIDE));
    put("taller.bmp", bmp_header_only(1, 16777215));
    put("wide.bmp", bmp_header_only(2'000'000, 1));
    put("wider.bmp", bmp_header_only(RASTRA_MAX_SIDE + 1, 1));
    struct Case {
        const char* name;
        int32_t box_w, box_h;
        int want_w, want_h;  // 0: too large
    };
    const Case cases[] = {
        {"taller.bmp", 16, 2, 0, 0},  {"wider.bmp", 640, 480, 0, 0}, {"tall.bmp", 16, 2, 1, 2},
        {"tall.bmp", 1, 1, 1, 1},     {"wide.bmp", 640, 480, 640, 1}, {"wide.bmp", 1, 1, 1, 1},
    };
    for (const Case& c : cases) {
        rastra_set_resize(c.box_w, c.box_h);
        if (c.want_w == 0) {
            EXPECT_EQ(convert(c.name, "out.bmp"), 0) << c.name;
            EXPECT_EQ(rastra_last_error(), error_for("process_file: image too large: ", c.name));
            continue;
        }
        ASSERT_EQ(convert(c.name, "out.bmp"), 1) << c.name << ": " << rastra_last_error();
        Rgba out;
        ASSERT_TRUE(fixtures::decode(fixtures::read_file(dir / "out.bmp"), out));
        EXPECT_EQ(out.width, c.want_w) << c.name;
        EXPECT_EQ(out.height, c.want_h) << c.name;
    }
}

#if !defined(_WIN32)
// Peak memory of one conversion, in a child process of its own: what the
// child's resident set grew by while converting, in MiB.
long conversion_peak_mib(const std::function<void()>& convert) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        long start = 0;
        if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
            long size = 0, pages = 0;
            if (std::fscanf(f, "%ld %ld", &size, &pages) == 2) start = pages * (::sysconf(_SC_PAGESIZE) / 1024) / 1024;
            std::fclose(f);
        }
        convert();
        const long grown = peak_rss_mib() - start;
        const bool sent = ::write(fds[1], &grown, sizeof grown) == static_cast<ssize_t>(sizeof grown);
        // Leave through exec: a memory checker following this test would
        // otherwise check what the forked copy leaves reachable.
        ::execl(sent ? "/bin/true" : "/bin/false", sent ? "true" : "false", static_cast<char*>(nullptr));
        ::_exit(2);
    }
    ::close(fds[1]);
    long grown = -1;
    if (::read(fds[0], &grown, sizeof grown) != sizeof grown) grown = -1;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? grown : -1;
}

TEST_P(HostileTest, ThinImagesCostNoMoreThanSquareOnes) {
    // The same ten million pixels, fitted to 640 x 480.
    put("square.bmp", bmp_header_only(3163, 3162));
    put("thin.bmp", bmp_header_only(1, 10'000'000));
    rastra_set_resize(640, 480);
    const long square = conversion_peak_mib([&] { convert("square.bmp", "square-out.png"); });
    const long thin = conversion_peak_mib([&] { convert("thin.bmp", "thin-out.png"); });
    ASSERT_GT(square, 0);
    ASSERT_GE(thin, 0);
    EXPECT_LE(thin, 2 * square) << "thin " << thin << " MiB, square " << square << " MiB";
    EXPECT_EQ(fixtures::size_of(dir / "thin-out.png") > 0, true);
    // Shrunk by little, where no box helps: 10,000,000 x 1 to 6,000,000 x 1
    // (the square one is not resampled at all).
    put("wide.bmp", bmp_header_only(10'000'000, 1));
    rastra_set_resize(6'000'000, 6'000'000);
    const long square_kept = conversion_peak_mib([&] { convert("square.bmp", "square-out.bmp"); });
    const long wide = conversion_peak_mib([&] { convert("wide.bmp", "wide-out.bmp"); });
    ASSERT_GT(square_kept, 0);
    ASSERT_GE(wide, 0);
    EXPECT_LE(wide, 2 * square_kept) << "wide " << wide << " MiB, square " << square_kept << " MiB";
    EXPECT_GT(fixtures::size_of(dir / "wide-out.bmp"), 6'000'000u * 4);
}
#endif

#if !defined(_WIN32)
TEST_P(HostileTest, SpecialFilesAreNeverReadAndNeverBlock) {
    put("a.png", fixtures::encode(fixtures::kPng, fixtures::make_pattern(8, 8)));
    ASSERT_EQ(mkfifo((dir / "fifo.jpg").c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(convert("fifo.jpg", "out.png"), 0);
    EXPECT_EQ(rastra_last_error(), error_for("process_file: cannot read ", "fifo.jpg"));
    EXPECT_EQ(rastra_process_file("/dev/zero", (dir / "out.png").c_str()), 0);
    EXPECT_STREQ(rastra_last_error(), "process_file: cannot read /dev/zero");
    // In a directory run the FIFO fails and the run goes on.
    EXPECT_EQ(rastra_run(dir.path().c_str(), (dir / "out").c_str()), 1);
    EXPECT_EQ(std::string(rastra_stats()).rfind("{\"processed\":1,\"failed\":1,", 0), 0u) << rastra_stats();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}
#endif

INSTANTIATE_TEST_SUITE_P(Codecs, HostileTest, ::testing::Values(RASTRA_CODECS_REFERENCE, RASTRA_CODECS_FAST),
                         [](const ::testing::TestParamInfo<int32_t>& info) {
                             return info.param == RASTRA_CODECS_FAST ? "Fast" : "Reference";
                         });
