// Stand-alone driver for the fuzz target: replays the files and directories
// given on the command line, or, with no arguments, a corpus built in code
// (--write-corpus DIR saves that corpus as files, to seed libFuzzer):
// valid images of every format (progressive JPEG included) and deterministic
// mutations of them (truncations, byte flips, lying dimensions), each under
// several settings.
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "fixtures.h"
#include "profiles.h"
#include "rastra.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

size_t s_runs = 0;
std::filesystem::path s_write_to;  // --write-corpus: save the inputs instead of running them

void run(std::vector<uint8_t> bytes, const std::vector<uint8_t>& knobs) {
    bytes.insert(bytes.end(), knobs.begin(), knobs.end());
    if (s_write_to.empty()) {
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    } else {
        std::ofstream(s_write_to / ("seed-" + std::to_string(s_runs)), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    ++s_runs;
}

void run_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), {});
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++s_runs;
}

void generated_corpus() {
    using fixtures::Kind;
    const std::vector<std::vector<uint8_t>> settings = {
        {0, 0, 0, 0, 0},           // automatic, no box, no watermark, as stored, colour ignored
        {1, 0x21, 5, 255, 0x21},   // PNG, box, watermark, upright, to sRGB, fast codecs
        {2, 0x03, 200, 128, 30},   // JPEG, tiny box, large watermark, profile and everything kept
        {3, 0x10, 1, 1, 0x65},     // WebP, upright, to sRGB, EXIF kept, fast codecs, lossless
    };
    std::mt19937 rng(12345);
    // kNone stands for a progressive JPEG, which the fixtures' encoder cannot
    // write; images with an orientation block are mutated like the rest.
    for (Kind kind : {fixtures::kJpeg, fixtures::kPng, fixtures::kBmp, fixtures::kWebp, fixtures::kNone}) {
        for (const auto& [w, h] : {std::pair{1, 1}, std::pair{17, 5}, std::pair{64, 48}}) {
            std::vector<uint8_t> good = kind == fixtures::kNone ? fixtures::progressive_jpeg(w, h, 3, 2)
                                                                : fixtures::encode(kind, fixtures::make_pattern(w, h, true), 80);
            if (kind != fixtures::kBmp && w == 17) good = fixtures::with_exif(good, fixtures::exif_block(6 + (w * h) % 3));
            for (const auto& knobs : settings) run(good, knobs);
            // Every truncation of small files, a spread of them for larger ones.
            const size_t step = good.size() < 256 ? 1 : good.size() / 97;
            for (size_t n = 0; n < good.size(); n += step) run({good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)}, settings[n % 4]);
            // Random byte flips, more often in the header.
            for (int i = 0; i < 150; ++i) {
                std::vector<uint8_t> bad = good;
                const int flips = 1 + static_cast<int>(rng() % 4);
                for (int k = 0; k < flips; ++k) {
                    const size_t limit = (rng() % 2) ? std::min<size_t>(bad.size(), 64) : bad.size();
                    bad[rng() % limit] ^= static_cast<uint8_t>(1u << (rng() % 8));
                }
                run(bad, settings[static_cast<size_t>(i) % 4]);
            }
            // Dimensions that lie: every 16/32-bit field in the header set to extremes.
            for (size_t off = 0; off + 4 <= std::min<size_t>(good.size(), 40); ++off) {
                for (uint32_t v : {0u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x00010000u}) {
                    std::vector<uint8_t> bad = good;
                    std::memcpy(&bad[off], &v, 4);
                    run(bad, settings[off % 4]);
                }
            }
        }
    }
    // Top-down BMPs (negative height), 24- and 32-bit, whole and cut short.
    for (const int bits : {24, 32}) {
        const std::vector<uint8_t> good = fixtures::top_down_bmp(fixtures::make_pattern(17, 5), bits);
        for (const auto& knobs : settings) run(good, knobs);
        for (size_t n = 0; n < good.size(); n += 5) {
            run({good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)}, settings[n % 4]);
        }
    }
    // Found by fuzzing: a BMP header of 2^24 x 1 pixels written as PNG, wider
    // than the PNG writer's row arithmetic holds.
    {
        std::vector<uint8_t> wide = fixtures::top_down_bmp(fixtures::make_pattern(1, 1), 32);
        const uint32_t width = 1u << 24;
        std::memcpy(&wide[18], &width, 4);
        run(wide, {0x10, 0x28, 0x01, 0x01, 0});
    }
    // Colour profiles and metadata in every container, whole, cut short and
    // with bytes flipped where they live (the first kilobytes); profiles that
    // are damaged, do not fit or inflate without end.
    {
        const std::vector<uint8_t> p3 = fixtures::make_profile(fixtures::Profile::kDisplayP3);
        const std::vector<uint8_t> grey_icc = fixtures::make_profile(fixtures::Profile::kGrey);
        std::vector<uint8_t> cut(p3.begin(), p3.begin() + static_cast<std::ptrdiff_t>(p3.size() / 2));
        const fixtures::Rgba img = fixtures::make_pattern(17, 5);
        std::vector<std::vector<uint8_t>> tagged;
        for (Kind kind : {fixtures::kJpeg, fixtures::kPng, fixtures::kWebp}) {
            const std::vector<uint8_t> plain = fixtures::encode(kind, img, 80);
            tagged.push_back(fixtures::with_icc(
                fixtures::with_xmp(fixtures::with_exif(plain, fixtures::exif_block(6)), "<x:xmpmeta/>"), p3,
                kind == fixtures::kJpeg ? 3 : 1));
            tagged.push_back(fixtures::with_icc(plain, grey_icc));
            tagged.push_back(fixtures::with_icc(plain, cut));
            // Found by fuzzing: a connection space no enumeration names.
            std::vector<uint8_t> odd = p3;
            odd[20] = 0x88;
            tagged.push_back(fixtures::with_icc(plain, odd));
        }
        std::vector<uint8_t> grey_rows;
        for (int y = 0; y < 3; ++y) {
            grey_rows.push_back(0);
            for (int x = 0; x < 9; ++x) grey_rows.push_back(static_cast<uint8_t>(x * 28));
        }
        tagged.push_back(fixtures::with_icc(fixtures::png_from_scanlines(9, 3, 8, 0, grey_rows), grey_icc));
        std::vector<uint8_t> bomb{'b', 0, 0};
        const std::vector<uint8_t> zeros = fixtures::zlib_zeros(32u << 20);
        bomb.insert(bomb.end(), zeros.begin(), zeros.end());
        tagged.push_back(fixtures::with_png_chunk(fixtures::encode(fixtures::kPng, img), "iCCP", bomb));
        tagged.push_back(fixtures::with_icc(fixtures::encode(fixtures::kJpeg, img), p3, 3, {1, 3, 3}));
        for (const auto& good : tagged) {
            for (const auto& knobs : settings) run(good, knobs);
            const size_t end = std::min<size_t>(good.size(), 2048);
            for (size_t n = 0; n < end; n += 13) run({good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)}, settings[n % 4]);
            for (int i = 0; i < 100; ++i) {
                std::vector<uint8_t> bad = good;
                bad[rng() % end] ^= static_cast<uint8_t>(1u << (rng() % 8));
                run(bad, settings[static_cast<size_t>(i) % 4]);
            }
        }
    }
    // Profiles whose pipelines repeat shared elements, at the limit and past
    // it, in every container.
    for (const int pairs : {RASTRA_PROFILE_MAX_PIPELINE_ELEMENTS / 2, 4000}) {
        const std::vector<uint8_t> chain = fixtures::mpe_chain_profile(pairs);
        const fixtures::Rgba img = fixtures::make_pattern(64, 48, true);
        for (Kind kind : {fixtures::kJpeg, fixtures::kPng, fixtures::kWebp}) {
            for (const auto& knobs : settings) run(fixtures::with_icc(fixtures::encode(kind, img, 80), chain), knobs);
        }
    }
    // JPEGs whose data is cut short or claims a larger frame than it holds.
    {
        fixtures::Rgba noise = fixtures::make_pattern(320, 240, true);
        for (size_t i = 0; i < noise.px.size(); ++i) noise.px[i] = static_cast<uint8_t>((i * 7919) % 251 ^ (i >> 9));
        const std::vector<uint8_t> photo = fixtures::encode(fixtures::kJpeg, noise, 90);
        for (const size_t n : {size_t{3000}, photo.size() / 2}) {
            for (const auto& knobs : settings) run({photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(n)}, knobs);
        }
        std::vector<uint8_t> lying = fixtures::progressive_jpeg(16, 16, 3, 1);
        for (size_t i = 2; i + 8 < lying.size(); ++i) {
            if (lying[i] == 0xFF && lying[i + 1] == 0xC2) {
                lying[i + 5] = lying[i + 7] = 0x07;  // 2000 x 2000
                lying[i + 6] = lying[i + 8] = 0xD0;
                break;
            }
        }
        for (const auto& knobs : settings) run(lying, knobs);
    }
    // Found by fuzzing: a 1-bit BMP whose pixel data starts inside its
    // header, leaving the decoder no palette.
    run({'B', 'M', 0x8a, 1, 0, 0, 0, 0, 0, 0, 0x33, 0, 0, 0, 0x28, 0, 0, 0, 0x11, 0x5d, 0, 0, 0xfb, 0xff, 0xff, 0xff,
         1, 0, 1, 0, 0, 0, 0, 0, 0, 0x35, 0, 0, 0, 0x21, 0, 0, 0, 0x11, 0x5d, 0, 0},
        {0xfb, 0x05, 0xff, 0x21, 0x20});
    // A thin image shrunk to a tiny box: 1 x 2,000,000 to 1 x 2.
    {
        std::vector<uint8_t> thin = fixtures::top_down_bmp(fixtures::make_pattern(1, 1), 24);
        const int32_t height = -2'000'000;
        std::memcpy(&thin[22], &height, 4);
        run(thin, {4, 0x21, 0, 0, 0x20});
        run(thin, {4, 0x21, 0, 0, 0});
        // Found by fuzzing: 1 x 16,777,215 to a 16 x 2 box overflowed the
        // resampler's tables; past the side limit now.
        const int32_t taller = -16'777'215;
        std::memcpy(&thin[22], &taller, 4);
        run(thin, {4, 0x21, 0, 0, 0x20});
    }
    // Bombs, once under every setting: more scans than allowed, and a PNG
    // that inflates far past its one pixel.
    const std::vector<std::vector<uint8_t>> bombs = {
        fixtures::progressive_jpeg(256, 256, 3, RASTRA_MAX_JPEG_SCANS + 1, true),
        fixtures::png_from_scanlines(1, 1, 8, 6, std::vector<uint8_t>(1u << 20, 0)),
    };
    for (const auto& bomb : bombs) {
        for (const auto& knobs : settings) run(bomb, knobs);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--write-corpus") == 0) {
        s_write_to = argv[2];
        std::filesystem::create_directories(s_write_to);
        generated_corpus();
        std::printf("wrote %zu inputs to %s\n", s_runs, argv[2]);
        return 0;
    }
    if (argc == 1) {
        generated_corpus();
    } else {
        for (int i = 1; i < argc; ++i) {
            const std::filesystem::path p = argv[i];
            if (std::filesystem::is_directory(p)) {
                for (const auto& e : std::filesystem::directory_iterator(p)) run_file(e.path());
            } else {
                run_file(p);
            }
        }
    }
    std::printf("replayed %zu inputs\n", s_runs);
    return 0;
}
